// The reporter's process and module routines: module names, the computer
// name, registry texts, import-table rewriting, the loader-lock test and the
// test whether a pointer is a genuine object. Windows only; none raises.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "qelExceptProcessCore.h"
#include "qelExceptSysInfoCore.h"

namespace qel {

std::string ExeModuleFileName(HMODULE module);
std::string LocalComputerName();
// A REG_SZ value's text, any other type's bytes as they are; empty on failure.
std::string ReadRegString(HKEY root, const std::string& keyPath, const std::string& valueName);

// Message box for a module whose import table is broken, shown only when that
// module is the one that carries this code.
void ReportBadImportTable(HMODULE module);
// Points every import slot of `module` that holds `oldFunction` to `newFunction`.
void PatchImportEntry(HMODULE module, const void* oldFunction, const void* newFunction);
void PatchImportAllModules(const TModuleList& modules, const void* oldFunction, const void* newFunction);

// The critical section whose address the process environment block holds at `offset`.
void* PebCriticalSection(size_t offset);
// True only when the calling thread owns the critical section.
bool IsCriticalSectionHeld(const void* criticalSection);
// True when the calling thread holds the loader lock or the process-environment lock.
bool HoldsLoaderLock();
// The 9x way: the 32-bit value at byte 100 of the process database.
bool LoaderLockHeld9x(uintptr_t processDatabase);

inline constexpr size_t kPebLoaderLockOffset = sizeof(void*) == 8 ? 0x110 : 0xA0;
inline constexpr size_t kPebFastLockOffset = sizeof(void*) == 8 ? 0x38 : 0x1C;

// True when `object` is a C++ object whose class's virtual table and type
// information lie in a loaded module, with its first virtual routine in that
// module's code and a type name made of identifiers. `className` gets the name.
bool IsValidExceptionObject(const void* object, std::string* className = nullptr);

}  // namespace qel
