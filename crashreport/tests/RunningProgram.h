// A shipped program run by a test and driven from outside: its windows found
// by process, controls read across the process boundary, code and threads
// put into it, its variables read and written by their linker names.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "qelWinHandles.h"

namespace qel::test {

struct TWindowSearch {
  DWORD Pid;
  const char* ClassName;
  const char* Title;
  HWND Window = nullptr;
};

inline BOOL CALLBACK FindTopWindow(HWND h, LPARAM p) {
  auto* search = reinterpret_cast<TWindowSearch*>(p);
  DWORD owner = 0;
  GetWindowThreadProcessId(h, &owner);
  char className[64] = {}, title[128] = {};
  GetClassNameA(h, className, sizeof className);
  GetWindowTextA(h, title, sizeof title);
  if (owner == search->Pid && IsWindowVisible(h) &&
      (*search->ClassName == '\0' || std::strcmp(className, search->ClassName) == 0) &&
      (*search->Title == '\0' || std::strcmp(title, search->Title) == 0))
    search->Window = h;
  return search->Window == nullptr;
}

// A visible top-level window of the process ("" matches any class or title).
inline HWND WaitForTopWindow(DWORD pid, const char* className, const char* title, int tenthsOfSeconds) {
  TWindowSearch search{pid, className, title};
  for (int i = 0; i < tenthsOfSeconds && search.Window == nullptr; ++i) {
    Sleep(100);
    EnumWindows(FindTopWindow, reinterpret_cast<LPARAM>(&search));
  }
  return search.Window;
}

struct TChildSearch {
  const char* ClassName;
  const char* Text;
  HWND Window = nullptr;
};

inline BOOL CALLBACK FindChild(HWND h, LPARAM p) {
  auto* search = reinterpret_cast<TChildSearch*>(p);
  char className[64] = {}, text[64] = {};
  GetClassNameA(h, className, sizeof className);
  GetWindowTextA(h, text, sizeof text);
  if (_stricmp(className, search->ClassName) == 0 && (*search->Text == '\0' || std::strcmp(text, search->Text) == 0))
    search->Window = h;
  return search->Window == nullptr;
}

inline HWND Child(HWND parent, const char* className, const char* text) {
  TChildSearch search{className, text};
  EnumChildWindows(parent, FindChild, reinterpret_cast<LPARAM>(&search));
  return search.Window;
}

// The text of another process's control (WM_GETTEXT is carried across).
inline std::string ControlText(HWND h) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 60000, &length)) return {};
  std::string text(length + 1, '\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutA(h, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG, 60000,
                           &copied))
    return {};
  text.resize(copied);
  return text;
}

inline std::string ExeFolder(const std::string& exe) { return exe.substr(0, exe.find_last_of("\\/") + 1); }

// Where the process's executable lies in its memory; 0 when unknown.
inline uintptr_t RemoteImageBase(DWORD pid) {
  const TOwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid));
  MODULEENTRY32 entry{};
  entry.dwSize = sizeof entry;
  if (!snapshot || !Module32First(snapshot.get(), &entry)) return 0;
  return reinterpret_cast<uintptr_t>(entry.modBaseAddr);
}

// The symbols of an executable as the linker wrote them, read from the
// listing `nm -C` made of it when it was built: name -> image-relative address.
class TProgramSymbols {
 public:
  explicit TProgramSymbols(const char* listing) {
    std::ifstream in(listing);
    std::string line;
    uintptr_t imageBase = 0;
    while (std::getline(in, line)) {
      // "0040a000 D qel::SendViaMapi": address, kind, name (which may hold spaces).
      const size_t kind = line.find(' ');
      if (kind == std::string::npos || line.size() < kind + 4) continue;
      const uintptr_t address = std::strtoul(line.substr(0, kind).c_str(), nullptr, 16);
      const std::string name = line.substr(kind + 3);
      // The linker's symbol of the image base, its leading underscore dropped by nm on i686.
      if (name == "__image_base__" || name == "_image_base__") imageBase = address;
      FAddresses[name] = address;
    }
    for (auto& [name, address] : FAddresses) address -= imageBase;
    FRead = imageBase != 0;
  }
  bool Read() const { return FRead; }
  // 0 when the program has no such symbol.
  uintptr_t Rva(const std::string& name) const {
    const auto it = FAddresses.find(name);
    return it == FAddresses.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, uintptr_t> FAddresses;
  bool FRead = false;
};

// A program started from its own folder and shown; ended when the test did
// not end it.
struct TRunningProgram {
  PROCESS_INFORMATION Info{};
  HWND Window = nullptr;
  explicit TRunningProgram(const std::string& exe) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    std::string commandLine = "\"" + exe + "\"";
    const std::string folder = ExeFolder(exe);
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, &Info))
      return;
    // Once the main form shows, the units (the reporter's among them) are initialized.
    Window = WaitForTopWindow(Info.dwProcessId, "", "", 600);
  }
  ~TRunningProgram() {
    if (Info.hProcess == nullptr) return;
    if (WaitForSingleObject(Info.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(Info.hProcess, 99);
    CloseHandle(Info.hThread);
    CloseHandle(Info.hProcess);
  }
  TRunningProgram(const TRunningProgram&) = delete;
  TRunningProgram& operator=(const TRunningProgram&) = delete;
  DWORD ExitCodeWithin(DWORD ms) const {
    DWORD code = 99;
    if (WaitForSingleObject(Info.hProcess, ms) == WAIT_OBJECT_0) GetExitCodeProcess(Info.hProcess, &code);
    return code;
  }
  // A page of the program's memory that may be read and written, not run.
  uintptr_t DataPage() const {
    return reinterpret_cast<uintptr_t>(
        VirtualAllocEx(Info.hProcess, nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  }
  // The instructions copied into the program's memory; 0 when that failed.
  uintptr_t Code(const uint8_t* code, size_t size) const {
    void* remote = VirtualAllocEx(Info.hProcess, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
    SIZE_T written = 0;
    if (remote == nullptr || !WriteProcessMemory(Info.hProcess, remote, code, size, &written) || written != size)
      return 0;
    return reinterpret_cast<uintptr_t>(remote);
  }
  // A thread of the program started at address.
  TOwnedHandle StartThread(uintptr_t address, DWORD* tid = nullptr) const {
    return TOwnedHandle(CreateRemoteThread(Info.hProcess, nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(address),
                                           nullptr, 0, tid));
  }
};

// A variable of a running program by its linker name; false when the name is
// unknown or the memory cannot be reached.
inline bool ReadVariable(HANDLE process, DWORD pid, const TProgramSymbols& symbols, const std::string& name,
                         void* value, size_t size) {
  const uintptr_t rva = symbols.Rva(name), base = RemoteImageBase(pid);
  SIZE_T read = 0;
  return rva != 0 && base != 0 &&
         ReadProcessMemory(process, reinterpret_cast<void*>(base + rva), value, size, &read) && read == size;
}

inline bool WriteVariable(HANDLE process, DWORD pid, const TProgramSymbols& symbols, const std::string& name,
                          const void* value, size_t size) {
  const uintptr_t rva = symbols.Rva(name), base = RemoteImageBase(pid);
  SIZE_T written = 0;
  return rva != 0 && base != 0 &&
         WriteProcessMemory(process, reinterpret_cast<void*>(base + rva), value, size, &written) && written == size;
}

}  // namespace qel::test
