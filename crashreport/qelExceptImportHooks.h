// Import-table hooks: CreateThread, so that every thread the program starts
// is listed with its creator, and the message-retrieval functions, so that a
// thread can be held while a report is made. Windows, i686.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

namespace qel {

void HookThreadCreation();
void UnhookThreadCreation();
void HookMessageFunctions();
void UnhookMessageFunctions();

// Puts `hook` in place of moduleName's export functionName: in the import
// tables of every module when the reporter lives in the executable, else in
// this module's own, and in the slot that `ownStub` (a "jmp [slot]" import
// stub, or any other address) jumps through when the table walk left it.
// `realFunction` gets the export. Nothing changes when `realFunction` is set
// already. True only when the stub's slot had to be written directly.
bool HookImport(const char* moduleName, const char* functionName, const void* ownStub, const void* hook,
                void*& realFunction);
// Puts `realFunction` back where HookImport put `hook`.
void UnhookImport(const void* ownStub, const void* realFunction, const void* hook);

// Set when the CreateThread hook went in through the executable's own stub and
// the executable's linker version bytes are 'S', 'R': the creator is then
// looked for one frame higher.
extern bool CreatorSkipFlag;

// The CreateThread in place: lists the new thread with its creator and, for a
// framework thread object, its class name; hooks that class's Execute.
HANDLE WINAPI HookedCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                 LPVOID parameter, DWORD flags, LPDWORD threadId);
// Start routine of every thread the hook creates; `record` is a TThreadStart
// (allocated by the hook, freed here), the thread's entry goes when the real
// routine returns.
DWORD WINAPI ThreadStartWrapper(LPVOID record);
struct TThreadStart {
  LPTHREAD_START_ROUTINE Routine;
  LPVOID Parameter;
};

// What a thread class's Execute slot points at once hooked: 12 bytes,
//   BA <previous Execute>       mov edx, previous
//   B8 <RunThreadExecute>       mov eax, RunThreadExecute
//   FF E0                       jmp eax
// The virtual call passes the object in ecx (thiscall) and the stub keeps it
// there, so RunThreadExecute is fastcall: object in ecx, previous in edx.
inline constexpr size_t kThreadExecuteStubSize = 12;
// Runs the object's previous Execute, then removes the calling thread's entry.
// A plain symbol name: the map writer knows no fastcall-decorated ones.
void __attribute__((fastcall)) RunThreadExecute(void* object, void* previousExecute) asm("qelRunThreadExecute");
// Whether the code at `address` is a stub built here (calls RunThreadExecute).
bool IsThreadExecuteStub(const void* address);

// The framework thread object's class name, when the start parameter of a
// new thread is the framework's start record of a thread object; empty else.
// `executeSlot` gets the object's Execute slot. Reads only what is readable.
std::string ThreadObjectClass(const void* parameter, void**& executeSlot);

}  // namespace qel
