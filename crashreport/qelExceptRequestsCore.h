// What happens to one exception request, without the platform: the order of
// the steps, the handler phases around them, ignored classes, the screenshot
// mode and the automatic close / restart / continue decision. The Windows
// side (qelExceptRequests) supplies the steps; tests supply fakes.
#pragma once

#include <cstdint>
#include <string>

namespace qel {

// CaptureScreenPng's mode for a ScreenShotSetting value; -1: no screenshot.
int ScreenShotMode(uint32_t setting);

// Whether className is an item of the comma-separated list (any letter case,
// blanks around the commas allowed).
bool IsIgnoredExceptionClass(const std::string& ignoredClasses, const std::string& className);

enum class TAutoDecision : uint8_t { Continue, Restart, Close };
// closeDue/restartDue: AutoActionDue of AutoCloseSeconds/AutoRestartSeconds.
TAutoDecision AutomaticDecision(bool canContinue, bool closeDue, bool restartDue);

// The settings processing reads, taken once per request.
struct TRequestSettings {
  bool ShowExceptBox = true;
  bool HtmlMode = false;
  bool ConsoleOutput = true;
  bool ConsoleProgram = false;        // the executable is a console program
  bool PauseRunningThreads = true;
  bool ReporterInExecutable = true;   // this code lives in the program's executable
  bool AutoSaveBugReport = false;
  bool AutoMailBugReport = false;
  uint32_t AutoCloseSeconds = 0;
  uint32_t AutoRestartSeconds = 0;
  uint32_t ScreenShotSetting = 0;
  std::string IgnoredExceptionClasses;
};

// The request as processing sees it.
struct TRequestFacts {
  bool Frozen = false;
  bool HasObject = false;
  std::string ClassName;  // of the exception object
  bool CanContinue = false;
};

// Handler kinds and action codes as the handler lists know them.
inline constexpr uint8_t kExceptEventHandlers = 0;
inline constexpr uint8_t kActionHandlers = 1;
inline constexpr uint32_t kActionMail = 0, kActionSave = 1, kActionContinue = 4, kActionRestart = 5,
                          kActionClose = 6;

// The outside work of processing. Close and Restart end the process in the
// program; when they return (tests), processing ends there.
class TRequestSteps {
public:
  virtual ~TRequestSteps() = default;
  virtual void PauseOtherThreads(bool pause) = 0;
  virtual void PushExceptionTime() = 0;
  virtual void CallHandlers(uint8_t kind, uint8_t phase, uint32_t action, bool& handled, bool& canContinue,
                            std::string& screenshot, std::string& report) = 0;
  virtual bool CaptureAvailable() = 0;
  virtual void CaptureScreen(uint8_t mode, std::string& png) = 0;
  virtual void ComposeReport(bool progress, std::string& report) = 0;
  virtual void SaveReport(const std::string& report) = 0;
  virtual void MailReport(const std::string& report, const std::string& screenshot) = 0;
  virtual void ShowBox(bool canContinue, const std::string& screenshot, const std::string& report) = 0;
  virtual void StoreHtmlReport(const std::string& report) = 0;
  virtual bool AutoActionDue(uint32_t seconds) = 0;
  virtual void CloseApplication() = 0;
  virtual void RestartApplication() = 0;
  virtual void ResetFreezeMissCount() = 0;
};

// Processes one request: pause, history, handler phases, screenshot and
// report, automatic save and mail, the box or the HTML report, the automatic
// decision. An exception of any step ends processing silently; a pause that
// was started is always ended.
void ProcessRequestSteps(TRequestSteps& steps, const TRequestSettings& settings, const TRequestFacts& facts);

}  // namespace qel
