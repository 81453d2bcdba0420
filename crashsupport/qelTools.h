// Operating-system facts, module inspection and PE export lookup of the own
// process, readable-range snapshots and safe memory reads, and per-thread
// message-handler windows. Windows only; the portable halves are
// qelToolsOs.h (version classifier, demangler), qelToolsPe.h (PE reader) and
// qelToolsRanges.h (range table). Nothing here raises an exception.
#pragma once

#include <windows.h>

#include <cstdint>
#include <exception>
#include <string>

#include "../framework/System.h"
#include "qelDisAsm.h"
#include "qelToolsOs.h"
#include "qelToolsPe.h"
#include "qelToolsRanges.h"

namespace qel {

// --- operating-system facts ----------------------------------------------------
// Filled on the first call and cached for the life of the process.
TOS OsInfo();
// Free system resources of the given kind in percent on Windows 9x; 0 elsewhere.
int FreeResourcesPercent(uint16_t kind);
// High half: the most significant version word pair; 0 without version information.
uint64_t FileVersion64(const std::string& fileName);
// Milliseconds since a GetTickCount value.
uint32_t TicksSince(uint32_t startTicks);

// A stub that calls code with object inserted as the first stack argument (a
// window procedure that is a method). i686 only (nullptr elsewhere); never freed.
void* MakeMethodThunk(void* object, void* code);

// --- modules and exports ---------------------------------------------------------
// Module (allocation base) and full file name of committed memory that belongs to a module.
bool ModuleOfAddress(const void* address, HMODULE& module, std::string& fileName);
// The module's "PE" signature and headers, or nullptr.
const IMAGE_NT_HEADERS* PeNtHeaders(HMODULE module);
// module + the address of data directory index; nullptr when absent or 0.
void* PeDirectoryData(HMODULE module, uint32_t index);
const IMAGE_EXPORT_DIRECTORY* PeExportDirectory(HMODULE module);
// File offset of a relative address (unchanged when no section holds it).
uint32_t RvaToFileOffset(const IMAGE_NT_HEADERS* headers, uint32_t rva);
// What an address-table value of module stands for: module + rva, or the
// target of the forwarder text it points at (target module already loaded).
void* ResolveForwarder(HMODULE module, uint32_t rva);
// Address of an exported routine; GetProcAddress when the table has nothing.
void* ExportByName(HMODULE module, const std::string& name);
void* ExportByOrdinal(HMODULE module, uint32_t ordinal);
// Export name of the exact entry address ("#n" when unnamed); with demangle
// "unit.routine" for mangled names. False and empty when not exported.
bool ExportNameOfAddress(HMODULE module, const void* address, bool demangle, std::string& name);

// --- the run-time's exception-object factory -------------------------------------
// Turns an operating-system exception into an exception object; nullptr when
// the program has none. ReportException's top-level handler asks it.
// The run-time's own variables (framework/System.h): its factory is there
// from the start wherever the framework's run-time is linked.
using zf::TExceptObjectFactory;
using zf::ExceptObjProc;
// Class name of the exceptions the factory makes; nullptr while none is installed.
using zf::ExceptClassName;
// Installs QelException and UnknownExceptionObject when nothing is installed.
void InstallExceptionObjectHook();
std::exception_ptr UnknownExceptionObject(const EXCEPTION_RECORD* record);
inline constexpr const char* kUnknownExceptionMessage =
    "Unknown exception. If you want to know more, you have to add SysUtils to your project.";

// --- readable ranges and safe reads ------------------------------------------------
// The whole user address space now; owned by the caller.
TRangeTable* SnapshotReadableRanges();
void FreeReadableRanges(TRangeTable* table);
// Copies length bytes of the own process; true only when every byte was
// copied. With a table the span is checked against it, else against the
// system's region list page by page: the copy routine alone does not refuse
// unreadable pages everywhere.
bool SafeReadMemory(const void* address, void* buffer, size_t length, const TRangeTable* table = nullptr);
// The module whose name is stored scrambled here (the system's kernel module).
HMODULE KernelModuleHandle();
void* ScrambledExport(const std::string& scrambledName);
// The dword at offset of the current thread's information block.
uint32_t ReadFsDword(uint32_t offset);
// The value Windows 9x combines thread and process ids with; 0 elsewhere.
uint32_t ObfuscatorValue();
bool IsWin9xObfuscator();

// MemoryReader of the own process through SafeReadMemory (and a table when given).
class TOwnProcessReader : public MemoryReader {
public:
  explicit TOwnProcessReader(const TRangeTable* table = nullptr) : FTable(table) {}
  bool Read(Address va, void* buf, std::size_t n) const override;

private:
  const TRangeTable* FTable;
};

// Symbolizer of the own process: modules by ModuleOfAddress, exports by the
// export table (demangled), code bounds by the module's headers.
class TOwnProcessSymbolizer : public Symbolizer {
public:
  bool ModuleOfAddress(Address va, ModuleInfo& module) const override;
  std::string ExportNameAt(const ModuleInfo& module, Address va) const override;
  bool CodeBounds(Address entry, Address& first, Address& last) const override;
};

// --- per-thread message-handler windows --------------------------------------------
using TMsgHandlerProc = void (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
// A method handler: code is called with the object as its first argument.
using TMsgHandlerMethod = void (*)(void* object, HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                   LRESULT& result);

struct TMsgHandlerEntry {
  uint32_t Message = 0;
  TMsgHandlerProc Handler = nullptr;  // nullptr: Key1 is a TMsgHandlerMethod, Key2 its object
  uintptr_t Key1 = 0;
  uintptr_t Key2 = 0;
};

inline constexpr const char* kMsgHandlerMutexPrefix = "qelToolsMsgHandlerMutex";
inline constexpr const char* kMsgHandlerClassPrefix = "qelToolsMsgHandlerWindow";
inline constexpr uint32_t kFirstHandlerMessage = 0x400;

// 0 = the calling thread. Created only when the caller is that thread; else 0.
HWND HandlerWindowForThread(DWORD threadId);
// The message number (allocated from $400 up when message is 0), or 0 on failure or duplicate.
uint32_t AddMessageHandlerEx(TMsgHandlerProc handler, uint32_t message, DWORD threadId, uintptr_t key1,
                             uintptr_t key2);
uint32_t AddMessageHandler(TMsgHandlerProc handler, uint32_t message, DWORD threadId);
// Message 0 matches every message. The last handler's removal closes the window.
void RemoveMessageHandlerEx(TMsgHandlerProc handler, uint32_t message, DWORD threadId, uintptr_t key1,
                            uintptr_t key2);
void RemoveMessageHandler(TMsgHandlerProc handler, uint32_t message, DWORD threadId);
LRESULT CALLBACK HandlerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// "$<thread id>$<address of HandlerWindowForThread>" after a prefix.
std::string HandlerObjectName(const char* prefix);
// Unit end: drops the cached TOS strings (OsInfo fills them again when asked).
void ReleaseOsInfoStrings();
// Unit end: closes the mutex, releases the window table and the cached TOS strings.
void CloseHandlerMutex();

}  // namespace qel
