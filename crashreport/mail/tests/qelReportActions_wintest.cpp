// The report actions as the programs run them, under Wine inside the private
// network namespace of scripts/with-mailnet.sh (dnsmasq and aiosmtpd on
// loopback; messages decoded by Python's email package into the spool).
#include <windows.h>
#include <winspool.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "MailNamespace.h"
#include "qelMailNet.h"
#include "qelReportActions.h"
#include "qelStrings.h"

using namespace qel;

namespace {

std::string ReadFile(const std::string& name) {
  std::ifstream f(name, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFile(const std::string& name, const std::string& content) {
  std::ofstream(name, std::ios::binary | std::ios::trunc) << content;
}

bool Exists(const std::string& name) { return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The spool of the SMTP servers, seen through Wine's drive Z:.
std::string Spool() {
  const char* s = std::getenv("ZIVO_MAIL_SPOOL");
  return s ? std::string("Z:") + s : std::string();
}

int SpoolCount() {
  int n = 0;
  while (Exists(Spool() + "/" + std::to_string(n + 1))) ++n;
  return n;
}

std::string SpoolFile(int n, const std::string& name) { return ReadFile(Spool() + "/" + std::to_string(n) + "/" + name); }

std::string TempDir() {
  char buf[MAX_PATH];
  GetTempPathA(sizeof buf, buf);
  std::string dir = std::string(buf) + "qelmail_" + std::to_string(GetCurrentProcessId()) + "\\";
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

std::string ExePath() {
  char buf[MAX_PATH];
  GetModuleFileNameA(nullptr, buf, sizeof buf);
  return buf;
}

// Runs this program again with an argument; its exit code.
DWORD RunChild(const std::string& argument, DWORD* processId = nullptr, DWORD waitMs = 60000) {
  std::string cmd = "\"" + ExePath() + "\" " + argument;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;  // the child's test output goes where ours goes
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return 0xDEAD;
  if (processId != nullptr) *processId = pi.dwProcessId;
  DWORD code = 0xBEEF;
  if (WaitForSingleObject(pi.hProcess, waitMs) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
  else TerminateProcess(pi.hProcess, 0xBEEF);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

const char kReport[] =
    "date/time          : 2026-12-09, 08:05:07\r\n"
    "exception message  : Access violation at address 00401234.\t \r\n"
    "\r\n"
    ".\r\n"
    "..a line that begins with a dot\r\n"
    "main thread ($1a4):\r\n";

// The SMTP steps of the chain run only when the system says it is online.
const char kOffline[] =
    "the system reports no connection (the namespace has a default route over an adapter; Wine's "
    "network status service must be running)";

// Asked in a child: where the network status service is missing the answer may take the process along.
bool SystemOnline() { return RunChild("--is-connected") == 1; }

TReportActionSettings ServerSettings() {
  TReportActionSettings s;
  s.MailAddresses = "dev@example.test; Bee <bee@example.test>";
  s.MailSubject = "%appname%: %exceptMsg%";
  s.SendViaSmtpServer = true;
  s.SendViaMapi = false;
  s.SendViaMailto = false;
  s.SmtpServer = "smtp.mail.test";
  s.SmtpPort = 587;
  s.SmtpAccount = "reporter";
  s.SmtpPassword = "s3cr=t";
  return s;
}

std::string AppFileName() {
  const std::string exe = ExePath();
  return exe.substr(exe.find_last_of('\\') + 1);
}

}  // namespace

TEST(MailLookup, NameServersFromTheIpHelper) {
  ASSERT_FALSE(Spool().empty()) << "run through scripts/with-mailnet.sh";
  const std::vector<std::string> servers = FindNameServers();
  ASSERT_FALSE(servers.empty());
  EXPECT_EQ(servers.front(), "127.0.0.53");
  EXPECT_EQ(qel::FindMailExchanger(TDnsConfig{}, "Someone <x@a.mail.test>"), "mx.a.mail.test");
  EXPECT_EQ(qel::FindMailExchanger(TDnsConfig{}, "y@sub.c.mail.test"), "mx.a.mail.test");
}

TEST(MailLookup, RegistryServersOnNt4WithADeadFirstServer) {
  // The version is per program and read at its start: a child runs as Windows NT 4.
  const std::string appDefaults = "Software\\Wine\\AppDefaults\\" + AppFileName();
  const char* params = "System\\CurrentControlSet\\Services\\Tcpip\\Parameters";
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, appDefaults.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
  RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>("nt40"), 5);
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, params, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
  const char servers[] = "127.0.0.9 127.0.0.53";
  RegSetValueExA(key, "NameServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(servers), sizeof servers);
  RegDeleteValueA(key, "DhcpNameServer");
  const DWORD code = RunChild("--registry-branch");
  RegDeleteValueA(key, "NameServer");
  RegCloseKey(key);
  RegDeleteKeyA(HKEY_CURRENT_USER, appDefaults.c_str());
  EXPECT_EQ(code, 0u) << "1: not NT 4, 2: servers not from the registry, 3: no exchanger";
}

TEST(MailSockets, SmtpSessionsOverWinsock) {
  TSystemMailNetwork net;
  TSmtpMail mail = mailns::ServerMail("Reporter <reporter@app.test>", "dev@example.test", "bug report", kReport);
  const int before = SpoolCount();
  ASSERT_TRUE(SendSmtpMail(net, mail));
  mail.Server.clear();
  mail.Account.clear();
  mail.Password.clear();
  mail.Port = 25;
  mail.Recipients = "one@a.mail.test;two@b.mail.test";
  ASSERT_TRUE(SendSmtpMail(net, mail));
  ASSERT_EQ(SpoolCount(), before + 3);
  EXPECT_NE(SpoolFile(before + 1, "meta.txt").find("server 127.0.0.27:587\nlogin reporter\n"), std::string::npos);
  EXPECT_NE(SpoolFile(before + 2, "meta.txt").find("server 127.0.0.25:25\n"), std::string::npos);
  EXPECT_NE(SpoolFile(before + 3, "meta.txt").find("server 127.0.0.26:25\n"), std::string::npos);
  for (int n = before + 1; n <= before + 3; ++n) EXPECT_EQ(SpoolFile(n, "body.txt"), std::string(kReport) + "\r\n");
}

TEST(MailBugReport, ThroughTheServerWithAuthLogin) {
  if (!SystemOnline()) GTEST_SKIP() << kOffline;
  const std::string dir = TempDir();
  TReportActionSettings s = ServerSettings();
  s.BugReportFile = dir + "%appname%-history.txt";
  std::string exe = AppFileName();
  const std::string history = dir + exe.substr(0, exe.rfind('.')) + "-history.txt";
  WriteFile(history, std::string(kReport) + "\r\n\r\n");
  std::string extra(5000, '\0');
  for (size_t i = 0; i < extra.size(); ++i) extra[i] = static_cast<char>(i * 7 + (i >> 8));
  WriteFile(dir + "extra.bin", extra);
  s.AdditionalAttachments = dir + "extra.bin";
  s.DeleteAttachmentsAfterSending = true;
  std::string png = "\x89PNG\r\n\x1a\n";
  for (int i = 0; i < 3000; ++i) png += static_cast<char>(i % 251);

  const int before = SpoolCount();
  ASSERT_EQ(MailBugReport(s, kReport, png, nullptr, true), SendSent);
  ASSERT_EQ(SpoolCount(), before + 1);
  const int n = before + 1;
  EXPECT_NE(SpoolFile(n, "meta.txt").find("server 127.0.0.27:587\nlogin reporter\nfrom dev@example.test\n"
                                            "rcpt dev@example.test\nrcpt bee@example.test\n"),
            std::string::npos)
      << SpoolFile(n, "meta.txt");
  EXPECT_EQ(SpoolFile(n, "subject.txt"), exe.substr(0, exe.rfind('.')) + ": Access violation at address 00401234.");
  EXPECT_EQ(SpoolFile(n, "body.txt"), kReport);
  EXPECT_EQ(SpoolFile(n, "attachments/" + history.substr(history.rfind('\\') + 1)), std::string(kReport) + "\r\n\r\n");
  EXPECT_EQ(SpoolFile(n, "attachments/screenShot.png"), png);
  EXPECT_EQ(SpoolFile(n, "attachments/extra.bin"), extra);
  // Deleted after sending: what was attached, but never the bug report file.
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  EXPECT_FALSE(Exists(std::string(temp) + "screenShot.png"));
  EXPECT_FALSE(Exists(dir + "extra.bin"));
  EXPECT_TRUE(Exists(history));
}

TEST(MailBugReport, DirectToTheExchangersTwoSessions) {
  if (!SystemOnline()) GTEST_SKIP() << kOffline;
  TReportActionSettings s;
  s.MailAddresses = "one@a.mail.test, Two <two@b.mail.test>";
  s.SendViaDirectSmtp = true;
  s.SendViaMapi = false;
  s.SendViaMailto = false;
  s.AttachBugReportFile = false;
  const int before = SpoolCount();
  ASSERT_EQ(MailBugReport(s, kReport, "", nullptr, true), SendSent);
  ASSERT_EQ(SpoolCount(), before + 2);
  EXPECT_NE(SpoolFile(before + 1, "meta.txt").find("server 127.0.0.25:25\n"), std::string::npos);
  EXPECT_NE(SpoolFile(before + 2, "meta.txt").find("server 127.0.0.26:25\n"), std::string::npos);
  EXPECT_NE(SpoolFile(before + 2, "meta.txt").find("from one@a.mail.test\nrcpt two@b.mail.test\n"), std::string::npos)
      << "the sender is the first recipient";
  EXPECT_EQ(SpoolFile(before + 1, "body.txt"), std::string(kReport) + "\r\n");
}

TEST(SaveBugReport, LimitsAndTrimming) {
  const std::string dir = TempDir();
  TReportActionSettings s;
  s.BugReportFile = dir + "sub\\dir\\bugreport.txt";  // folders are made on the way
  const auto report = [](char fill, size_t size) {  // size bytes in the file, separator included
    std::string r = "date/time          : x\r\n";
    return r + std::string(size - r.size() - 4, fill);
  };
  const std::string file = dir + "sub\\dir\\bugreport.txt";

  s.BugReportFileSizeLimit = 0;
  ASSERT_TRUE(SaveBugReport(s, report('a', 1000), nullptr, true));
  ASSERT_TRUE(SaveBugReport(s, report('b', 1000), nullptr, true));
  EXPECT_EQ(ReadFile(file), report('b', 1000) + "\r\n\r\n");

  s.BugReportFileSizeLimit = 50000;
  DeleteFileA(file.c_str());
  for (char c : {'a', 'b', 'c', 'd', 'e', 'f'}) ASSERT_TRUE(SaveBugReport(s, report(c, 10000), nullptr, true));
  std::string expected;
  for (char c : {'d', 'e', 'f'}) expected += report(c, 10000) + "\r\n\r\n";
  EXPECT_EQ(ReadFile(file), expected);  // from 60,000 bytes: the reports after which < 37,500 remain

  ASSERT_TRUE(SaveBugReport(s, report('z', 70000), nullptr, true));
  EXPECT_EQ(ReadFile(file), report('z', 70000) + "\r\n\r\n");  // alone, whole
  ASSERT_TRUE(SaveBugReport(s, report('y', 100), nullptr, true));
  EXPECT_EQ(ReadFile(file), report('y', 100) + "\r\n\r\n");

  // A file that cannot be opened (held without sharing) is not written.
  HANDLE held = CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_FALSE(SaveBugReport(s, report('x', 100), nullptr, true));
  CloseHandle(held);
}

TEST(ProcessActions, RestartHandsOverTheHistoryAndClosesWithTwo) {
  const std::string result = TempDir() + "successor.txt";
  DeleteFileA(result.c_str());
  SetEnvironmentVariableA("QELMAIL_SUCCESSOR_FILE", result.c_str());
  DWORD predecessor = 0;
  EXPECT_EQ(RunChild("--restart", &predecessor), 2u);
  for (int i = 0; i < 300 && ReadFile(result).empty(); ++i) Sleep(100);
  EXPECT_EQ(ReadFile(result), "history 10 9 8 7 6 5 4 3 2 1 predecessor " + std::to_string(predecessor));
  EXPECT_EQ(RunChild("--close"), 1u);
}

namespace {

std::string ExeDir() {
  const std::string exe = ExePath();
  return exe.substr(0, exe.find_last_of('\\') + 1);
}

std::string PercentDecoded(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Answers the message boxes of this process from a second thread and keeps their texts.
class TBoxAnswerer {
public:
  TBoxAnswerer() : Thread_(CreateThread(nullptr, 0, &TBoxAnswerer::Run, this, 0, nullptr)) {}
  ~TBoxAnswerer() {
    Stop_ = true;
    WaitForSingleObject(Thread_, INFINITE);
    CloseHandle(Thread_);
  }
  std::vector<std::string> Boxes() {
    EnterCriticalSection(&Lock_);
    std::vector<std::string> b = Boxes_;
    LeaveCriticalSection(&Lock_);
    return b;
  }

private:
  static DWORD WINAPI Run(void* self) {
    auto* me = static_cast<TBoxAnswerer*>(self);
    while (!me->Stop_) {
      HWND box = nullptr;
      while ((box = FindWindowExA(nullptr, box, "#32770", nullptr)) != nullptr) {
        DWORD pid = 0;
        GetWindowThreadProcessId(box, &pid);
        if (pid != GetCurrentProcessId() || !IsWindowVisible(box)) continue;
        char caption[256] = {}, text[1024] = {};
        GetWindowTextA(box, caption, sizeof caption);
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        EnterCriticalSection(&me->Lock_);
        me->Boxes_.push_back(std::string(caption) + ": " + text);
        LeaveCriticalSection(&me->Lock_);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        Sleep(200);
      }
      Sleep(20);
    }
    return 0;
  }
  struct TLock {
    TLock() { InitializeCriticalSection(&Section); }
    ~TLock() { DeleteCriticalSection(&Section); }
    CRITICAL_SECTION Section;
  } LockHolder_;
  CRITICAL_SECTION& Lock_ = LockHolder_.Section;
  std::vector<std::string> Boxes_;
  volatile bool Stop_ = false;
  HANDLE Thread_;
};

// The test's own mapi32.dll and a recorder registered as the mail client, in the test prefix.
class MailChain : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Exists(ExeDir() + "mapi32.dll"));
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\DllOverrides", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr), 0);
    RegSetValueExA(key, "mapi32", 0, REG_SZ, reinterpret_cast<const BYTE*>("native"), 7);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "mailto\\shell\\open\\command", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr), 0);
    char old[1024] = {};
    DWORD size = sizeof old - 1;
    HadMailto_ = RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(old), &size) == 0;
    OldMailto_ = old;
    const std::string command = "\"" + ExeDir() + "qelmail_mailto_recorder.exe\" \"%1\"";
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()), static_cast<DWORD>(command.size() + 1));
    RegCloseKey(key);
    const std::string dir = TempDir();
    MapiLog_ = dir + "mapi.log";
    MailtoLog_ = dir + "mailto.log";
    SetEnvironmentVariableA("QELMAIL_MAPI_LOG", MapiLog_.c_str());
    SetEnvironmentVariableA("QELMAIL_MAILTO_LOG", MailtoLog_.c_str());
  }
  void TearDown() override {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\DllOverrides", 0, KEY_ALL_ACCESS, &key) == 0) {
      RegDeleteValueA(key, "mapi32");
      RegCloseKey(key);
    }
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "mailto\\shell\\open\\command", 0, KEY_ALL_ACCESS, &key) == 0) {
      if (HadMailto_)
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(OldMailto_.c_str()),
                       static_cast<DWORD>(OldMailto_.size() + 1));
      else
        RegDeleteValueA(key, nullptr);
      RegCloseKey(key);
    }
  }
  std::string MailtoLine() {
    for (int i = 0; i < 100 && !Exists(MailtoLog_); ++i) Sleep(100);
    return ReadFile(MailtoLog_);
  }
  std::string MapiLog_, MailtoLog_;
  bool HadMailto_ = false;
  std::string OldMailto_;
};

}  // namespace

// Message boxes and a mail client started on the way: in a child of its own,
// so that a box nobody answers costs a bounded wait, not the whole run.
TEST(MailChainTable, InAChild) {
  EXPECT_EQ(RunChild("--gtest_also_run_disabled_tests --gtest_filter=MailChain.DISABLED_WhichMethodsRunAndWhatTheyGet",
                     nullptr, 180000),
            0u);
}

TEST_F(MailChain, DISABLED_WhichMethodsRunAndWhatTheyGet) {
  if (!SystemOnline()) GTEST_SKIP() << kOffline;
  struct TCase {
    const char* What;
    bool ServerWorks;
    const char* MapiAnswer;
    bool Mailto;
    bool Silent;
    uint8_t Result;
    int Mails;
    bool MapiRan;
    bool MailtoRan;
    const char* Box;
  };
  const std::string sent = "mail bug report: The mail was sent successfully.";
  const std::string failed = "mail bug report: Sorry, sending the mail didn't work.";
  const TCase cases[] = {
      {"the server sends: nothing more, the sent box", true, "sent", true, false, SendSent, 1, false, false, sent.c_str()},
      {"the server refuses the login: MAPI sends, no box", false, "sent", true, false, SendSent, 0, true, false, ""},
      {"MAPI cancelled: no mailto, no box", false, "cancel", true, false, SendCancelled, 0, true, false, ""},
      {"MAPI fails: the mail client gets the URL", false, "fail", true, false, SendSent, 0, true, true, ""},
      {"MAPI fails, silent: no mailto, no box", false, "fail", true, true, SendNotSent, 0, true, false, ""},
      {"nothing works: the failure box", false, "fail", false, false, SendNotSent, 0, true, false, failed.c_str()},
  };
  for (const TCase& c : cases) {
    DeleteFileA(MapiLog_.c_str());
    DeleteFileA(MailtoLog_.c_str());
    SetEnvironmentVariableA("QELMAIL_MAPI_ANSWER", c.MapiAnswer);
    TReportActionSettings s = ServerSettings();
    s.AttachBugReportFile = false;
    s.SendViaMapi = true;
    s.SendViaMailto = c.Mailto;
    if (!c.ServerWorks) s.SmtpPassword = "wrong";
    const int before = SpoolCount();
    uint8_t result;
    std::vector<std::string> boxes;
    {
      TBoxAnswerer answerer;
      result = MailBugReport(s, kReport, "\x89PNG", nullptr, c.Silent);
      Sleep(300);
      boxes = answerer.Boxes();
    }
    EXPECT_EQ(result, c.Result) << c.What;
    EXPECT_EQ(SpoolCount() - before, c.Mails) << c.What;
    EXPECT_EQ(Exists(MapiLog_), c.MapiRan) << c.What;
    // A mail client that was started writes its line soon; one that was not leaves no file.
    const std::string mailto = c.MailtoRan ? MailtoLine() : ReadFile(MailtoLog_);
    EXPECT_EQ(!mailto.empty(), c.MailtoRan) << c.What;
    EXPECT_EQ(boxes, std::string(c.Box).empty() ? std::vector<std::string>{} : std::vector<std::string>{c.Box}) << c.What;
  }
}

TEST_F(MailChain, MapiAndMailtoGetTheMail) {
  SetEnvironmentVariableA("QELMAIL_MAPI_ANSWER", "fail");
  TReportActionSettings s = ServerSettings();
  s.SendViaSmtpServer = false;
  s.SendViaMapi = true;
  s.SendViaMailto = true;
  s.AttachBugReportFile = false;
  DeleteFileA(MapiLog_.c_str());
  DeleteFileA(MailtoLog_.c_str());
  {
    TBoxAnswerer answerer;
    EXPECT_EQ(MailBugReport(s, kReport, "\x89PNG", nullptr, false), SendSent);
  }
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  const std::string app = AppFileName();  // "%appname%" has no extension
  const std::string subject = app.substr(0, app.rfind('.')) + ": Access violation at address 00401234.";
  EXPECT_EQ(ReadFile(MapiLog_), "session 0\nui 0\nflags 9\nsubject " + subject +
                                    "\nto 1 dev@example.test | SMTP:dev@example.test\n"
                                    "to 1 Bee  | SMTP:bee@example.test\n"
                                    "file -1 " + std::string(temp) + "screenShot.png\nnote " + kReport);
  // The mail client's URL carries the whole report; nothing in it can add a field.
  const std::string line = MailtoLine();
  const std::string url = line.substr(line.find("\"mailto:") + 1, line.size() - line.find("\"mailto:") - 2);
  ASSERT_EQ(url.substr(0, 7), "mailto:") << line;
  EXPECT_EQ(PercentDecoded(url.substr(7, url.find('?') - 7)), "dev@example.test,Bee <bee@example.test>");
  const size_t subjectAt = url.find("?subject="), bodyAt = url.find("&body=");
  ASSERT_NE(bodyAt, std::string::npos);
  EXPECT_EQ(PercentDecoded(url.substr(subjectAt + 9, bodyAt - subjectAt - 9)), subject);
  EXPECT_EQ(PercentDecoded(url.substr(bodyAt + 6)), kReport);
  EXPECT_EQ(url.find('&', bodyAt + 1), std::string::npos);

  // Silent with recipients: MAPI without its dialog; without recipients it must ask.
  DeleteFileA(MapiLog_.c_str());
  EXPECT_EQ(MailBugReport(s, kReport, "", nullptr, true), SendNotSent);
  EXPECT_EQ(ReadFile(MapiLog_).substr(0, 25), "session 0\nui 0\nflags 0\nsu");
  s.MailAddresses.clear();
  EXPECT_EQ(MailBugReport(s, kReport, "", nullptr, true), SendNotSent);
  EXPECT_EQ(ReadFile(MapiLog_).substr(0, 25), "session 0\nui 0\nflags 9\nsu");
}

namespace {

// A PostScript printer of the test prefix whose port is a file: the smallest
// description the PostScript driver accepts.
const char kPpd[] =
    "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n*LanguageVersion: English\n"
    "*LanguageEncoding: ISOLatin1\n*PCFileName: \"GENERIC.PPD\"\n*Manufacturer: \"Test\"\n*Product: \"(File)\"\n"
    "*ModelName: \"File Printer\"\n*ShortNickName: \"File Printer\"\n*NickName: \"File Printer\"\n"
    "*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n*ColorDevice: False\n*DefaultColorSpace: Gray\n"
    "*TTRasterizer: Type42\n*DefaultResolution: 300dpi\n*OpenUI *PageSize: PickOne\n*DefaultPageSize: A4\n"
    "*PageSize A4/A4: \"<</PageSize[595 842]/ImagingBBox null>>setpagedevice\"\n*CloseUI: *PageSize\n"
    "*DefaultImageableArea: A4\n*ImageableArea A4/A4: \"18 18 577 824\"\n*DefaultPaperDimension: A4\n"
    "*PaperDimension A4/A4: \"595 842\"\n";
const char kPrinter[] = "QelMailTestPrinter";

// The text a PostScript file draws, read back from its glyph names.
std::string GlyphText(const std::string& ps) {
  static const std::pair<const char*, char> kNames[] = {
      {"space", ' '}, {"period", '.'}, {"colon", ':'}, {"hyphen", '-'}, {"zero", '0'}, {"one", '1'},
      {"two", '2'},   {"three", '3'},  {"four", '4'},  {"five", '5'},   {"six", '6'},  {"seven", '7'},
      {"eight", '8'}, {"nine", '9'}};
  std::string text;
  std::istringstream in(ps);
  std::string line;
  while (std::getline(in, line)) {
    const size_t at = line.find(" glyphshow");
    if (line.empty() || line[0] != '/' || at == std::string::npos) continue;
    const std::string name = line.substr(1, at - 1);
    if (name.size() == 1) {
      text += name[0];
      continue;
    }
    for (const auto& [n, c] : kNames)
      if (name == n) text += c;
  }
  return text;
}

}  // namespace

TEST(PrintBugReport, ToAFilePrinterThroughThePrintDialog) {
  char driverDir[MAX_PATH] = {};
  DWORD needed = 0;
  ASSERT_TRUE(GetPrinterDriverDirectoryA(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(driverDir), sizeof driverDir, &needed));
  const std::string ppdDir = std::string(driverDir) + "\\3";
  CreateDirectoryA(ppdDir.c_str(), nullptr);
  WriteFile(ppdDir + "\\generic.ppd", kPpd);
  DRIVER_INFO_3A driver{};
  driver.cVersion = 3;
  driver.pName = const_cast<char*>("Wine PostScript Driver");
  driver.pDriverPath = const_cast<char*>("wineps.drv");
  driver.pDataFile = const_cast<char*>("generic.ppd");
  driver.pConfigFile = const_cast<char*>("wineps.drv");
  ASSERT_TRUE(AddPrinterDriverA(nullptr, 3, reinterpret_cast<BYTE*>(&driver)));
  const std::string output = std::string(std::getenv("ZIVO_MAIL_SPOOL")) + "/printed.ps";  // a Unix file as the port
  HANDLE old = nullptr;
  if (OpenPrinterA(const_cast<char*>(kPrinter), &old, nullptr)) {
    DeletePrinter(old);
    ClosePrinter(old);
  }
  PRINTER_INFO_2A info{};
  info.pPrinterName = const_cast<char*>(kPrinter);
  info.pPortName = const_cast<char*>(output.c_str());
  info.pDriverName = driver.pName;
  info.pPrintProcessor = const_cast<char*>("WinPrint");
  info.pDatatype = const_cast<char*>("RAW");
  const HANDLE printer = AddPrinterA(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  ASSERT_NE(printer, nullptr);
  ASSERT_TRUE(SetDefaultPrinterA(kPrinter));

  std::string report;
  for (int i = 1; i <= 160; ++i) report += "line " + std::to_string(i) + ": 0040" + std::to_string(1000 + i) + "\r\n";
  report += "\r\nlast line\r\n";
  TReportActionSettings s;
  bool printed;
  std::vector<std::string> boxes;
  {
    TBoxAnswerer answerer;  // presses OK in the print dialog
    printed = PrintBugReport(s, report, nullptr);
    boxes = answerer.Boxes();
  }
  DeletePrinter(printer);
  ClosePrinter(printer);
  EXPECT_TRUE(printed);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].substr(0, 6), "Print:");
  const std::string ps = ReadFile("Z:" + output);
  EXPECT_NE(ps.find("%%Title: print bug report"), std::string::npos);
  std::string expected;
  for (int i = 1; i <= 160; ++i) expected += "line " + std::to_string(i) + ": 0040" + std::to_string(1000 + i);
  // An empty line, also the one after the last line break, prints as one blank.
  EXPECT_EQ(GlyphText(ps), expected + " last line ");
  // 160 lines of 8 points do not fit on one A4 page.
  size_t pages = 0;
  for (size_t p = 0; (p = ps.find("\nshowpage", p)) != std::string::npos; ++p) ++pages;
  EXPECT_GE(pages, 2u);
  EXPECT_LE(pages, 4u);
}

// In a child of its own: the common dialog's helper threads must not take the other tests along if they fail.
TEST(SaveBugReport, RelativeNameThroughTheSaveDialog) {
  EXPECT_EQ(RunChild("--save-dialog"), 0u) << "1: not saved, 2: no dialog or another one, 3: file not as saved";
}

namespace {

// Child modes: the registry branch under NT 4, and both sides of a restart.
int ChildMain(const std::string& mode) {
  if (mode == "--registry-branch") {
    OSVERSIONINFOA vi{};
    vi.dwOSVersionInfoSize = sizeof vi;
    GetVersionExA(&vi);
    if (vi.dwPlatformId != VER_PLATFORM_WIN32_NT || vi.dwMajorVersion != 4) return 1;
    if (FindNameServers() != std::vector<std::string>{"127.0.0.9", "127.0.0.53"}) return 2;
    TDnsConfig config;
    config.ReplyTimeoutMs = 2000;
    return qel::FindMailExchanger(config, "x@b.mail.test") == "mx.b.mail.test" ? 0 : 3;
  }
  if (mode == "--close") CloseApplication();
  if (mode == "--is-connected") return IsConnected() ? 1 : 0;
  if (mode == "--save-dialog") {
    TReportActionSettings s;
    s.BugReportFile = "%appname%-dialog.txt";
    const std::string exe = AppFileName();
    const std::string expected = ExeDir() + exe.substr(0, exe.rfind('.')) + "-dialog.txt";  // the program's folder
    DeleteFileA(expected.c_str());
    bool saved;
    std::vector<std::string> boxes;
    {
      TBoxAnswerer answerer;  // takes the offered name
      saved = SaveBugReport(s, "date/time          : x\r\n", nullptr, false);
      boxes = answerer.Boxes();
    }
    const std::string content = ReadFile(expected);
    DeleteFileA(expected.c_str());
    if (!saved) return 1;
    if (boxes.size() != 1 || boxes[0].substr(0, 16) != "save bug report:") return 2;
    return content == "date/time          : x\r\n\r\n\r\n" ? 0 : 3;
  }
  if (mode == "--restart") {
    // The successor starts with the same command line and finds the hand-over block.
    const HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, RestartMappingName(GetCurrentProcessId()).c_str());
    if (mapping == nullptr) {
      const uint64_t history[10] = {10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
      RestartApplication(history);
    }
    const auto* block = static_cast<const TRestartHandOver*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    std::string text = "history";
    for (uint64_t h : block->History) text += " " + std::to_string(h);
    // The handle the predecessor made for us: closing it must work.
    if (!CloseHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(block->MappingHandle)))) text += " bad handle";
    text += " predecessor " + std::to_string(block->PredecessorId);
    WriteFile(std::getenv("QELMAIL_SUCCESSOR_FILE"), text);
    return 0;
  }
  return 99;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]).rfind("--", 0) == 0 && std::string(argv[1]).rfind("--gtest", 0) != 0)
    return ChildMain(argv[1]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
