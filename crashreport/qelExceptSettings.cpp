// Values of the exception reporter's settings; both programs use them unchanged.
#include "qelExceptSettings.h"

#include "qelStrings.h"

namespace qel {

uint32_t MainThreadId = 0;
bool CatchExceptions = true;
bool PatchRtlGui = true;
uint32_t FreezeTimeout = 0;
bool ShowExceptBox = true;
bool PauseRunningThreads = true;
bool AutoSaveBugReport = false;
bool AutoMailBugReport = false;
bool CopyBugReportToClipboard = true;
bool AutoContinue = false;
uint32_t AutoRestartSeconds = 0;
uint32_t AutoCloseSeconds = 0;
uint32_t AutoDelaySeconds = 60;
uint32_t DefaultButton = 0;
bool BugReportVisible = false;
bool OwnerDrawnButtons = true;
bool ConsoleOutput = true;
bool ResetFpuOnException = false;
std::string IgnoredExceptionClasses;
bool HtmlMode = false;

bool ListAllThreads = true;
bool ListModules = true;
bool ListHardware = true;
bool ShowCommandLine = true;
bool HideItemsWithoutLineNumber = false;
bool ShowRelativeAddresses = true;
bool ShowRelativeLines = true;
bool ListAllStackCandidates = false;
bool DisAsmListingOption = false;
uint32_t DisAsmLineLimit = 20;
uint32_t ScreenShotSetting = 102400;

TShortString<75> MailAddresses("bugreport@zivo.example");
std::string MailFrom;
TShortString<50> MailSubject("bug report");
bool AttachBugReportFile = true;
bool DeleteAttachmentsAfterSending = false;
std::string AdditionalAttachments;
bool SendViaDirectSmtp = false;
bool SendViaSmtpServer = false;
bool SendViaMapi = true;
bool SendViaMailto = true;
TShortString<50> SmtpServer;
uint32_t SmtpPort = 25;
TShortString<50> SmtpAccount;
TShortString<75> SmtpPassword;
TShortString<200> MailSentMessage("The mail was sent successfully.");
TShortString<200> MailFailedMessage("Sorry, sending the mail didn't work.");

TShortString<255> BugReportFile("bugreport.txt");
uint32_t BugReportFileSizeLimit = 50000;
TShortString<100> ExceptBoxTitle("%appname%");
TShortString<255> ExceptMessage("An error occurred in the application.");
TShortString<255> FrozenMessage("The application seems to be frozen.");
TShortString<30> MailButtonCaption("mail bug report");
TShortString<30> SaveButtonCaption("save bug report");
TShortString<30> PrintButtonCaption("print bug report");
TShortString<30> ShowButtonCaption("show bug report");
TShortString<30> ContinueButtonCaption("continue application");
TShortString<30> RestartButtonCaption("restart application");
TShortString<30> CloseButtonCaption("close application");

THtmlPageRoutine HtmlPageRoutine = nullptr;
TDisAsmListingRoutine DisAsmListingRoutine = nullptr;

std::string AppNameOfFile(const std::string& exeFileName) {
  std::string name = exeFileName;
  const size_t slash = name.find_last_of("\\/:");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

std::string ExpandPlaceholders(const std::string& text, const std::string& exeFileName,
                               const std::string& exceptMessage) {
  // The message goes in last, so that placeholders inside it stay as they are.
  std::string result = text;
  SubstText(result, kPlaceholderAppName, AppNameOfFile(exeFileName), false);
  SubstText(result, kPlaceholderLineBreak, "\r\n", false);
  SubstText(result, kPlaceholderExceptMsg, exceptMessage, false);
  return result;
}

#if !defined(_WIN32)
// Host builds have no linked image to fill it: every entry empty.
extern "C" const uint32_t qelPatchTable[kPatchEntryCount] = {};
#endif

}  // namespace qel
