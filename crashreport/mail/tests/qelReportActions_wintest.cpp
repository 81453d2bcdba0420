// The report actions as the programs run them, under Wine inside the private
// network namespace of scripts/with-mailnet.sh (dnsmasq and aiosmtpd on
// loopback; messages decoded by Python's email package into the spool).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
DWORD RunChild(const std::string& argument, DWORD waitMs = 60000) {
  std::string cmd = "\"" + ExePath() + "\" " + argument;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 0xDEAD;
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

TEST(MailBugReport, ThroughTheServerWithAuthLogin) {
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
  EXPECT_EQ(SpoolFile(n, "subject.txt"), exe + ": Access violation at address 00401234.");
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
  EXPECT_EQ(RunChild("--restart"), 2u);
  for (int i = 0; i < 300 && ReadFile(result).empty(); ++i) Sleep(100);
  EXPECT_EQ(ReadFile(result), "history 10 9 8 7 6 5 4 3 2 1 predecessor ok");
  EXPECT_EQ(RunChild("--close"), 1u);
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
    CloseHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(block->MappingHandle)));
    const HANDLE predecessor = OpenProcess(SYNCHRONIZE, FALSE, block->PredecessorId);
    text += predecessor != nullptr && WaitForSingleObject(predecessor, 30000) == WAIT_OBJECT_0 ? " predecessor ok" : " no predecessor";
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
