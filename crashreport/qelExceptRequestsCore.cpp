#include "qelExceptRequestsCore.h"

#include "qelStrings.h"

namespace qel {

int ScreenShotMode(uint32_t setting) {
  switch (setting) {
    case 0: return -1;
    case 4: return 1;        // grey
    case 51200: return 2;    // colour up to that many bytes, else grey
    case 102400: return 3;
    case 204800: return 4;
    case 307200: return 5;
    default: return 0;       // colour, whatever its size
  }
}

bool IsIgnoredExceptionClass(const std::string& ignoredClasses, const std::string& className) {
  std::string list = ignoredClasses;
  TrimAroundSeparator(list, ',');
  return HasItemText(list, className, ',');
}

TAutoDecision AutomaticDecision(bool canContinue, bool closeDue, bool restartDue) {
  if (closeDue) return TAutoDecision::Close;
  if (!canContinue && !restartDue) return TAutoDecision::Close;
  if (restartDue) return TAutoDecision::Restart;
  return TAutoDecision::Continue;
}

namespace {

// Ends a pause whatever happens while it lasts.
class TPauseGuard {
public:
  TPauseGuard(TRequestSteps& steps, bool active) : FSteps(steps), FActive(active) {}
  TPauseGuard(const TPauseGuard&) = delete;
  TPauseGuard& operator=(const TPauseGuard&) = delete;
  ~TPauseGuard() {
    if (!FActive) return;
    try {
      FSteps.PauseOtherThreads(false);
    } catch (...) {
    }
  }

private:
  TRequestSteps& FSteps;
  bool FActive;
};

class TProcessing {
public:
  TProcessing(TRequestSteps& steps, const TRequestSettings& settings, const TRequestFacts& facts)
      : S(steps), FSettings(settings), FFacts(facts), FCanContinue(facts.CanContinue) {}

  void Run() {
    S.PushExceptionTime();
    EventPhase(0);
    if (!FHandled) {
      ScreenshotAndReport();
      EventPhase(1);
      if (!FHandled) EventPhase(2);
    }
    if (FHandled && FCanContinue) return;
    if (!FHandled) Deliver();
    const bool decide = !FCanContinue || !FSettings.ShowExceptBox || FSettings.HtmlMode ||
                        (FSettings.ConsoleOutput && FSettings.ConsoleProgram);
    if (decide) Decide();
  }

private:
  // Handlers may make a request that could continue fatal, never the reverse.
  void EventPhase(uint8_t phase) {
    bool canContinue = FCanContinue;
    S.CallHandlers(kExceptEventHandlers, phase, 0, FHandled, canContinue, FScreenshot, FReport);
    FCanContinue = FCanContinue && canContinue;
  }

  // True when an action handler took the action over.
  bool ActionHandled(uint32_t action) {
    bool handled = false;
    bool canContinue = FCanContinue;
    S.CallHandlers(kActionHandlers, 0, action, handled, canContinue, FScreenshot, FReport);
    return handled;
  }

  void ScreenshotAndReport() {
    if (FFacts.HasObject && !FSettings.IgnoredExceptionClasses.empty() &&
        IsIgnoredExceptionClass(FSettings.IgnoredExceptionClasses, FFacts.ClassName))
      return;  // neither report nor screenshot
    FScreenshot.clear();
    const int mode = ScreenShotMode(FSettings.ScreenShotSetting);
    if (mode >= 0 && S.CaptureAvailable()) S.CaptureScreen(static_cast<uint8_t>(mode), FScreenshot);
    S.ComposeReport(FSettings.ShowExceptBox && !FSettings.HtmlMode, FReport);
  }

  void Deliver() {
    if (FSettings.AutoSaveBugReport && !ActionHandled(kActionSave)) S.SaveReport(FReport);
    if (FSettings.AutoMailBugReport && !ActionHandled(kActionMail)) S.MailReport(FReport, FScreenshot);
    if (!FSettings.ShowExceptBox) return;
    if (FSettings.HtmlMode)
      S.StoreHtmlReport(FReport);
    else
      S.ShowBox(FCanContinue, FScreenshot, FReport);
  }

  // The handlers are told, but cannot stop a close or restart.
  void Decide() {
    const bool closeDue = S.AutoActionDue(FSettings.AutoCloseSeconds);
    const bool restartDue = !closeDue && S.AutoActionDue(FSettings.AutoRestartSeconds);
    switch (AutomaticDecision(FCanContinue, closeDue, restartDue)) {
      case TAutoDecision::Close:
        ActionHandled(kActionClose);
        S.CloseApplication();
        break;
      case TAutoDecision::Restart:
        ActionHandled(kActionRestart);
        S.RestartApplication();
        break;
      case TAutoDecision::Continue:
        ActionHandled(kActionContinue);
        break;
    }
  }

  TRequestSteps& S;
  const TRequestSettings& FSettings;
  const TRequestFacts& FFacts;
  bool FCanContinue;
  bool FHandled = false;
  std::string FScreenshot, FReport;
};

}  // namespace

void ProcessRequestSteps(TRequestSteps& steps, const TRequestSettings& settings, const TRequestFacts& facts) {
  const bool pause = !facts.Frozen && settings.ReporterInExecutable && settings.PauseRunningThreads;
  try {
    TPauseGuard guard(steps, pause);
    if (pause) steps.PauseOtherThreads(true);
    TProcessing(steps, settings, facts).Run();
    steps.ResetFreezeMissCount();
  } catch (...) {
    // processing ends here; the guard has ended the pause
  }
}

}  // namespace qel
