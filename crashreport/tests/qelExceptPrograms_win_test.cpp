// The reporter in the programs as they are shipped: Tarvik and Lunsel run,
// this program makes a fault in them from outside (a thread of theirs that
// starts in a page without execute rights; their main thread sent into such a
// page), finds the exception box, reads its report through the Win32 API and
// checks what the user reads, saves it and closes the program.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "qelStrings.h"
#include "qelWinHandles.h"

namespace {

using qel::TOwnedHandle;

struct TWindowSearch {
  DWORD Pid;
  const char* ClassName;
  const char* Title;
  HWND Window = nullptr;
};

BOOL CALLBACK FindTopWindow(HWND h, LPARAM p) {
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

HWND WaitForTopWindow(DWORD pid, const char* className, const char* title, int tenthsOfSeconds) {
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

BOOL CALLBACK FindChild(HWND h, LPARAM p) {
  auto* search = reinterpret_cast<TChildSearch*>(p);
  char className[64] = {}, text[64] = {};
  GetClassNameA(h, className, sizeof className);
  GetWindowTextA(h, text, sizeof text);
  if (_stricmp(className, search->ClassName) == 0 && (*search->Text == '\0' || std::strcmp(text, search->Text) == 0))
    search->Window = h;
  return search->Window == nullptr;
}

HWND Child(HWND parent, const char* className, const char* text) {
  TChildSearch search{className, text};
  EnumChildWindows(parent, FindChild, reinterpret_cast<LPARAM>(&search));
  return search.Window;
}

// The text of another process's edit control (WM_GETTEXT is carried across).
std::string ControlText(HWND h) {
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

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ExeFolder(const std::string& exe) { return exe.substr(0, exe.find_last_of("\\/") + 1); }

// A program started and shown; ended when the test did not end it.
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

// The report's block of one thread: its heading line up to the empty line.
std::string Section(const std::string& report, const std::string& heading) {
  const size_t at = report.find("\r\n" + heading);
  if (at == std::string::npos) return {};
  const size_t end = report.find("\r\n\r\n", at + 2);
  return report.substr(at + 2, end == std::string::npos ? std::string::npos : end - at - 2);
}

struct TProgram {
  const char* Exe;
  const char* Name;   // "%appname%"
  const char* Entry;  // the source file of WinMain
};

const TProgram kPrograms[] = {{TARVIK_EXE, "Tarvik", "Tarvik.cpp"}, {LUNSEL_EXE, "Lunsel", "Lunsel.cpp"}};

// What every report of such a fault must say; faultHeading is the heading of
// the thread that faulted, which comes first.
void ExpectReport(const std::string& report, const TProgram& p, const std::string& message,
                  const std::string& faultHeading) {
  const std::string exe = std::string(p.Name) + ".exe";
  EXPECT_NE(report.find("executable         : " + exe), std::string::npos) << report;
  EXPECT_NE(report.find("exception class    : EAccessViolation"), std::string::npos) << report;
  EXPECT_NE(Lower(report).find("exception message  : " + Lower(message) + "\r\n"), std::string::npos) << report;
  // The faulting thread's block is the first one.
  const size_t first = report.find("\r\n\r\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(report.compare(first + 4, faultHeading.size(), faultHeading), 0) << report.substr(first, 200);

  // The main thread named down to WinMain with its source line, and the C
  // run-time's main below it under its own name.
  const std::string main = Section(report, "main thread (");
  ASSERT_FALSE(main.empty()) << report;
  const size_t winMain = main.find(" WinMain\r\n");
  ASSERT_NE(winMain, std::string::npos) << main;
  const size_t lineStart = main.rfind("\r\n", winMain) + 2;
  const std::string winMainLine = main.substr(lineStart, winMain - lineStart);
  EXPECT_NE(winMainLine.find(exe + "   " + p.Entry + " "), std::string::npos) << winMainLine;
  const std::string below = main.substr(winMain + 10);
  const size_t crtMain = below.find(" main\r\n");
  ASSERT_NE(crtMain, std::string::npos) << main;
  EXPECT_NE(below.substr(0, crtMain).find("crt0_c.c"), std::string::npos) << main;
  EXPECT_EQ(main.find("(anonymousnamespace)"), std::string::npos) << main;
  EXPECT_EQ(main.find("::"), std::string::npos) << main;

  EXPECT_NE(report.find("\r\nmodules:\r\n00400000 " + exe), std::string::npos);
  EXPECT_NE(report.find("\r\noperating system   : "), std::string::npos);
  EXPECT_NE(report.find("\r\nprocessors         : "), std::string::npos);
}

// The box of the program: its title, and the report it shows (kept in the
// artifacts as <program>_<kind>_fault.txt).
std::string BoxReport(const TRunningProgram& run, const TProgram& p, HWND& box, const char* kind) {
  box = WaitForTopWindow(run.Info.dwProcessId, "qelExceptWndClass", "", 1800);
  if (box == nullptr) return {};
  char title[64] = {};
  GetWindowTextA(box, title, sizeof title);
  EXPECT_STREQ(title, p.Name);
  HWND edit = Child(box, "Edit", "");
  if (edit == nullptr) {
    if (HWND show = Child(box, "Button", "show bug report")) PostMessageA(show, BM_CLICK, 0, 0);
    for (int i = 0; i < 600 && edit == nullptr; ++i) {
      Sleep(100);
      edit = Child(box, "Edit", "");
    }
  }
  const std::string report = edit == nullptr ? std::string() : ControlText(edit);
  if (FILE* f = std::fopen((std::string(ZIVO_ARTIFACTS "/") + p.Name + "_" + kind + "_fault.txt").c_str(), "wb")) {
    std::fwrite(report.data(), 1, report.size(), f);
    std::fclose(f);
  }
  return report;
}

// "save bug report" with the file dialog's proposal, then "close application".
void SaveAndClose(const TRunningProgram& run, const TProgram& p, HWND box, const std::string& report) {
  const std::string saved = ExeFolder(p.Exe) + "bugreport.txt";
  DeleteFileA(saved.c_str());
  HWND save = Child(box, "Button", "save bug report");
  ASSERT_NE(save, nullptr);
  PostMessageA(save, BM_CLICK, 0, 0);
  const HWND dialog = WaitForTopWindow(run.Info.dwProcessId, "", "save bug report", 1200);
  ASSERT_NE(dialog, nullptr);
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  std::string file;
  for (int i = 0; i < 600 && file.find("\r\nhardware:") == std::string::npos; ++i) {
    Sleep(100);
    std::ifstream in(saved, std::ios::binary);
    file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_NE(file.find(report.substr(0, report.find("\r\n\r\n"))), std::string::npos) << file.substr(0, 400);
  DeleteFileA(saved.c_str());

  HWND close = Child(box, "Button", "close application");
  ASSERT_NE(close, nullptr);
  PostMessageA(close, BM_CLICK, 0, 0);
  EXPECT_EQ(run.ExitCodeWithin(120000), 1u);
}

// The message of a fault outside every module: its access kind and address.
std::string FaultMessage(uintptr_t at, const char* kind, uintptr_t accessed) {
  return "Access violation at address " + qel::HexStrPadded(static_cast<uint32_t>(at), 1, '0') + ". " + kind +
         " of address " + qel::HexStrPadded(static_cast<uint32_t>(accessed), 1, '0') + ".";
}

// A thread of the program that writes to address 0 (two instructions written
// into it): the report says a write, and disassembles the faulting code.
TEST(ShippedPrograms, ThreadWritingToAddressZero) {
  for (const TProgram& p : kPrograms) {
    SCOPED_TRACE(p.Name);
    const TRunningProgram run(p.Exe);
    ASSERT_NE(run.Window, nullptr);
    const uint8_t code[] = {0x31, 0xC0,                          // xor eax, eax
                            0xC7, 0x00, 0x01, 0x00, 0x00, 0x00,  // mov dword [eax], 1
                            0xC2, 0x04, 0x00};                   // ret 4
    const uintptr_t remote = run.Code(code, sizeof code);
    ASSERT_NE(remote, 0u);
    DWORD tid = 0;
    const TOwnedHandle thread = run.StartThread(remote, &tid);
    ASSERT_TRUE(thread);
    HWND box = nullptr;
    const std::string report = BoxReport(run, p, box, "write");
    ASSERT_NE(box, nullptr);
    ASSERT_FALSE(report.empty());
    const uintptr_t at = remote + 2;
    ExpectReport(report, p, FaultMessage(at, "Write", 0), "thread " + qel::HexStrPadded(tid, 1, '0') + ":");
    EXPECT_NE(report.find("\r\ndisassembling:\r\n"), std::string::npos);
    HWND close = Child(box, "Button", "close application");
    ASSERT_NE(close, nullptr);
    PostMessageA(close, BM_CLICK, 0, 0);
    EXPECT_EQ(run.ExitCodeWithin(120000), 1u);
  }
}

// A thread started in a page without execute rights: the system says 8, an
// execution, not a write.
TEST(ShippedPrograms, ThreadStartedInADataPage) {
  for (const TProgram& p : kPrograms) {
    SCOPED_TRACE(p.Name);
    const TRunningProgram run(p.Exe);
    ASSERT_NE(run.Window, nullptr);
    const uintptr_t page = run.DataPage();
    ASSERT_NE(page, 0u);
    DWORD tid = 0;
    const TOwnedHandle thread = run.StartThread(page, &tid);
    ASSERT_TRUE(thread);
    HWND box = nullptr;
    const std::string report = BoxReport(run, p, box, "thread");
    ASSERT_NE(box, nullptr);
    ASSERT_FALSE(report.empty());
    ExpectReport(report, p, FaultMessage(page, "Execution", page), "thread " + qel::HexStrPadded(tid, 1, '0') + ":");
    SaveAndClose(run, p, box, report);
  }
}

TEST(ShippedPrograms, MainThreadSentIntoADataPage) {
  for (const TProgram& p : kPrograms) {
    SCOPED_TRACE(p.Name);
    const TRunningProgram run(p.Exe);
    ASSERT_NE(run.Window, nullptr);
    const uintptr_t page = run.DataPage();
    ASSERT_NE(page, 0u);
    // A thread of the program (a few instructions written into it) makes the
    // page the main window's procedure; the next message to the window then
    // runs into it on the main thread.
    const auto setWindowLong = reinterpret_cast<uintptr_t>(&SetWindowLongA);  // user32 lies at one base in every process
    const auto put32 = [](uint8_t* at, uintptr_t v) { std::memcpy(at, &v, 4); };
    uint8_t code[] = {0x68, 0, 0, 0, 0,        // push page
                      0x6A, 0xFC,              // push GWL_WNDPROC
                      0x68, 0, 0, 0, 0,        // push window
                      0xB8, 0, 0, 0, 0,        // mov eax, SetWindowLongA
                      0xFF, 0xD0,              // call eax
                      0x31, 0xC0,              // xor eax, eax
                      0xC2, 0x04, 0x00};       // ret 4
    put32(code + 1, page);
    put32(code + 8, reinterpret_cast<uintptr_t>(run.Window));
    put32(code + 13, setWindowLong);
    const uintptr_t remote = run.Code(code, sizeof code);
    ASSERT_NE(remote, 0u);
    const TOwnedHandle thread = run.StartThread(remote);
    ASSERT_TRUE(thread);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 120000), WAIT_OBJECT_0);
    PostMessageA(run.Window, WM_NULL, 0, 0);
    HWND box = nullptr;
    const std::string report = BoxReport(run, p, box, "main");
    ASSERT_NE(box, nullptr);
    ASSERT_FALSE(report.empty());
    ExpectReport(report, p, FaultMessage(page, "Execution", page),
                 "main thread (" + qel::HexStrPadded(run.Info.dwThreadId, 1, '0') + ")");
    SaveAndClose(run, p, box, report);
  }
}

// The program's visible top-level window of a class in a process other than
// the given one.
struct TOtherSearch {
  DWORD NotPid;
  std::string ClassName;
  HWND Window = nullptr;
};

BOOL CALLBACK FindOtherWindow(HWND h, LPARAM p) {
  auto* search = reinterpret_cast<TOtherSearch*>(p);
  DWORD owner = 0;
  GetWindowThreadProcessId(h, &owner);
  char className[64] = {};
  GetClassNameA(h, className, sizeof className);
  if (owner != search->NotPid && IsWindowVisible(h) && search->ClassName == className) search->Window = h;
  return search->Window == nullptr;
}

// "restart application": the program ends (exit code 2) and a new one of
// the same program comes up and runs on; it closes normally.
TEST(ShippedPrograms, RestartBringsUpANewProgram) {
  for (const TProgram& p : kPrograms) {
    SCOPED_TRACE(p.Name);
    const TRunningProgram run(p.Exe);
    ASSERT_NE(run.Window, nullptr);
    char className[64] = {}, oldTitle[128] = {};
    GetClassNameA(run.Window, className, sizeof className);
    GetWindowTextA(run.Window, oldTitle, sizeof oldTitle);
    const TOwnedHandle thread = run.StartThread(run.DataPage());
    ASSERT_TRUE(thread);
    HWND box = nullptr;
    BoxReport(run, p, box, "restart");
    ASSERT_NE(box, nullptr);
    HWND restart = Child(box, "Button", "restart application");
    ASSERT_NE(restart, nullptr);
    PostMessageA(restart, BM_CLICK, 0, 0);
    EXPECT_EQ(run.ExitCodeWithin(120000), 2u);
    TOtherSearch search{run.Info.dwProcessId, className};
    for (int i = 0; i < 1200 && search.Window == nullptr; ++i) {
      Sleep(100);
      EnumWindows(FindOtherWindow, reinterpret_cast<LPARAM>(&search));
    }
    ASSERT_NE(search.Window, nullptr);
    DWORD pid = 0;
    GetWindowThreadProcessId(search.Window, &pid);
    const TOwnedHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid));
    ASSERT_TRUE(process);
    char newTitle[128] = {};
    GetWindowTextA(search.Window, newTitle, sizeof newTitle);
    EXPECT_STREQ(newTitle, oldTitle);
    PostMessageA(search.Window, WM_CLOSE, 0, 0);
    DWORD code = 99;
    if (WaitForSingleObject(process.get(), 120000) == WAIT_OBJECT_0) GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 0u);
  }
}

}  // namespace
