#include "qelExceptRequestsCore.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

using namespace qel;

namespace {

// Records every step as a word; handlers and due answers are set per test.
class TFakeSteps : public TRequestSteps {
public:
  std::vector<std::string> Log;
  // kind, phase, action -> what the handler does
  std::function<void(uint8_t kind, uint8_t phase, uint32_t action, bool& handled, bool& canContinue)> Handler;
  std::map<uint32_t, bool> Due;  // AutoActionDue answers by seconds (missing: false)
  bool Capture = true;
  bool ThrowInCompose = false;
  std::string BoxScreenshot = "<none>", BoxReport = "<none>";
  bool BoxCanContinue = false;

  void PauseOtherThreads(bool pause) override { Log.push_back(pause ? "pause" : "resume"); }
  void PushExceptionTime() override { Log.push_back("history"); }
  void CallHandlers(uint8_t kind, uint8_t phase, uint32_t action, bool& handled, bool& canContinue, std::string&,
                    std::string&) override {
    Log.push_back(kind == kActionHandlers ? "action" + std::to_string(action) : "phase" + std::to_string(phase));
    if (Handler) Handler(kind, phase, action, handled, canContinue);
  }
  bool CaptureAvailable() override { return Capture; }
  void CaptureScreen(uint8_t mode, std::string& png) override {
    Log.push_back("capture" + std::to_string(mode));
    png = "PNG";
  }
  void ComposeReport(bool progress, std::string& report) override {
    Log.push_back(progress ? "compose+progress" : "compose");
    if (ThrowInCompose) throw std::runtime_error("compose failed");
    report = "REPORT";
  }
  void SaveReport(const std::string&) override { Log.push_back("save"); }
  void MailReport(const std::string&, const std::string&) override { Log.push_back("mail"); }
  void ShowBox(bool canContinue, const std::string& screenshot, const std::string& report) override {
    Log.push_back("box");
    BoxCanContinue = canContinue;
    BoxScreenshot = screenshot;
    BoxReport = report;
  }
  void StoreHtmlReport(const std::string&) override { Log.push_back("html"); }
  bool AutoActionDue(uint32_t seconds) override { return Due.count(seconds) != 0 && Due[seconds]; }
  void CloseApplication() override { Log.push_back("CLOSE"); }
  void RestartApplication() override { Log.push_back("RESTART"); }
  void ResetFreezeMissCount() override { Log.push_back("misses0"); }
};

std::string Joined(const std::vector<std::string>& words) {
  std::string s;
  for (const std::string& w : words) s += (s.empty() ? "" : " ") + w;
  return s;
}

TRequestSettings Windowed() {
  TRequestSettings s;
  s.ShowExceptBox = true;
  s.ConsoleOutput = true;
  s.ConsoleProgram = false;
  s.ScreenShotSetting = 102400;
  return s;
}

TRequestFacts Continuable(const char* className = "EConvertError") { return {false, true, className, true}; }

std::string Process(TFakeSteps& steps, const TRequestSettings& settings, const TRequestFacts& facts) {
  ProcessRequestSteps(steps, settings, facts);
  return Joined(steps.Log);
}

TEST(RequestSteps, ScreenShotModeBySetting) {
  const std::pair<uint32_t, int> cases[] = {{0, -1},      {4, 1},      {51200, 2}, {102400, 3}, {204800, 4},
                                            {307200, 5},  {100000, 0}, {1, 0},     {5, 0},      {51201, 0},
                                            {0xFFFFFFFF, 0}};
  for (const auto& [setting, mode] : cases) EXPECT_EQ(ScreenShotMode(setting), mode) << setting;
}

TEST(RequestSteps, IgnoredClassesAreWholeItemsInAnyCase) {
  const std::string list = " EAbortX ,  econverterror , EMyError";
  EXPECT_TRUE(IsIgnoredExceptionClass(list, "EConvertError"));
  EXPECT_TRUE(IsIgnoredExceptionClass(list, "emyerror"));
  EXPECT_TRUE(IsIgnoredExceptionClass(list, "EAbortX"));
  EXPECT_FALSE(IsIgnoredExceptionClass(list, "EConvert"));   // part of an item
  EXPECT_FALSE(IsIgnoredExceptionClass(list, "Error"));
  EXPECT_FALSE(IsIgnoredExceptionClass(list, "EAbort"));
  EXPECT_FALSE(IsIgnoredExceptionClass(list, ""));
  EXPECT_FALSE(IsIgnoredExceptionClass("", "EConvertError"));
  EXPECT_TRUE(IsIgnoredExceptionClass("EConvertError", "EConvertError"));
}

TEST(RequestSteps, FullRequestInOrder) {
  TFakeSteps steps;
  TRequestSettings s = Windowed();
  s.AutoSaveBugReport = s.AutoMailBugReport = true;
  EXPECT_EQ(Process(steps, s, Continuable()),
            "pause history phase0 capture3 compose+progress phase1 phase2 action1 save action0 mail box misses0 resume");
  EXPECT_TRUE(steps.BoxCanContinue);
  EXPECT_EQ(steps.BoxReport, "REPORT");
  EXPECT_EQ(steps.BoxScreenshot, "PNG");
}

TEST(RequestSteps, ActionHandlersTakeSaveAndMailOver) {
  TFakeSteps steps;
  steps.Handler = [](uint8_t kind, uint8_t, uint32_t action, bool& handled, bool&) {
    if (kind == kActionHandlers && action == kActionSave) handled = true;
  };
  TRequestSettings s = Windowed();
  s.AutoSaveBugReport = s.AutoMailBugReport = true;
  // The save is handled, the mail is not: one handler's answer does not carry over.
  EXPECT_NE(Process(steps, s, Continuable()).find("action1 action0 mail box"), std::string::npos) << Joined(steps.Log);
}

TEST(RequestSteps, PauseOnlyForReportsOfTheExecutableThatAskForIt) {
  struct Case {
    bool frozen, inExecutable, pauseRunning, paused;
  };
  const Case cases[] = {{false, true, true, true},
                        {true, true, true, false},  // a freeze never pauses
                        {false, false, true, false},
                        {false, true, false, false}};
  for (const Case& c : cases) {
    TFakeSteps steps;
    TRequestSettings s = Windowed();
    s.ReporterInExecutable = c.inExecutable;
    s.PauseRunningThreads = c.pauseRunning;
    TRequestFacts f = Continuable();
    f.Frozen = c.frozen;
    if (c.frozen) f.HasObject = false;
    const std::string log = Process(steps, s, f);
    EXPECT_EQ(log.rfind("pause history", 0) == 0, c.paused) << log;
    EXPECT_EQ(log.size() >= 7 && log.substr(log.size() - 7) == " resume", c.paused) << log;
    EXPECT_NE(log.find("history"), std::string::npos) << log;  // every request enters the history
  }
}

TEST(RequestSteps, IgnoredClassShowsTheBoxWithoutReportAndScreenshot) {
  TFakeSteps steps;
  TRequestSettings s = Windowed();
  s.IgnoredExceptionClasses = "EFoo , econverterror";
  EXPECT_EQ(Process(steps, s, Continuable("EConvertError")), "pause history phase0 phase1 phase2 box misses0 resume");
  EXPECT_EQ(steps.BoxReport, "");
  EXPECT_EQ(steps.BoxScreenshot, "");

  TFakeSteps other;
  EXPECT_NE(Process(other, s, Continuable("EConvert")).find("capture3 compose"), std::string::npos);
  // A freeze has no object: it is never ignored.
  TFakeSteps frozen;
  EXPECT_NE(Process(frozen, s, {true, false, "", true}).find("compose"), std::string::npos);
}

TEST(RequestSteps, ScreenshotOnlyWithSettingAndRoutine) {
  struct Case {
    uint32_t setting;
    bool routine;
    const char* expected;
  };
  const Case cases[] = {{100000, true, "history phase0 capture0 compose+progress"},
                        {4, true, "history phase0 capture1 compose+progress"},
                        {0, true, "history phase0 compose+progress"},
                        {102400, false, "history phase0 compose+progress"}};
  for (const Case& c : cases) {
    TFakeSteps steps;
    steps.Capture = c.routine;
    TRequestSettings s = Windowed();
    s.ScreenShotSetting = c.setting;
    s.PauseRunningThreads = false;
    EXPECT_EQ(Process(steps, s, Continuable()).rfind(c.expected, 0), 0u) << Joined(steps.Log);
    if (std::string(c.expected).find("capture") == std::string::npos) {
      EXPECT_EQ(steps.BoxScreenshot, "");
    }
  }
}

TEST(RequestSteps, AutomaticDecision) {
  using D = TAutoDecision;
  EXPECT_EQ(AutomaticDecision(true, false, false), D::Continue);
  EXPECT_EQ(AutomaticDecision(true, false, true), D::Restart);
  EXPECT_EQ(AutomaticDecision(true, true, true), D::Close);  // close is checked first
  EXPECT_EQ(AutomaticDecision(false, false, false), D::Close);
  EXPECT_EQ(AutomaticDecision(false, false, true), D::Restart);
}

TEST(RequestSteps, WhenTheDecisionRunsAndWhatItTellsTheHandlers) {
  struct Case {
    const char* name;
    bool canContinue, showBox, html, consoleProgram;
    uint32_t closeSeconds, restartSeconds;
    bool closeDue, restartDue;
    const char* tail;  // the log after "misses0" is cut off
  };
  const Case cases[] = {
      {"box decides", true, true, false, false, 0, 0, false, false, "box"},
      {"box decides even with auto close due", true, true, false, false, 1, 0, true, false, "box"},
      {"no box: continue", true, false, false, false, 0, 0, false, false, "phase2 action4"},
      {"no box, close due", true, false, false, false, 1, 0, true, false, "phase2 action6 CLOSE"},
      {"no box, restart due", true, false, false, false, 0, 30, false, true, "phase2 action5 RESTART"},
      {"no box, close before restart", true, false, false, false, 1, 30, true, true, "phase2 action6 CLOSE"},
      {"fatal after the box", false, true, false, false, 0, 0, false, false, "box action6 CLOSE"},
      {"fatal restarts when due", false, true, false, false, 0, 30, false, true, "box action5 RESTART"},
      {"html page", true, true, true, false, 0, 0, false, false, "html action4"},
      {"console program", true, true, false, true, 0, 0, false, false, "box action4"},
  };
  for (const Case& c : cases) {
    TFakeSteps steps;
    if (c.closeSeconds) steps.Due[c.closeSeconds] = c.closeDue;
    if (c.restartSeconds) steps.Due[c.restartSeconds] = c.restartDue;
    TRequestSettings s = Windowed();
    s.ShowExceptBox = c.showBox;
    s.HtmlMode = c.html;
    s.ConsoleProgram = c.consoleProgram;
    s.AutoCloseSeconds = c.closeSeconds;
    s.AutoRestartSeconds = c.restartSeconds;
    TRequestFacts f = Continuable();
    f.CanContinue = c.canContinue;
    std::string log = Process(steps, s, f);
    log = log.substr(0, log.find(" misses0"));
    const std::string tail = c.tail;
    EXPECT_EQ(log.size() >= tail.size() ? log.substr(log.size() - tail.size()) : log, tail) << c.name << ": " << log;
  }
}

TEST(RequestSteps, HandlerPhases) {
  using Fn = std::function<void(uint8_t, uint8_t, uint32_t, bool&, bool&)>;
  struct Case {
    const char* name;
    bool canContinue;
    Fn handler;
    const char* expected;
  };
  const Case cases[] = {
      {"handled in phase 0, continuable: done", true,
       [](uint8_t k, uint8_t p, uint32_t, bool& h, bool&) { h = h || (k == 0 && p == 0); },
       "history phase0 misses0"},
      {"handled in phase 0, fatal: no report, no box, closes", false,
       [](uint8_t k, uint8_t p, uint32_t, bool& h, bool&) { h = h || (k == 0 && p == 0); },
       "history phase0 action6 CLOSE misses0"},
      {"handled in phase 1: no phase 2, no box", true,
       [](uint8_t k, uint8_t p, uint32_t, bool& h, bool&) { h = h || (k == 0 && p == 1); },
       "history phase0 capture3 compose+progress phase1 misses0"},
      {"phase 1 makes it fatal: the box, then close", true,
       [](uint8_t k, uint8_t p, uint32_t, bool&, bool& c) { c = c && !(k == 0 && p == 1); },
       "history phase0 capture3 compose+progress phase1 phase2 box action6 CLOSE misses0"},
      {"a fatal request stays fatal", false,
       [](uint8_t, uint8_t, uint32_t, bool&, bool& c) { c = true; },
       "history phase0 capture3 compose+progress phase1 phase2 box action6 CLOSE misses0"},
  };
  for (const Case& c : cases) {
    TFakeSteps steps;
    steps.Handler = c.handler;
    TRequestSettings s = Windowed();
    s.PauseRunningThreads = false;
    TRequestFacts f = Continuable();
    f.CanContinue = c.canContinue;
    EXPECT_EQ(Process(steps, s, f), c.expected) << c.name;
  }
}

TEST(RequestSteps, AFailingStepEndsProcessingButNotThePause) {
  TFakeSteps steps;
  steps.ThrowInCompose = true;
  EXPECT_EQ(Process(steps, Windowed(), Continuable()), "pause history phase0 capture3 compose+progress resume");
}

}  // namespace
