// The reporter in the programs as they are shipped: Tarvik and Lunsel run,
// this program makes a fault in them from outside (a thread of theirs that
// starts in a page without execute rights; their main thread sent into such a
// page), finds the exception box, reads its report through the Win32 API and
// checks what the user reads, then saves, mails, restarts and closes. The mail
// cases run in the test network of scripts/with-mailnet.sh.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "RunningProgram.h"
#include "qelExceptSettings.h"
#include "qelStrings.h"
#include "qelWinHandles.h"

namespace {

using qel::TOwnedHandle;
using qel::test::Child;
using qel::test::ControlText;
using qel::test::ExeFolder;
using qel::test::TProgramSymbols;
using qel::test::TRunningProgram;
using qel::test::WaitForTopWindow;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The report's block of one thread: its heading line up to the empty line.
std::string Section(const std::string& report, const std::string& heading) {
  const size_t at = report.find("\r\n" + heading);
  if (at == std::string::npos) return {};
  const size_t end = report.find("\r\n\r\n", at + 2);
  return report.substr(at + 2, end == std::string::npos ? std::string::npos : end - at - 2);
}

struct TProgram {
  const char* Exe;
  const char* Name;     // "%appname%"
  const char* Entry;    // the source file of WinMain
  const char* Symbols;  // the listing of its symbols made when it was built
};

const TProgram kPrograms[] = {{TARVIK_EXE, "Tarvik", "Tarvik.cpp", TARVIK_SYMBOLS},
                              {LUNSEL_EXE, "Lunsel", "Lunsel.cpp", LUNSEL_SYMBOLS}};

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

// "save bug report" with the file dialog's proposal: the file beside the
// program holds the report.
void Save(const TRunningProgram& run, const TProgram& p, HWND box, const std::string& report) {
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
}

// "close application": the program ends with exit code 1.
void Close(const TRunningProgram& run, HWND box) {
  HWND close = Child(box, "Button", "close application");
  ASSERT_NE(close, nullptr);
  PostMessageA(close, BM_CLICK, 0, 0);
  EXPECT_EQ(run.ExitCodeWithin(120000), 1u);
}

void SaveAndClose(const TRunningProgram& run, const TProgram& p, HWND box, const std::string& report) {
  Save(run, p, box, report);
  DeleteFileA((ExeFolder(p.Exe) + "bugreport.txt").c_str());
  Close(run, box);
}

// The message of a fault outside every module: its access kind and address.
std::string FaultMessage(uintptr_t at, const char* kind, uintptr_t accessed) {
  return "Access violation at address " + qel::HexStrPadded(static_cast<uint32_t>(at), 1, '0') + ". " + kind +
         " of address " + qel::HexStrPadded(static_cast<uint32_t>(accessed), 1, '0') + ".";
}

// A fault in a thread of the program started at address: its box, its
// report and the heading of the thread's block.
struct TThreadFault {
  HWND Box = nullptr;
  std::string Report;
  std::string Heading;
};

TThreadFault FaultInThread(const TRunningProgram& run, const TProgram& p, uintptr_t start, const char* kind) {
  TThreadFault fault;
  DWORD tid = 0;
  const TOwnedHandle thread = run.StartThread(start, &tid);
  if (!thread) {
    ADD_FAILURE() << "no thread started in " << p.Name;
    return fault;
  }
  fault.Report = BoxReport(run, p, fault.Box, kind);
  fault.Heading = "thread " + qel::HexStrPadded(tid, 1, '0') + ":";
  return fault;
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
    const TThreadFault fault = FaultInThread(run, p, remote, "write");
    ASSERT_NE(fault.Box, nullptr);
    ASSERT_FALSE(fault.Report.empty());
    ExpectReport(fault.Report, p, FaultMessage(remote + 2, "Write", 0), fault.Heading);
    EXPECT_NE(fault.Report.find("\r\ndisassembling:\r\n"), std::string::npos);
    Close(run, fault.Box);
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
    const TThreadFault fault = FaultInThread(run, p, page, "thread");
    ASSERT_NE(fault.Box, nullptr);
    ASSERT_FALSE(fault.Report.empty());
    ExpectReport(fault.Report, p, FaultMessage(page, "Execution", page), fault.Heading);
    SaveAndClose(run, p, fault.Box, fault.Report);
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

// The exception-time history of a running program, newest first.
using THistory = std::array<uint64_t, 10>;
constexpr const char* kHistoryVariable = "qel::(anonymous namespace)::gHistory";

bool ReadHistory(HANDLE process, DWORD pid, const TProgramSymbols& symbols, THistory& history) {
  return qel::test::ReadVariable(process, pid, symbols, kHistoryVariable, history.data(), sizeof history);
}

// "restart application": the program ends (exit code 2) and a new one of
// the same program comes up, holding the history of the one it replaced, and
// runs on; it closes normally.
TEST(ShippedPrograms, RestartBringsUpANewProgram) {
  for (const TProgram& p : kPrograms) {
    SCOPED_TRACE(p.Name);
    const TProgramSymbols symbols(p.Symbols);
    ASSERT_TRUE(symbols.Read()) << p.Symbols;
    const TRunningProgram run(p.Exe);
    ASSERT_NE(run.Window, nullptr);
    char className[64] = {}, oldTitle[128] = {};
    GetClassNameA(run.Window, className, sizeof className);
    GetWindowTextA(run.Window, oldTitle, sizeof oldTitle);
    const TThreadFault fault = FaultInThread(run, p, run.DataPage(), "restart");
    ASSERT_NE(fault.Box, nullptr);
    // The exception is in the history before the box comes up; nothing older.
    THistory oldHistory{};
    ASSERT_TRUE(ReadHistory(run.Info.hProcess, run.Info.dwProcessId, symbols, oldHistory));
    EXPECT_NE(oldHistory[0], 0u);
    for (size_t i = 1; i < oldHistory.size(); ++i) EXPECT_EQ(oldHistory[i], 0u) << i;

    HWND restart = Child(fault.Box, "Button", "restart application");
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
    const TOwnedHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    ASSERT_TRUE(process);
    char newTitle[128] = {};
    GetWindowTextA(search.Window, newTitle, sizeof newTitle);
    EXPECT_STREQ(newTitle, oldTitle);
    THistory newHistory{};
    EXPECT_TRUE(ReadHistory(process.get(), pid, symbols, newHistory));
    EXPECT_EQ(newHistory, oldHistory);
    PostMessageA(search.Window, WM_CLOSE, 0, 0);
    DWORD code = 99;
    if (WaitForSingleObject(process.get(), 120000) == WAIT_OBJECT_0) GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 0u);
  }
}

// --- in the test network only (scripts/with-mailnet.sh) ----------------------------------

// The spool of the network's SMTP servers, seen through Wine's drive Z:.
std::string SpoolFile(int n, const std::string& name) {
  const char* spool = std::getenv("ZIVO_MAIL_SPOOL");
  if (spool == nullptr) return {};
  std::ifstream in(std::string("Z:") + spool + "/" + std::to_string(n) + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <typename T>
void SetVariable(const TRunningProgram& run, const TProgramSymbols& symbols, const std::string& name, const T& value) {
  EXPECT_TRUE(qel::test::WriteVariable(run.Info.hProcess, run.Info.dwProcessId, symbols, name, &value, sizeof value))
      << name;
}

// "mail bug report": the shipped settings hand the mail to the user's mail
// program; here the running program is set, as an installation for a network
// with a mail server would be, to send through the network's SMTP server with
// its account. The message arrives with the report as its text, the saved
// report attached, the settings' subject, and the box says it was sent.
TEST(ShippedProgramsMail, MailReachesTheNetworksServer) {
  ASSERT_NE(std::getenv("ZIVO_MAIL_SPOOL"), nullptr) << "runs inside scripts/with-mailnet.sh only";
  int spooled = 0;
  for (const TProgram& p : kPrograms) {
    SCOPED_TRACE(p.Name);
    const TProgramSymbols symbols(p.Symbols);
    ASSERT_TRUE(symbols.Read()) << p.Symbols;
    const TRunningProgram run(p.Exe);
    ASSERT_NE(run.Window, nullptr);
    SetVariable(run, symbols, "qel::SendViaMapi", false);
    SetVariable(run, symbols, "qel::SendViaMailto", false);
    SetVariable(run, symbols, "qel::SendViaSmtpServer", true);
    SetVariable(run, symbols, "qel::SmtpServer", qel::TShortString<50>("smtp.mail.test"));
    SetVariable(run, symbols, "qel::SmtpPort", uint32_t{587});
    SetVariable(run, symbols, "qel::SmtpAccount", qel::TShortString<50>("reporter"));
    SetVariable(run, symbols, "qel::SmtpPassword", qel::TShortString<75>("s3cr=t"));
    SetVariable(run, symbols, "qel::MailAddresses", qel::TShortString<75>("support@zivo.test"));

    const TThreadFault fault = FaultInThread(run, p, run.DataPage(), "mail");
    ASSERT_NE(fault.Box, nullptr);
    ASSERT_FALSE(fault.Report.empty());
    Save(run, p, fault.Box, fault.Report);
    HWND mail = Child(fault.Box, "Button", "mail bug report");
    ASSERT_NE(mail, nullptr);
    PostMessageA(mail, BM_CLICK, 0, 0);
    const HWND sent = WaitForTopWindow(run.Info.dwProcessId, "#32770", "mail bug report", 1800);
    ASSERT_NE(sent, nullptr);
    EXPECT_NE(Child(sent, "Static", "The mail was sent successfully."), nullptr);
    PostMessageA(sent, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    ++spooled;

    const std::string head = fault.Report.substr(0, fault.Report.find("\r\n\r\n"));
    const std::string meta = SpoolFile(spooled, "meta.txt");
    EXPECT_NE(meta.find("server 127.0.0.27:587\nlogin reporter\n"), std::string::npos) << meta;
    EXPECT_NE(meta.find("\nrcpt support@zivo.test\n"), std::string::npos) << meta;
    EXPECT_EQ(SpoolFile(spooled, "subject.txt"), "bug report");
    EXPECT_NE(SpoolFile(spooled, "body.txt").find(head), std::string::npos);
    EXPECT_NE(SpoolFile(spooled, "attachments/bugreport.txt").find(head), std::string::npos);
    DeleteFileA((ExeFolder(p.Exe) + "bugreport.txt").c_str());
    Close(run, fault.Box);
  }
}

}  // namespace
