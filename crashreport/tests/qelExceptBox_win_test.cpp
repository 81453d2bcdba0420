// The exception box as a real window on its own thread, as the exception
// thread runs it: layout, buttons, pictures on the screen, the actions, the
// countdown, the freeze answer and the console output. Close and restart end
// a process: they run in a child program (qelexceptbox_child).
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildRun.h"
#include "qelExceptBox.h"
#include "qelExceptHtml.h"
#include "qelExceptPause.h"
#include "qelExceptSettings.h"

using namespace qel;

namespace {

constexpr char kBoxClass[] = "qelExceptWndClass";
const char* const kKeys[8] = {"mail", "save", "print", "show", "continue", "restart", "close", "cantContinue"};
const std::string kReport = "date/time          : 2026-12-10, 17:00:00\r\nexception message  : bad value\r\n";

// Every setting the box reads or writes, put back after each test. The test
// program is a console program: the box is shown only without console output.
class ExceptBox : public ::testing::Test {
protected:
  void SetUp() override { ConsoleOutput = false; }
  void TearDown() override {
    ExceptMessage = FMessage;
    FrozenMessage = FFrozenMessage;
    for (size_t i = 0; i < FCaptions.size(); ++i) *Captions()[i] = FCaptions[i];
    DefaultButton = FDefault;
    AutoContinue = FAutoContinue;
    AutoDelaySeconds = FDelay;
    CopyBugReportToClipboard = FCopy;
    BugReportVisible = FVisible;
    OwnerDrawnButtons = FOwnerDrawn;
    ConsoleOutput = FConsole;
  }

public:
  static std::array<TShortString<30>*, 7> Captions() {
    return {&MailButtonCaption,     &SaveButtonCaption,    &PrintButtonCaption, &ShowButtonCaption,
            &ContinueButtonCaption, &RestartButtonCaption, &CloseButtonCaption};
  }
  // Captions by a mask of button indexes; the rest empty.
  static void KeepCaptions(unsigned mask) {
    for (size_t i = 0; i < 7; ++i)
      if (!(mask & (1u << i))) Captions()[i]->Assign("");
  }

private:
  TShortString<255> FMessage = ExceptMessage, FFrozenMessage = FrozenMessage;
  std::array<TShortString<30>, 7> FCaptions = {MailButtonCaption,     SaveButtonCaption,    PrintButtonCaption,
                                              ShowButtonCaption,     ContinueButtonCaption, RestartButtonCaption,
                                              CloseButtonCaption};
  uint32_t FDefault = DefaultButton, FDelay = AutoDelaySeconds;
  bool FAutoContinue = AutoContinue, FCopy = CopyBugReportToClipboard, FVisible = BugReportVisible,
       FOwnerDrawn = OwnerDrawnButtons, FConsole = ConsoleOutput;
};

struct TBoxSearch {
  DWORD pid;
  HWND found;
};
BOOL CALLBACK MatchBox(HWND wnd, LPARAM p) {
  auto* s = reinterpret_cast<TBoxSearch*>(p);
  char name[64] = {};
  GetClassNameA(wnd, name, sizeof name);
  DWORD pid = 0;
  GetWindowThreadProcessId(wnd, &pid);
  if (pid != s->pid || std::strcmp(name, kBoxClass) != 0 || !IsWindowVisible(wnd)) return TRUE;
  s->found = wnd;
  return FALSE;
}

HWND FindBoxOf(DWORD processId) {
  TBoxSearch search{processId, nullptr};
  EnumWindows(&MatchBox, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForBox(DWORD processId, DWORD timeoutMs) {
  for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
    if (HWND box = FindBoxOf(processId)) return box;
    Sleep(20);
  }
  return nullptr;
}

// ShowExceptionBox on a thread of its own, as the exception thread calls it.
class TBoxRun {
public:
  explicit TBoxRun(bool canContinue = true, bool frozen = false, const TExceptionObject* object = nullptr)
      : FThread([=, this] {
          ShowExceptionBox(frozen, object, 0x401000, canContinue, "", kReport);
          MSG msg;
          FQuitAfter = PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
          FDone = true;
        }) {
    FStart = GetTickCount();
    FBox = WaitForBox(GetCurrentProcessId(), 20000);
  }
  ~TBoxRun() {
    if (!FDone && FBox != nullptr) PostMessageA(FBox, WM_NULL, 777, 777);
    FThread.join();
  }
  TBoxRun(const TBoxRun&) = delete;
  TBoxRun& operator=(const TBoxRun&) = delete;

  HWND Box() const { return FBox; }
  bool Done() const { return FDone; }
  bool QuitSeenAfter() const { return FQuitAfter; }
  DWORD Started() const { return FStart; }
  bool WaitDone(DWORD timeoutMs) const {
    for (DWORD waited = 0; waited < timeoutMs && !FDone; waited += 10) Sleep(10);
    return FDone;
  }

private:
  std::atomic<bool> FDone{false};
  std::atomic<bool> FQuitAfter{false};
  std::thread FThread;
  HWND FBox = nullptr;
  DWORD FStart = 0;
};

struct TChild {
  std::string cls;
  LONG_PTR index;
  RECT rect;  // in the box's client area (the report window: in its frame's)
  HWND wnd;
  std::string text;
};

RECT RectIn(HWND wnd, HWND parent) {
  RECT r;
  GetWindowRect(wnd, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

BOOL CALLBACK CollectWindow(HWND w, LPARAM p) {
  reinterpret_cast<std::vector<HWND>*>(p)->push_back(w);
  return TRUE;
}

std::vector<TChild> Children(HWND box) {
  std::vector<HWND> all;
  EnumChildWindows(box, &CollectWindow, reinterpret_cast<LPARAM>(&all));
  std::vector<TChild> children;
  for (HWND w : all) {
    char cls[32] = {};
    GetClassNameA(w, cls, sizeof cls);
    std::string text(GetWindowTextLengthA(w) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowTextA(w, text.data(), static_cast<int>(text.size()))));
    children.push_back({cls, GetWindowLongPtrA(w, GWLP_USERDATA), RectIn(w, GetParent(w)), w, text});
  }
  return children;
}

const TChild* ButtonOf(const std::vector<TChild>& children, LONG_PTR index) {
  for (const TChild& c : children)
    if (c.cls == "Button" && c.index == index && GetWindowTextLengthA(c.wnd) > 0) return &c;
  return nullptr;
}

// The window of the button with that index in the box, nullptr when none.
HWND ButtonWindow(HWND box, LONG_PTR index) {
  const std::vector<TChild> children = Children(box);
  const TChild* button = ButtonOf(children, index);
  return button != nullptr ? button->wnd : nullptr;
}

std::string Str(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + "x" +
         std::to_string(r.bottom - r.top);
}

// Where the box must put everything, worked out from the captions and the
// message measured in the box's font.
struct TExpectedLayout {
  std::array<RECT, 7> buttons{};  // empty: no button
  RECT message{};
  bool reportArea = false;
  int b = 0, v = 0, width = 0, height = 0, fullHeight = 0, left = 0, top = 0;
};

TExpectedLayout ExpectLayout(const std::string& message) {
  HDC dc = CreateCompatibleDC(nullptr);
  HFONT font = CreateFontA(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           DEFAULT_QUALITY, DEFAULT_PITCH, "MS Sans Serif");
  HGDIOBJ old = SelectObject(dc, font);
  int wd[7] = {};
  for (int i = 0; i < 7; ++i) {
    const std::string caption = ExceptBox::Captions()[static_cast<size_t>(i)]->Str();
    SIZE s{};
    GetTextExtentPoint32A(dc, caption.c_str(), static_cast<int>(caption.size()), &s);
    wd[i] = caption.empty() ? 0 : s.cx + 39;
  }
  const int m = std::max({wd[4], wd[5], wd[6]});
  int j = (wd[4] > 0) + (wd[5] > 0) + (wd[6] > 0);
  const bool reportButtons = wd[0] || wd[1] || wd[2] || wd[3];
  const bool columns = j >= 2 && reportButtons;
  if (j == 1) j = 2;
  const int k = columns ? wd[0] + wd[1] + wd[2] + wd[3] + m + 14 : wd[0] + wd[1] + wd[2] + wd[3] + wd[4] + wd[5] + wd[6] + 14;
  const int r = (columns ? m + 40 : 26) + 40;  // the big icon is linked in
  RECT text{0, 0, k > 537 ? k - r : 538 - r, 0};
  DrawTextA(dc, message.c_str(), -1, &text, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old);
  DeleteObject(font);
  DeleteDC(dc);

  TExpectedLayout e;
  const int mh = text.bottom;
  e.width = std::max<int>(k, text.right + r);
  if (BugReportVisible) e.width = std::max(e.width, 538);
  int t = mh < 26 ? 31 : mh + 5;
  if (j == 3) {
    if (columns)
      t = std::max(t - 26, 7);
    else
      j = 2;
  }
  int x = 6;
  for (int i = 0; i < 4; ++i)
    if (wd[i]) {
      e.buttons[static_cast<size_t>(i)] = RECT{x, t + 26 * (j - 1), x + wd[i] - 4, t + 26 * (j - 1) + 22};
      x += wd[i];
    }
  if (columns) {
    const int rows[3] = {0, wd[4] ? 1 : 0, j - 1};
    for (int i = 4; i < 7; ++i)
      if (wd[i]) e.buttons[static_cast<size_t>(i)] = RECT{e.width - m - 8, t + 26 * rows[i - 4], e.width - 12, t + 26 * rows[i - 4] + 22};
  } else {
    x = e.width - (wd[4] + wd[5] + wd[6]) - 8;
    for (int i = 4; i < 7; ++i)
      if (wd[i]) {
        e.buttons[static_cast<size_t>(i)] = RECT{x, t + 26, x + wd[i] - 4, t + 48};
        x += wd[i];
      }
  }
  const int my = mh < 26 ? 12 + (26 - mh) / 2 : 12;
  e.message = RECT{51, my, 51 + text.right, my + mh};
  e.reportArea = BugReportVisible || reportButtons;
  e.b = t + 26 * j + 8;
  e.v = std::max(e.width, 538);
  const int c = e.b + GetSystemMetrics(SM_CYCAPTION);
  e.fullHeight = c + 403;
  e.height = BugReportVisible ? e.fullHeight : c;
  e.left = (GetSystemMetrics(SM_CXSCREEN) - e.v) / 2;
  e.top = (GetSystemMetrics(SM_CYSCREEN) - e.fullHeight) / 2;
  return e;
}

void ExpectBoxAsLaidOut(HWND box, const TExpectedLayout& e) {
  RECT wr;
  GetWindowRect(box, &wr);
  EXPECT_EQ(Str(wr), Str(RECT{e.left, e.top, e.left + e.width, e.top + e.height})) << "box";
  const std::vector<TChild> children = Children(box);
  int buttons = 0, statics = 0, edits = 0;
  for (const TChild& c : children) {
    buttons += c.cls == "Button";
    statics += c.cls == "Static";
    edits += c.cls == "Edit";
  }
  int expectedButtons = 1;  // the big icon's
  for (size_t i = 0; i < 7; ++i) {
    if (e.buttons[i].right == 0) continue;
    ++expectedButtons;
    const TChild* b = ButtonOf(children, static_cast<LONG_PTR>(i));
    ASSERT_NE(b, nullptr) << kKeys[i];
    EXPECT_EQ(Str(b->rect), Str(e.buttons[i])) << kKeys[i];
    EXPECT_EQ(b->text, ExceptBox::Captions()[i]->Str());
  }
  EXPECT_EQ(buttons, expectedButtons);
  EXPECT_EQ(statics, e.reportArea ? 3 : 1);
  EXPECT_EQ(edits, e.reportArea ? 1 : 0);
  for (const TChild& c : children) {
    if (c.cls == "Button" && c.text.empty()) {
      EXPECT_EQ(Str(c.rect), Str(RECT{9, 10, 41, 42})) << "big icon";
      EXPECT_FALSE(IsWindowEnabled(c.wnd));
    } else if (c.cls == "Static" && !c.text.empty()) {
      EXPECT_EQ(Str(c.rect), Str(e.message)) << "message";
    } else if (c.cls == "Static") {
      const auto style = GetWindowLongA(c.wnd, GWL_STYLE) & SS_TYPEMASK;
      const RECT frame = style == SS_GRAYFRAME ? RECT{6, e.b - 3, 6 + e.v - 17, e.b + 392}
                                               : RECT{5, e.b - 4, 5 + e.v - 17, e.b + 391};
      EXPECT_TRUE(style == SS_GRAYFRAME || style == SS_WHITEFRAME) << style;
      EXPECT_EQ(Str(c.rect), Str(frame)) << "frame " << style;
    } else if (c.cls == "Edit") {
      EXPECT_EQ(Str(c.rect), Str(RECT{7, 6, 7 + e.v - 30, 6 + 383})) << "report";
      EXPECT_EQ(c.text, kReport);
      EXPECT_TRUE(GetWindowLongA(c.wnd, GWL_STYLE) & ES_READONLY);
    }
  }
}

std::string ClipboardText() {
  std::string text = "<none>";
  for (int i = 0; i < 50 && !OpenClipboard(nullptr); ++i) Sleep(20);
  if (HANDLE data = GetClipboardData(CF_TEXT)) {
    if (const char* p = static_cast<const char*>(GlobalLock(data))) {
      text = p;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

// What the box told the action handlers (on the box's thread): the codes in
// order, and whether each call carried the box's report and address.
std::mutex GActionLock;
std::vector<uint32_t> GActionCodes;
bool GActionValues = true;
uint32_t GHandleAction = 0xFF;  // marked handled
void RecordAction(THandlerCall& call) {
  const std::lock_guard<std::mutex> lock(GActionLock);
  GActionCodes.push_back(call.Action);
  GActionValues &= call.Report == kReport && call.ExceptAddr == 0x401000u && call.ThreadId == 0 && call.Phase == 1;
  if (call.Action == GHandleAction) call.Handled = true;
}
struct TActionLog {
  TActionLog() {
    GActionCodes.clear();
    GActionValues = true;
    GHandleAction = 0xFF;
    AddExceptHandler(hkAction, &RecordAction, false, 1);
  }
  ~TActionLog() { RemoveExceptHandler(hkAction, &RecordAction); }
  std::vector<uint32_t> Codes() const {
    const std::lock_guard<std::mutex> lock(GActionLock);
    EXPECT_TRUE(GActionValues);
    return GActionCodes;
  }
};

// A click as the box gets it: the button's BN_CLICKED notification, posted
// (a BM_CLICK from another thread loses its press when the capture moves).
void Click(HWND box, HWND button) {
  ASSERT_NE(button, nullptr);
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(0, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
  for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
    if (condition()) return true;
    Sleep(20);
  }
  return condition();
}

}  // namespace

TEST_F(ExceptBox, ColumnAndRowLayouts) {
  struct Case {
    const char* name;
    unsigned captions;  // bit i: button index i has its caption
  };
  const Case cases[] = {
      {"all seven: columns", 0x7F},
      {"mail, save, continue: one row", 0x13},
      {"continue, restart, close alone: one row", 0x70},
      {"show and close: one row", 0x48},
      {"no buttons: the message only", 0},
  };
  const std::array<TShortString<30>, 7> all = {MailButtonCaption,     SaveButtonCaption,    PrintButtonCaption,
                                              ShowButtonCaption,     ContinueButtonCaption, RestartButtonCaption,
                                              CloseButtonCaption};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (size_t i = 0; i < 7; ++i) *Captions()[i] = all[i];
    KeepCaptions(c.captions);
    const TExpectedLayout expected = ExpectLayout(ExceptMessage.Str());
    TBoxRun run;
    ASSERT_NE(run.Box(), nullptr);
    char title[64] = {};
    GetWindowTextA(run.Box(), title, sizeof title);
    EXPECT_EQ(std::string(title), "qelexceptbox_test");  // "%appname%": no path, no extension
    const LONG ex = GetWindowLongA(run.Box(), GWL_EXSTYLE);
    EXPECT_TRUE((ex & WS_EX_TOPMOST) && (ex & WS_EX_DLGMODALFRAME));
    ExpectBoxAsLaidOut(run.Box(), expected);
  }
}

TEST_F(ExceptBox, ContinueDisabledOnlyWhenAnotherWayOut) {
  {
    TBoxRun run(false);
    ASSERT_NE(run.Box(), nullptr);
    const std::vector<TChild> children = Children(run.Box());
    EXPECT_EQ(ButtonOf(children, 4), nullptr);
    const TChild* cont = ButtonOf(children, 7);
    ASSERT_NE(cont, nullptr);
    EXPECT_FALSE(IsWindowEnabled(cont->wnd));
    EXPECT_EQ(cont->text, "continue application");
  }
  KeepCaptions(0x1F);  // continue without restart and close: it stays, enabled
  TBoxRun run(false);
  ASSERT_NE(run.Box(), nullptr);
  HWND cont = ButtonWindow(run.Box(), 4);
  ASSERT_NE(cont, nullptr);
  EXPECT_TRUE(IsWindowEnabled(cont));
}

TEST_F(ExceptBox, ReportVisibleFromTheStart) {
  BugReportVisible = true;
  CopyReportToClipboard("before");
  TBoxRun run;
  ASSERT_NE(run.Box(), nullptr);
  EXPECT_EQ(ShowButtonCaption.Str(), "") << "stays for later reports";
  const TExpectedLayout expected = ExpectLayout(ExceptMessage.Str());
  ExpectBoxAsLaidOut(run.Box(), expected);
  EXPECT_EQ(expected.height, expected.fullHeight);
  EXPECT_EQ(ButtonWindow(run.Box(), 3), nullptr);
  EXPECT_EQ(ClipboardText(), kReport);
}

TEST_F(ExceptBox, ShowGrowsTheBoxAndCopiesTheReport) {
  KeepCaptions(0x48);  // show and close: narrower than the report
  const TExpectedLayout e = ExpectLayout(ExceptMessage.Str());
  ASSERT_LT(e.width, 538);
  TActionLog log;
  TBoxRun run;
  ASSERT_NE(run.Box(), nullptr);
  CopyReportToClipboard("before");
  HWND show = ButtonWindow(run.Box(), 3);
  ASSERT_NE(show, nullptr);
  HWND close = ButtonWindow(run.Box(), 6);
  Click(run.Box(), show);
  ASSERT_TRUE(WaitUntil([&] { return ButtonWindow(run.Box(), 3) == nullptr; }, 5000));
  RECT wr;
  GetWindowRect(run.Box(), &wr);
  EXPECT_EQ(Str(wr), Str(RECT{e.left, e.top, e.left + 538, e.top + e.fullHeight}));
  const RECT moved = RectIn(close, run.Box());
  EXPECT_EQ(moved.left, e.buttons[6].left + 538 - e.width);
  EXPECT_EQ(moved.top, e.buttons[6].top);
  EXPECT_EQ(ClipboardText(), kReport);
  EXPECT_EQ(log.Codes(), std::vector<uint32_t>{3});
  EXPECT_FALSE(run.Done());
}

TEST_F(ExceptBox, ContinueByButtonByEscapeAndByCountdown) {
  {
    TActionLog log;
    TBoxRun run;
    ASSERT_NE(run.Box(), nullptr);
    Click(run.Box(), ButtonWindow(run.Box(), 4));
    EXPECT_TRUE(run.WaitDone(5000));
    EXPECT_FALSE(IsWindow(run.Box()));
    EXPECT_EQ(log.Codes(), std::vector<uint32_t>{4});
  }
  {
    // Esc becomes WM_CLOSE; without a default action that continues.
    TBoxRun run;
    ASSERT_NE(run.Box(), nullptr);
    PostMessageA(ButtonWindow(run.Box(), 0), WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(run.WaitDone(5000));
  }
  {
    // Enter presses the focused button (the default one, here continue).
    DefaultButton = 4;
    TActionLog log;
    TBoxRun run;
    ASSERT_NE(run.Box(), nullptr);
    PostMessageA(ButtonWindow(run.Box(), 4), WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_TRUE(run.WaitDone(5000));
    EXPECT_EQ(log.Codes(), std::vector<uint32_t>{4});
    DefaultButton = 0;
  }
  // The countdown presses the default button that AutoContinue makes.
  AutoContinue = true;
  AutoDelaySeconds = 1;
  TActionLog log;
  TBoxRun run;
  ASSERT_NE(run.Box(), nullptr);
  EXPECT_EQ(DefaultButton, 4u);
  EXPECT_TRUE(run.WaitDone(20000));
  EXPECT_GE(GetTickCount() - run.Started(), 1000u);
  EXPECT_EQ(log.Codes(), std::vector<uint32_t>{4});
}

TEST_F(ExceptBox, NoCountdownWithoutDelay) {
  AutoContinue = true;
  AutoDelaySeconds = 0;
  TBoxRun run;
  ASSERT_NE(run.Box(), nullptr);
  Sleep(1500);
  EXPECT_FALSE(run.Done());
}

TEST_F(ExceptBox, HandledCloseKeepsTheBox) {
  TActionLog log;
  GHandleAction = 6;
  TBoxRun run;
  ASSERT_NE(run.Box(), nullptr);
  Click(run.Box(), ButtonWindow(run.Box(), 6));
  // The handler runs on the box's thread: wait for it, then give a closing box time to go.
  EXPECT_TRUE(WaitUntil([&] { return !log.Codes().empty(); }, 10000));
  Sleep(300);
  EXPECT_FALSE(run.Done());
  EXPECT_TRUE(IsWindow(run.Box()));
  EXPECT_EQ(log.Codes(), std::vector<uint32_t>{6});
}

TEST_F(ExceptBox, EscapeWithoutButtonsFollowsTheDefaultButton) {
  KeepCaptions(0);
  {
    TBoxRun run;
    ASSERT_NE(run.Box(), nullptr);
    PostMessageA(run.Box(), WM_KEYDOWN, VK_ESCAPE, 0);
    Sleep(500);
    EXPECT_FALSE(run.Done()) << "nothing to do";
  }
  DefaultButton = 4;
  TBoxRun run;
  ASSERT_NE(run.Box(), nullptr);
  PostMessageA(run.Box(), WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_TRUE(run.WaitDone(5000));
}

TEST_F(ExceptBox, SaveToAFixedFileRemovesTheSaveButton) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string file = std::string(temp) + "qelexceptbox_save_" + std::to_string(GetCurrentProcessId()) + ".txt";
  DeleteFileA(file.c_str());
  const TShortString<255> saved = BugReportFile;
  BugReportFile.Assign(file);
  {
    TActionLog log;
    TBoxRun run;
    ASSERT_NE(run.Box(), nullptr);
    Click(run.Box(), ButtonWindow(run.Box(), 1));
    EXPECT_TRUE(WaitUntil([&] { return ButtonWindow(run.Box(), 1) == nullptr; }, 10000));
    EXPECT_EQ(log.Codes(), std::vector<uint32_t>{1});
  }
  BugReportFile = saved;
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), kReport + "\r\n\r\n");
  in.close();
  DeleteFileA(file.c_str());
}

TEST_F(ExceptBox, MessageAndTheFreezeAnswer) {
  ExceptMessage.Assign("Error: %exceptMsg%%LF%Bye");
  const TExceptionObject object{{"EConvertError", "Exception"}, "Tom & Jerry"};
  {
    TBoxRun run(true, false, &object);
    ASSERT_NE(run.Box(), nullptr);
    bool found = false;
    for (const TChild& c : Children(run.Box()))
      found |= c.cls == "Static" && c.text == "Error: Tom & Jerry.\r\nBye" && (GetWindowLongA(c.wnd, GWL_STYLE) & SS_NOPREFIX);
    EXPECT_TRUE(found) << "shown as it reads";
  }
  TBoxRun run(true, true);
  ASSERT_NE(run.Box(), nullptr);
  bool frozenText = false;
  for (const TChild& c : Children(run.Box())) frozenText |= c.cls == "Static" && c.text == FrozenMessage.Str();
  EXPECT_TRUE(frozenText);
  PostMessageA(run.Box(), WM_NULL, 777, 1);
  PostMessageA(run.Box(), WM_NULL, 0, 0);
  Sleep(300);
  EXPECT_FALSE(run.Done());
  PostMessageA(run.Box(), WM_NULL, 777, 777);
  EXPECT_TRUE(run.WaitDone(5000));
  EXPECT_FALSE(IsWindow(run.Box()));
}

TEST_F(ExceptBox, QuitEndsTheLoopAndStaysForTheThread) {
  TBoxRun run;
  ASSERT_NE(run.Box(), nullptr);
  PostThreadMessageA(GetWindowThreadProcessId(run.Box(), nullptr), WM_QUIT, 3, 0);
  EXPECT_TRUE(run.WaitDone(5000));
  EXPECT_FALSE(IsWindow(run.Box()));
  EXPECT_TRUE(run.QuitSeenAfter());
}

TEST_F(ExceptBox, ClipboardCopy) {
  CopyReportToClipboard("one\r\ntwo");
  EXPECT_EQ(ClipboardText(), "one\r\ntwo");
  // Held open by a window of another thread: nothing happens, nothing hangs.
  HWND holder = CreateWindowExA(0, "Static", "", 0, 0, 0, 1, 1, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_TRUE(OpenClipboard(holder));
  std::thread([] { CopyReportToClipboard("three"); }).join();
  CloseClipboard();
  DestroyWindow(holder);
  EXPECT_EQ(ClipboardText(), "one\r\ntwo");
}

TEST_F(ExceptBox, ShiftColorDirection) {
  struct Case {
    COLORREF colour, amount, expected;
  };
  const Case cases[] = {
      {RGB(0xD4, 0xD0, 0xC8), 0x101010, RGB(0xE4, 0xE0, 0xD8)},
      {RGB(0xF8, 0xF8, 0x10), 0x101010, RGB(0xE8, 0xE8, 0x00)},  // two channels would pass 255: down
      {RGB(0xF8, 0x10, 0x10), 0x101010, RGB(0xFF, 0x20, 0x20)},  // one would: up, clamped
      {RGB(0x04, 0xFF, 0xFF), 0x080808, RGB(0x00, 0xF7, 0xF7)},
  };
  for (const Case& c : cases) EXPECT_EQ(ShiftColor(c.colour, c.amount), c.expected) << std::hex << c.colour;
}

namespace {

// The screen's pixels of a window, top row first, as 0x00RRGGBB; saved as a
// BMP file when a path is given.
struct TShot {
  RECT r;
  std::vector<uint32_t> px;
  COLORREF At(int x, int y) const {
    const uint32_t p = px[static_cast<size_t>(y - r.top) * static_cast<size_t>(r.right - r.left) + static_cast<size_t>(x - r.left)];
    return RGB(p >> 16 & 0xFF, p >> 8 & 0xFF, p & 0xFF);
  }
};

TShot Capture(const RECT& r, const std::string& bmpPath) {
  TShot shot{r, {}};
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof info.bmiHeader, w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(mem, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  const auto* p = static_cast<const uint32_t*>(bits);
  shot.px.assign(p, p + static_cast<size_t>(w) * static_cast<size_t>(h));
  for (uint32_t& q : shot.px) q &= 0xFFFFFFu;
  if (!bmpPath.empty()) {
    BITMAPFILEHEADER file{0x4D42, 0, 0, 0, sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    file.bfSize = file.bfOffBits + static_cast<DWORD>(w * h * 4);
    std::ofstream out(bmpPath, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    std::vector<uint32_t> opaque = shot.px;  // the fourth byte is no alpha: opaque for viewers
    for (uint32_t& q : opaque) q |= 0xFF000000u;
    out.write(reinterpret_cast<const char*>(opaque.data()), static_cast<std::streamsize>(opaque.size() * 4));
  }
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return shot;
}

// The button picture as the box must blend it: ((256 - c) x back + c x pixel) / 256, c = alpha + 1.
COLORREF BlendedPicturePixel(const uint8_t* resource, int x, int y, COLORREF back) {
  const uint8_t* p = resource + 40 + (static_cast<size_t>(15 - y) * 16 + static_cast<size_t>(x)) * 4;  // bottom-up
  const int c = p[3] + 1;
  const auto ch = [&](int pixel, int b) { return static_cast<BYTE>(((256 - c) * b + c * pixel) / 256); };
  return RGB(ch(p[2], GetRValue(back)), ch(p[1], GetGValue(back)), ch(p[0], GetBValue(back)));
}

const uint8_t* PictureResource(const char* key, DWORD* size) {
  HMODULE self = GetModuleHandleA(nullptr);
  HRSRC res = FindResourceA(self, (std::string("qei") + key).c_str(), MAKEINTRESOURCEA(2));
  if (res == nullptr) return nullptr;
  *size = SizeofResource(self, res);
  return static_cast<const uint8_t*>(LockResource(LoadResource(self, res)));
}

int CountColour(const TShot& shot, const RECT& area, COLORREF colour) {
  int n = 0;
  for (int y = area.top; y < area.bottom; ++y)
    for (int x = area.left; x < area.right; ++x) n += shot.At(x, y) == colour;
  return n;
}

}  // namespace

TEST_F(ExceptBox, OwnerDrawnButtonsOnTheScreen) {
  for (const char* key : kKeys) {
    DWORD size = 0;
    EXPECT_NE(PictureResource(key, &size), nullptr) << key;
    EXPECT_EQ(size, 1064u) << key;
  }
  ASSERT_NE(LoadIconA(GetModuleHandleA(nullptr), "qeiBigIcon"), nullptr);

  TBoxRun run(false);  // continue disabled: the "cantContinue" picture
  ASSERT_NE(run.Box(), nullptr);
  Sleep(1500);  // focus fade and painting settle
  RECT wr;
  GetWindowRect(run.Box(), &wr);
  CreateDirectoryA(ZIVO_ARTIFACTS, nullptr);
  const TShot shot = Capture(wr, std::string(ZIVO_ARTIFACTS) + "\\qelexceptbox.bmp");

  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  const COLORREF dark = GetSysColor(COLOR_3DDKSHADOW);
  struct Look {
    LONG_PTR index;
    COLORREF back;
    COLORREF text;
  };
  // The mail button is the default (DefaultButton 0) and has the focus.
  const Look looks[] = {
      {0, dark, RGB(255, 255, 255)},
      {5, ShiftColor(face, 0x101010), RGB(0, 0, 0)},
      {7, ShiftColor(face, 0x080808), dark},
  };
  const std::vector<TChild> children = Children(run.Box());
  for (const Look& look : looks) {
    SCOPED_TRACE(kKeys[look.index]);
    const TChild* b = ButtonOf(children, look.index);
    ASSERT_NE(b, nullptr);
    RECT br;
    GetWindowRect(b->wnd, &br);
    DWORD size = 0;
    const uint8_t* picture = PictureResource(kKeys[look.index], &size);
    ASSERT_NE(picture, nullptr);
    int wrong = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x)
        wrong += shot.At(br.left + 3 + x, br.top + 3 + y) != BlendedPicturePixel(picture, x, y, look.back);
    EXPECT_EQ(wrong, 0) << "picture at 3,3";
    EXPECT_EQ(shot.At(br.right - 2, br.top + 1), look.back);
    EXPECT_EQ(shot.At(br.left + 1, br.bottom - 2), look.back);
    // The caption right of the picture, centred in the rest.
    EXPECT_GT(CountColour(shot, RECT{br.left + 22, br.top + 4, br.right - 4, br.bottom - 3}, look.text), 20);
    EXPECT_EQ(CountColour(shot, RECT{br.left + 22, br.top, br.right, br.bottom}, face), 0) << "no plain face left";
  }
  // The big icon at 0, 0 of its button: red ring, red inside, the white mark.
  for (const TChild& c : children) {
    if (c.cls != "Button" || !c.text.empty()) continue;
    RECT ir;
    GetWindowRect(c.wnd, &ir);
    EXPECT_EQ(shot.At(ir.left + 8, ir.top + 16), RGB(215, 45, 40));
    EXPECT_EQ(shot.At(ir.left + 16, ir.top + 12), RGB(255, 255, 255));
  }
}

TEST_F(ExceptBox, CountdownLineCrossesTheButton) {
  AutoContinue = true;
  AutoDelaySeconds = 8;
  TBoxRun run;
  ASSERT_NE(run.Box(), nullptr);
  HWND cont = ButtonWindow(run.Box(), 4);
  ASSERT_NE(cont, nullptr);
  RECT br;
  GetWindowRect(cont, &br);
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  const COLORREF dark = GetSysColor(COLOR_3DDKSHADOW);
  // The columns in the face colour above and below the caption (which is
  // drawn over the line): the line's centre.
  const auto lineIn = [&](const TShot& shot) {
    std::vector<int> columns;
    for (int x = br.left; x < br.right; ++x) {
      bool full = true;
      for (const int y : {0, 1, 2, 19, 20, 21}) full = full && shot.At(x, br.top + y) == face;
      if (full) columns.push_back(x - br.left);
    }
    return columns;
  };
  Sleep(2000);
  const std::vector<int> early = lineIn(Capture(br, ""));
  Sleep(2000);
  const std::vector<int> later = lineIn(Capture(br, ""));
  const int width = br.right - br.left;
  ASSERT_EQ(early.size(), 1u);
  ASSERT_EQ(later.size(), 1u);
  EXPECT_GT(early[0], width / 8);
  EXPECT_GT(later[0], early[0]) << "the line moves on";
  EXPECT_LT(later[0], width * 7 / 8);
  // Its edges fade into the focused look's background; line and edges
  // come from one capture, since the line keeps moving.
  const TShot shot = Capture(br, "");
  const std::vector<int> now = lineIn(shot);
  ASSERT_EQ(now.size(), 1u);
  const int x = br.left + now[0];
  const COLORREF edge = RGB((GetRValue(face) + 3 * GetRValue(dark)) / 4, (GetGValue(face) + 3 * GetGValue(dark)) / 4,
                            (GetBValue(face) + 3 * GetBValue(dark)) / 4);
  EXPECT_EQ(shot.At(x + 3, br.top + 1), edge);
  EXPECT_EQ(shot.At(x - 3, br.top + 1), edge);
  EXPECT_EQ(shot.At(x + 4, br.top + 1), dark);
  EXPECT_FALSE(run.Done());
}

TEST_F(ExceptBox, PlainButtonsWithoutOwnerDrawing) {
  OwnerDrawnButtons = false;
  AutoContinue = true;
  AutoDelaySeconds = 1;
  TBoxRun run;
  ASSERT_NE(run.Box(), nullptr);
  HWND cont = ButtonWindow(run.Box(), 4);
  ASSERT_NE(cont, nullptr);
  EXPECT_EQ(GetWindowLongA(cont, GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
  Sleep(2500);
  EXPECT_FALSE(run.Done()) << "no countdown";
}

namespace {

std::string ReadAll(HANDLE read) {
  std::string text;
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(read, buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
  return text;
}

std::string ConsoleText(const std::function<void(HANDLE)>& write) {
  HANDLE read = nullptr, out = nullptr;
  CreatePipe(&read, &out, nullptr, 1 << 20);
  write(out);
  CloseHandle(out);
  std::string text = ReadAll(read);
  CloseHandle(read);
  return text;
}

}  // namespace

TEST_F(ExceptBox, ConsoleOutput) {
  ExceptMessage.Assign("Error: %exceptMsg%%LF%Bye");
  const TExceptionObject object{{"EConvertError", "Exception"}, "bad value"};
  EXPECT_EQ(ConsoleText([&](HANDLE h) { WriteConsoleReport(h, false, false, &object, kReport); }),
            "Error: bad value\r\nBye\r\n\r\n" + kReport + "\r\n");
  EXPECT_EQ(ConsoleText([&](HANDLE h) { WriteConsoleReport(h, true, false, &object, kReport); }),
            "Content-Type: text/html\r\n\r\n" + ComposeHtmlPage(kReport) + "\r\n");
  ShowButtonCaption.Assign("");
  EXPECT_EQ(ConsoleText([&](HANDLE h) { WriteConsoleReport(h, false, false, &object, kReport); }),
            "Error: bad value\r\nBye\r\n");
  EXPECT_EQ(ConsoleText([&](HANDLE h) { WriteConsoleReport(h, false, true, nullptr, kReport); }),
            FrozenMessage.Str() + "\r\n");

  // The box itself in this console program: standard output instead of a window.
  ASSERT_TRUE(IsConsoleProgram());
  ConsoleOutput = true;
  BugReportVisible = true;
  HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  const std::string text = ConsoleText([&](HANDLE h) {
    SetStdHandle(STD_OUTPUT_HANDLE, h);
    ShowExceptionBox(false, &object, 0, true, "", kReport);
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
  });
  EXPECT_EQ(text, "Error: bad value\r\nBye\r\n\r\n" + kReport + "\r\n");
  EXPECT_EQ(FindBoxOf(GetCurrentProcessId()), nullptr);
}

namespace {

using test::ProgramBeside;

struct TChildRun {
  DWORD pid = 0;
  DWORD exitCode = STILL_ACTIVE;
};

// Starts the child with a mode, presses the button of the given index in its
// box and waits for its end.
TChildRun PressInChild(const std::string& mode, const std::string& marker, LONG_PTR index) {
  test::ChildProcess child("\"" + ProgramBeside("qelexceptbox_child.exe") + "\" " + mode + " \"" + marker + "\"");
  TChildRun run;
  if (!child.Started()) return run;
  run.pid = child.Pid();
  if (HWND box = WaitForBox(child.Pid(), 60000)) {
    HWND button = ButtonWindow(box, index);
    Click(box, button);
  } else {
    ADD_FAILURE() << "no box in " << mode;
  }
  if (!child.Wait(60000)) {
    child.Terminate(99);
    child.Wait(INFINITE);
  }
  run.exitCode = child.ExitCode();
  return run;
}

std::string TempName(const char* what) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  return std::string(temp) + "qelexceptbox_" + what + "_" + std::to_string(GetCurrentProcessId()) + ".txt";
}

}  // namespace

TEST_F(ExceptBox, CloseAndRestartEndTheProcess) {
  EXPECT_EQ(PressInChild("all", TempName("close"), 6).exitCode, 1u) << "close";
  EXPECT_EQ(PressInChild("continueonly", TempName("cont"), 4).exitCode, 1u) << "continue that cannot continue";

  const std::string marker = TempName("restart");
  DeleteFileA(marker.c_str());
  const TChildRun first = PressInChild("all", marker, 5);
  EXPECT_EQ(first.exitCode, 2u) << "restart";
  // The program started again gets the history through the hand-over block.
  std::string text;
  WaitUntil(
      [&] {
        std::ifstream in(marker);
        std::getline(in, text);
        return !text.empty();
      },
      60000);
  EXPECT_EQ(text, std::to_string(first.pid) + " 12345");
  DeleteFileA(marker.c_str());
}
