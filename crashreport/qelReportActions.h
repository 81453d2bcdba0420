// What can be done with a finished bug report: mail it (direct SMTP, the
// configured SMTP server, MAPI, the registered mail client: first success
// wins), save it into the bug report file (appended, trimmed at whole reports),
// print it, restart the program, or close it.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "qelDns.h"

namespace qel {

// The settings the actions read, with the reporter's defaults; the programs
// take them from the reporter's settings (ReportActionSettingsFromSettings).
struct TReportActionSettings {
  std::string MailFrom;
  std::string MailAddresses;
  std::string MailSubject = "bug report";
  bool AttachBugReportFile = true;
  bool DeleteAttachmentsAfterSending = false;
  std::string AdditionalAttachments;
  bool SendViaDirectSmtp = false;
  bool SendViaSmtpServer = false;
  bool SendViaMapi = true;
  bool SendViaMailto = true;
  std::string SmtpServer;
  uint32_t SmtpPort = 25;
  std::string SmtpAccount;
  std::string SmtpPassword;  // plain text by now
  std::string MailSentMessage = "The mail was sent successfully.";
  std::string MailFailedMessage = "Sorry, sending the mail didn't work.";
  std::string MailButtonCaption = "mail bug report";
  std::string SaveButtonCaption = "save bug report";
  std::string PrintButtonCaption = "print bug report";
  std::string BugReportFile = "bugreport.txt";
  uint32_t BugReportFileSizeLimit = 50000;
  bool PauseRunningThreads = true;
  // Root servers of the walk, reply time-out; the machine's DNS servers unless set.
  TDnsConfig Dns;
  std::optional<std::vector<std::string>> NameServers;
  // The paused main thread is let go while the MAPI dialog runs: release
  // gives true when it released it, hold takes it back. Unset: nothing to do.
  std::function<bool()> ReleaseMainThread;
  std::function<void()> HoldMainThread;
};

TReportActionSettings ReportActionSettingsFromSettings();

enum : uint8_t { SendNotSent = 0, SendSent = 1, SendCancelled = 2 };

uint8_t MailBugReport(const TReportActionSettings& settings, const std::string& report, const std::string& screenshot,
                      HWND owner, bool silent);
bool SaveBugReport(const TReportActionSettings& settings, const std::string& report, HWND owner, bool automatic);
// True when the report went to the printer.
bool PrintBugReport(const TReportActionSettings& settings, const std::string& report, HWND owner);
// The printing itself, on a printer DC: Courier New 8 pt, margins 1 cm (2 cm left).
bool PrintReportOnDc(HDC dc, const std::string& report, const std::string& documentName);
// Starts the program again, hands it the exception-time history through the
// mapping "qelExceptRestart$<pid>", and ends this process with exit code 2.
[[noreturn]] void RestartApplication(const uint64_t (&history)[10]);
[[noreturn]] void CloseApplication();

std::string BugReportFileName(const TReportActionSettings& settings);
bool CreateFolderPath(const std::string& fileName);
bool IsConnected();
uint8_t SendMapiMail(const TReportActionSettings& settings, const std::string& addresses, const std::string& subject,
                     const std::string& body, bool silent, HWND owner, const std::string& attachments);
bool SendMailtoShell(const std::string& addresses, const std::string& subject, const std::string& body);

// Layout of the restart hand-over block.
struct TRestartHandOver {
  uint32_t PredecessorId;
  uint32_t MappingHandle;  // valid in the successor
  uint64_t History[10];
};
static_assert(sizeof(TRestartHandOver) == 88);
std::string RestartMappingName(DWORD processId);

}  // namespace qel
