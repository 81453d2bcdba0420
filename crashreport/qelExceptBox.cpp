// The exception box, built without the framework: a registered window class,
// child windows made directly and a private message loop on the exception
// thread. Owner-drawn buttons go through one memory DC and one button-sized
// bitmap and reach the screen in one blit.
#include "qelExceptBox.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "qelExceptFreeze.h"
#include "qelExceptHistory.h"
#include "qelExceptHtml.h"
#include "qelExceptPause.h"
#include "qelExceptRequests.h"
#include "qelExceptSettings.h"
#include "qelReportActions.h"
#include "qelStrings.h"
#include "qelTools.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace qel {

namespace {

constexpr char kBoxClassName[] = "qelExceptWndClass";
constexpr UINT_PTR kCountdownTimer = 777;
constexpr WPARAM kFreezeAnswer = 777;  // wParam and lParam of the main thread's WM_NULL answer
constexpr COLORREF kShade = 0x101010;
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr int kButtonHeight = 22;
constexpr int kRowHeight = 26;
constexpr int kReportMinWidth = 538;
constexpr int kReportAreaHeight = 403;
constexpr int kCaptionMax = 29;
constexpr int kPictureSide = 16;
constexpr DWORD kPictureResourceSize = 1064;  // BITMAPINFOHEADER + 16 x 16 x 4
constexpr uint8_t kActionPhase = 1;

// Button indexes, stored in each button's user-data word; they pick the picture.
enum : int { biMail, biSave, biPrint, biShow, biContinue, biRestart, biClose, biCantContinue };
constexpr int kButtonCount = 7;
constexpr std::array<const char*, 8> kPictureKeys = {"mail",    "save",    "print", "show",
                                                     "continue", "restart", "close", "cantContinue"};
const std::array<const TShortString<30>*, kButtonCount> kCaptions = {
    &MailButtonCaption,     &SaveButtonCaption,    &PrintButtonCaption, &ShowButtonCaption,
    &ContinueButtonCaption, &RestartButtonCaption, &CloseButtonCaption};

HINSTANCE ModuleInstance() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

struct TGdiDeleter {
  void operator()(void* object) const { DeleteObject(static_cast<HGDIOBJ>(object)); }
};
using TGdiObject = std::unique_ptr<void, TGdiDeleter>;
struct TDcDeleter {
  void operator()(HDC dc) const { DeleteDC(dc); }
};
using TMemoryDc = std::unique_ptr<HDC__, TDcDeleter>;

// A window's device context for the length of a drawing.
class TWindowDc {
public:
  explicit TWindowDc(HWND window) : FWindow(window), FDc(GetDC(window)) {}
  ~TWindowDc() {
    if (FDc != nullptr) ReleaseDC(FWindow, FDc);
  }
  TWindowDc(const TWindowDc&) = delete;
  TWindowDc& operator=(const TWindowDc&) = delete;
  HDC Get() const { return FDc; }

private:
  HWND FWindow;
  HDC FDc;
};

int Channel(COLORREF c, int shift) { return static_cast<int>((c >> shift) & 0xFF); }
COLORREF FromChannels(int r, int g, int b) {
  return RGB(static_cast<BYTE>(r), static_cast<BYTE>(g), static_cast<BYTE>(b));
}
// Per channel (weightA x a + (total - weightA) x b) / total.
COLORREF Blend(COLORREF a, COLORREF b, int weightA, int total) {
  const auto mix = [&](int shift) { return (weightA * Channel(a, shift) + (total - weightA) * Channel(b, shift)) / total; };
  return FromChannels(mix(0), mix(8), mix(16));
}

void FillSolid(HDC dc, const RECT& r, COLORREF colour) {
  SetBkColor(dc, colour);
  ExtTextOutA(dc, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);
}

int TextWidth(HDC dc, const std::string& text) {
  SIZE size{};
  GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
  return size.cx;
}

RECT ClientRect(HWND window) {
  RECT r{};
  GetClientRect(window, &r);
  return r;
}

bool IsAbsolutePath(const std::string& name) {
  return name.size() > 2 && (name[0] == '\\' || name[1] == ':');
}

class TExceptionBox {
public:
  TExceptionBox(bool frozen, const TExceptionObject* object, uintptr_t address, bool canContinue,
                const std::string& screenshot, const std::string& report);
  ~TExceptionBox();
  TExceptionBox(const TExceptionBox&) = delete;
  TExceptionBox& operator=(const TExceptionBox&) = delete;

  HWND Window() const { return FWindow; }
  HWND ReportWindow() const { return FReportWindow; }

private:
  static LRESULT CALLBACK WindowProcStub(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT ExceptionBoxWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

  HWND CreateBoxButton(int index, int x, int y, int width);
  void DrawBoxButton(COLORREF textColour, COLORREF background, const RECT* rect, int position, HDC target,
                     HWND button, COLORREF shade);
  void DrawPicture(int index, COLORREF background);
  void DrawLook(HWND button, HDC target, bool focused, const RECT* rect, int position);
  void FadeBoxButton(HWND button, HDC target, COLORREF text0, COLORREF back0, COLORREF text1, COLORREF back1,
                     COLORREF startShade, COLORREF endShade);
  void FadeLook(HWND button, HDC target, bool toFocused);
  bool HighColour() const { return GetDeviceCaps(FMemoryDc.get(), BITSPIXEL) >= 15; }
  uint32_t CountdownPosition(uint32_t width) const;
  void StopCountdown();

  int ButtonIndexOf(HWND control) const;
  void PressButton(int index);
  void RunAction(TExceptAction action);
  bool TellHandlers(TExceptAction action);
  void ShowReportArea();
  void MoveButtonRight(HWND button, int by);

  TMemoryDc FMemoryDc;
  TGdiObject FButtonBitmap;
  TGdiObject FBoxFont;
  TGdiObject FReportFont;
  HGDIOBJ FOldBitmap = nullptr;
  HGDIOBJ FOldFont = nullptr;
  HWND FWindow = nullptr;
  HWND FReportWindow = nullptr;
  std::array<HWND, kButtonCount> FButtons{};  // by index; 0 when the caption is empty
  HWND FAutoPressButton = nullptr;
  DWORD FLastFlash = 0;
  int FFullHeight = 0;
  bool FFrozen;
  const TExceptionObject* FObject;
  uintptr_t FAddress;
  std::string FReport;
  std::string FScreenshot;
  bool FCanContinue;
  DWORD FCountdownStart = 0;
  uint32_t FCountdownPosition = 0;
  HICON FBigIcon = nullptr;
  HWND FBigIconButton = nullptr;
};

TExceptionBox::TExceptionBox(bool frozen, const TExceptionObject* object, uintptr_t address, bool canContinue,
                             const std::string& screenshot, const std::string& report)
    : FFrozen(frozen), FObject(object), FAddress(address), FReport(report), FScreenshot(screenshot),
      FCanContinue(canContinue) {
  if (BugReportVisible) ShowButtonCaption.Assign("");
  const auto hasCaption = [](int index) { return kCaptions[static_cast<size_t>(index)]->Length != 0; };

  // An automatic close or restart that is due, or AutoContinue, makes its button the default.
  if (AutoActionDue(AutoCloseSeconds) && hasCaption(biClose))
    DefaultButton = eaCloseApplication;
  else if (AutoActionDue(AutoRestartSeconds) && hasCaption(biRestart))
    DefaultButton = eaRestartApplication;
  else if (AutoContinue && hasCaption(biContinue) && canContinue)
    DefaultButton = eaContinueApplication;

  const HINSTANCE instance = ModuleInstance();
  WNDCLASSA wc{};
  wc.style = CS_CLASSDC | CS_PARENTDC;
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kBoxClassName;
  RegisterClassA(&wc);  // fails harmlessly when the class exists

  std::string title = ExceptBoxTitle.Str();
  SubstText(title, kPlaceholderAppName, AppNameOfFile(ProgramFileName()), false);
  FWindow = CreateWindowExA(WS_EX_TOPMOST | WS_EX_DLGMODALFRAME, kBoxClassName, title.c_str(), WS_CAPTION | WS_SYSMENU,
                            0, 0, 100, 100, nullptr, nullptr, instance, nullptr);
  if (FWindow == nullptr) return;
  SetWindowLongPtrA(FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrA(FWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProcStub));
  if (HMENU menu = GetSystemMenu(FWindow, FALSE)) {
    for (const UINT command : {SC_MINIMIZE, SC_MAXIMIZE, SC_RESTORE, SC_SIZE}) DeleteMenu(menu, command, MF_BYCOMMAND);
  }

  FBoxFont.reset(CreateFontA(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, "MS Sans Serif"));
  FReportFont.reset(CreateFontA(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, "Courier New"));
  FMemoryDc.reset(CreateCompatibleDC(nullptr));
  HDC dc = FMemoryDc.get();
  FOldFont = SelectObject(dc, FBoxFont.get());
  SetBkMode(dc, TRANSPARENT);

  const std::string message = ExceptionBoxMessage(frozen, object, true);

  // Widths: caption + 39, 0 for no button; M is the widest of continue, restart, close.
  std::array<int, kButtonCount> widths{};
  for (int i = 0; i < kButtonCount; ++i)
    widths[static_cast<size_t>(i)] = hasCaption(i) ? TextWidth(dc, kCaptions[static_cast<size_t>(i)]->Str()) + 39 : 0;
  const auto width = [&](int index) { return widths[static_cast<size_t>(index)]; };
  const int m = std::max({width(biContinue), width(biRestart), width(biClose)});
  const int widest = std::max({m, width(biMail), width(biSave), width(biPrint), width(biShow)});
  {
    HDC screen = GetDC(nullptr);
    FButtonBitmap.reset(CreateCompatibleBitmap(screen, std::max(widest - 4, 1), kButtonHeight));
    ReleaseDC(nullptr, screen);
  }
  FOldBitmap = SelectObject(dc, FButtonBitmap.get());

  int j = hasCaption(biContinue) + hasCaption(biRestart) + hasCaption(biClose);
  const bool anyReportButton = hasCaption(biMail) || hasCaption(biSave) || hasCaption(biPrint) || hasCaption(biShow);
  const bool columns = j >= 2 && anyReportButton;
  if (j == 1) j = 2;
  const int reportButtonsWidth = width(biMail) + width(biSave) + width(biPrint) + width(biShow);
  const int endButtonsWidth = width(biContinue) + width(biRestart) + width(biClose);
  const int k = columns ? reportButtonsWidth + m + 14 : reportButtonsWidth + endButtonsWidth + 14;
  int r = columns ? m + 40 : 26;

  FBigIcon = LoadIconA(instance, "qeiBigIcon");
  if (FBigIcon != nullptr) {
    r += 40;
    FBigIconButton = CreateWindowExA(0, "Button", "", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_OWNERDRAW, 9, 10, 32, 32,
                                     FWindow, nullptr, instance, nullptr);
  }

  RECT text{0, 0, k > 537 ? k - r : kReportMinWidth - r, 0};
  // The message is plain text: an "&" in an exception's message is no mnemonic.
  DrawTextA(dc, message.c_str(), -1, &text, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  const int messageWidth = text.right - text.left;
  const int messageHeight = text.bottom - text.top;
  int w = std::max(k, messageWidth + r);
  if (BugReportVisible) w = std::max(w, kReportMinWidth);
  const bool smallMessage = FBigIcon != nullptr && messageHeight < 26;
  int top = smallMessage ? 31 : messageHeight + 5;
  if (j == 3) {
    if (columns)
      top = std::max(top - kRowHeight, 7);
    else
      j = 2;
  }

  int x = 6;
  for (const int i : {biMail, biSave, biPrint, biShow}) {
    if (!hasCaption(i)) continue;
    FButtons[static_cast<size_t>(i)] = CreateBoxButton(i, x, top + kRowHeight * (j - 1), width(i));
    x += width(i);
  }
  if (columns) {
    x = w - m - 8;
    const int rows[] = {0, hasCaption(biContinue) ? 1 : 0, j - 1};
    for (const int i : {biContinue, biRestart, biClose}) {
      if (hasCaption(i)) FButtons[static_cast<size_t>(i)] = CreateBoxButton(i, x, top + kRowHeight * rows[i - biContinue], m);
    }
  } else {
    x = w - endButtonsWidth - 8;
    for (const int i : {biContinue, biRestart, biClose}) {
      if (!hasCaption(i)) continue;
      FButtons[static_cast<size_t>(i)] = CreateBoxButton(i, x, top + kRowHeight, width(i));
      x += width(i);
    }
  }
  HWND continueButton = FButtons[biContinue];
  if (continueButton != nullptr && !canContinue && (FButtons[biRestart] != nullptr || FButtons[biClose] != nullptr)) {
    EnableWindow(continueButton, FALSE);
    SetWindowLongPtrA(continueButton, GWLP_USERDATA, biCantContinue);
  }

  HWND label = CreateWindowExA(0, "Static", message.c_str(), WS_CHILD | WS_VISIBLE | SS_NOPREFIX, FBigIcon != nullptr ? 51 : 11,
                               smallMessage ? 12 + (26 - messageHeight) / 2 : 12, messageWidth, messageHeight, FWindow,
                               nullptr, instance, nullptr);
  SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(FBoxFont.get()), 0);

  const int b = top + kRowHeight * j + 8;
  const int v = std::max(w, kReportMinWidth);
  if (BugReportVisible || anyReportButton) {
    if (CopyBugReportToClipboard) CopyReportToClipboard(FReport);
    CreateWindowExA(0, "Static", "", WS_CHILD | WS_VISIBLE | SS_GRAYFRAME, 6, b - 3, v - 17, 395, FWindow, nullptr,
                    instance, nullptr);
    HWND frame = CreateWindowExA(0, "Static", "", WS_CHILD | WS_VISIBLE | SS_WHITEFRAME, 5, b - 4, v - 17, 395, FWindow,
                                 nullptr, instance, nullptr);
    FReportWindow = CreateWindowExA(
        0, "Edit", FReport.c_str(),
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY | ES_WANTRETURN, 7, 6, v - 30, 383,
        frame, nullptr, instance, nullptr);
    SendMessageA(FReportWindow, WM_SETFONT, reinterpret_cast<WPARAM>(FReportFont.get()), 0);
  }

  // Centred at the full height, also while the report area is still hidden below.
  const int c = b + GetSystemMetrics(SM_CYCAPTION);
  FFullHeight = c + kReportAreaHeight;
  SetWindowPos(FWindow, nullptr, (GetSystemMetrics(SM_CXSCREEN) - v) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - FFullHeight) / 2, w, BugReportVisible ? FFullHeight : c,
               SWP_NOZORDER | SWP_NOACTIVATE);

  if (OwnerDrawnButtons) {
    if (AutoActionDue(AutoCloseSeconds) && hasCaption(biClose))
      FAutoPressButton = FButtons[biClose];
    else if (AutoActionDue(AutoRestartSeconds) && hasCaption(biRestart))
      FAutoPressButton = FButtons[biRestart];
    else if (AutoContinue && hasCaption(biContinue) && canContinue)
      FAutoPressButton = FButtons[biContinue];
    if (FAutoPressButton != nullptr) {
      FCountdownStart = GetTickCount();
      SetTimer(FWindow, kCountdownTimer, 10, nullptr);
    }
  }

  MessageBeep(MB_ICONHAND);
  ShowWindow(FWindow, SW_SHOWNORMAL);
  if (IsIconic(FWindow)) ShowWindow(FWindow, SW_RESTORE);
  BringWindowToTop(FWindow);
  SetForegroundWindow(FWindow);
  // The main thread answers with WM_NULL 777/777 once it handles messages again.
  if (frozen) PostFreezeProbe(FWindow);
}

TExceptionBox::~TExceptionBox() {
  // A box left by WM_QUIT still exists: it must not call into a freed object.
  if (FWindow != nullptr && IsWindow(FWindow)) {
    SetWindowLongPtrA(FWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProcA));
    SetWindowLongPtrA(FWindow, GWLP_USERDATA, 0);
    DestroyWindow(FWindow);
  }
  if (FMemoryDc != nullptr) {
    SelectObject(FMemoryDc.get(), FOldBitmap);
    SelectObject(FMemoryDc.get(), FOldFont);
  }
}

HWND TExceptionBox::CreateBoxButton(int index, int x, int y, int width) {
  const bool isDefault = static_cast<uint32_t>(index) == DefaultButton;
  DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
  if (OwnerDrawnButtons) style |= BS_OWNERDRAW;
  if (isDefault) style |= BS_DEFPUSHBUTTON;
  HWND button = CreateWindowExA(0, "Button", kCaptions[static_cast<size_t>(index)]->Str().c_str(), style, x, y,
                                width - 4, kButtonHeight, FWindow, nullptr, ModuleInstance(), nullptr);
  if (button == nullptr) return nullptr;
  SendMessageA(button, WM_SETFONT, reinterpret_cast<WPARAM>(FBoxFont.get()), 0);
  SetWindowLongPtrA(button, GWLP_USERDATA, index);
  if (isDefault) SetFocus(button);
  return button;
}

LRESULT CALLBACK TExceptionBox::WindowProcStub(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* box = reinterpret_cast<TExceptionBox*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (box == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  // Nothing may unwind through the system's call of the window procedure.
  try {
    return box->ExceptionBoxWindowProc(message, wParam, lParam);
  } catch (...) {
    return 0;
  }
}

LRESULT TExceptionBox::ExceptionBoxWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NULL:
      if (wParam == kFreezeAnswer && static_cast<WPARAM>(lParam) == kFreezeAnswer) DestroyWindow(FWindow);
      return 0;
    case WM_CLOSE:
      if (DefaultButton >= eaContinueApplication && DefaultButton <= eaCloseApplication)
        RunAction(static_cast<TExceptAction>(DefaultButton));
      else if (FButtons[biContinue] != nullptr && FCanContinue)
        RunAction(eaContinueApplication);
      else if (FButtons[biClose] != nullptr)
        RunAction(eaCloseApplication);
      else if (FButtons[biRestart] != nullptr)
        RunAction(eaRestartApplication);
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) return 0;
      return DefWindowProcA(FWindow, message, wParam, lParam);
    case WM_TIMER:
      if (wParam == kCountdownTimer && AutoDelaySeconds != 0 && FAutoPressButton != nullptr && FCountdownStart != 0) {
        const auto width = static_cast<uint32_t>(ClientRect(FAutoPressButton).right);
        const uint32_t p = CountdownPosition(width);
        if (p != FCountdownPosition) {
          if (p > width) PostMessageA(FWindow, WM_COMMAND, 0, reinterpret_cast<LPARAM>(FAutoPressButton));
          const TWindowDc dc(FAutoPressButton);
          DrawLook(FAutoPressButton, dc.Get(), true, nullptr, static_cast<int>(p));
        }
      }
      return 0;
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item->hwndItem == FBigIconButton) {
        DrawIcon(item->hDC, 0, 0, FBigIcon);
      } else if (item->itemAction == ODA_FOCUS) {
        StopCountdown();
        FadeLook(item->hwndItem, item->hDC, (item->itemState & ODS_FOCUS) != 0);
      } else {
        DrawLook(item->hwndItem, item->hDC, (item->itemState & ODS_FOCUS) != 0, &item->rcItem, -1);
      }
      return 1;
    }
    case WM_COMMAND: {
      const LRESULT result = DefWindowProcA(FWindow, message, wParam, lParam);
      HWND control = reinterpret_cast<HWND>(lParam);
      if (control == nullptr && wParam == 1) control = GetFocus();
      const int index = ButtonIndexOf(control);
      if (index >= 0) PressButton(index);
      return result;
    }
    case WM_NCDESTROY:
      // A box destroyed while a sent message was served (another thread's
      // click) leaves GetMessage waiting: wake the loop so that it sees it.
      PostThreadMessageA(GetCurrentThreadId(), WM_NULL, 0, 0);
      return DefWindowProcA(FWindow, message, wParam, lParam);
    default:
      return DefWindowProcA(FWindow, message, wParam, lParam);
  }
}

int TExceptionBox::ButtonIndexOf(HWND control) const {
  if (control == nullptr) return -1;
  for (int i = 0; i < kButtonCount; ++i)
    if (FButtons[static_cast<size_t>(i)] == control) return i;
  return -1;
}

uint32_t TExceptionBox::CountdownPosition(uint32_t width) const {
  const uint32_t delayMs = AutoDelaySeconds * 1000;
  return (TicksSince(FCountdownStart) * width + AutoDelaySeconds * 500) / delayMs;
}

void TExceptionBox::StopCountdown() {
  if (FCountdownStart == 0) return;
  KillTimer(FWindow, kCountdownTimer);
  FCountdownStart = 0;
}

void TExceptionBox::DrawBoxButton(COLORREF textColour, COLORREF background, const RECT* rect, int position, HDC target,
                                  HWND button, COLORREF shade) {
  HDC dc = FMemoryDc.get();
  const bool enabled = IsWindowEnabled(button) != FALSE;
  const bool highColour = HighColour();
  if (shade != 0 && highColour) background = ShiftColor(background, enabled ? shade : (shade >> 1) & 0x7F7F7F);
  const RECT r = rect != nullptr ? *rect : ClientRect(button);
  FillSolid(dc, r, background);

  // The countdown line (none without a delay: the line's speed is undefined then).
  if (button == FAutoPressButton && FCountdownStart != 0 && AutoDelaySeconds != 0) {
    const uint32_t p = position >= 0 ? static_cast<uint32_t>(position)
                                     : CountdownPosition(static_cast<uint32_t>(r.right - r.left));
    FCountdownPosition = p;
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const int x = static_cast<int>(p);
    FillSolid(dc, RECT{x, r.top, x + 1, r.bottom}, face);
    if (highColour) {
      for (int i = 0; i < 4; ++i) {
        const COLORREF c = Blend(face, background, 4 - i, 4);
        FillSolid(dc, RECT{x + i, r.top, x + i + 1, r.bottom}, c);
        FillSolid(dc, RECT{x - i, r.top, x - i + 1, r.bottom}, c);
      }
    }
  }

  const int index = static_cast<int>(GetWindowLongPtrA(button, GWLP_USERDATA));
  if (index >= 0 && index < static_cast<int>(kPictureKeys.size())) DrawPicture(index, background);

  char caption[kCaptionMax + 1] = {};
  const int length = GetWindowTextA(button, caption, sizeof caption);
  const int x0 = (static_cast<int>(r.right - r.left) - TextWidth(dc, std::string(caption, static_cast<size_t>(length))) - 35) / 2;
  if (enabled) {
    SetTextColor(dc, textColour);
    TextOutA(dc, x0 + 27, 4, caption, length);
  } else {
    SetTextColor(dc, kWhite);
    TextOutA(dc, x0 + 28, 5, caption, length);
    SetTextColor(dc, GetSysColor(COLOR_3DDKSHADOW));
    TextOutA(dc, x0 + 27, 4, caption, length);
  }
  BitBlt(target, r.left, r.top, r.right - r.left, r.bottom - r.top, dc, r.left, r.top, SRCCOPY);
}

// The picture "qei" + key: an icon when a module has one, else the 32-bit
// bitmap blended with the background by its alpha.
void TExceptionBox::DrawPicture(int index, COLORREF background) {
  const std::string name = std::string("qei") + kPictureKeys[static_cast<size_t>(index)];
  HDC dc = FMemoryDc.get();
  for (HMODULE module : {static_cast<HMODULE>(ModuleInstance()), GetModuleHandleA(nullptr)}) {
    if (auto icon = static_cast<HICON>(LoadImageA(module, name.c_str(), IMAGE_ICON, kPictureSide, kPictureSide, 0))) {
      DrawIconEx(dc, 3, 3, icon, kPictureSide, kPictureSide, 0, nullptr, DI_NORMAL);
      DestroyIcon(icon);
      return;
    }
    HRSRC resource = FindResourceA(module, name.c_str(), MAKEINTRESOURCEA(2));  // RT_BITMAP
    if (resource == nullptr || SizeofResource(module, resource) != kPictureResourceSize) continue;
    const void* data = LockResource(LoadResource(module, resource));
    if (data == nullptr) continue;
    BITMAPINFO info{};
    std::memcpy(&info.bmiHeader, data, sizeof info.bmiHeader);
    const BITMAPINFOHEADER& h = info.bmiHeader;
    if (h.biSize != sizeof h || h.biWidth != kPictureSide || (h.biHeight != kPictureSide && h.biHeight != -kPictureSide) ||
        h.biPlanes != 1 || h.biBitCount != 32 || h.biCompression != BI_RGB)
      continue;
    std::array<uint8_t, kPictureSide * kPictureSide * 4> pixels;
    std::memcpy(pixels.data(), static_cast<const uint8_t*>(data) + sizeof h, pixels.size());
    const int back[3] = {Channel(background, 16), Channel(background, 8), Channel(background, 0)};  // blue, green, red
    for (size_t p = 0; p < pixels.size(); p += 4) {
      const int c = pixels[p + 3] + 1;
      for (size_t ch = 0; ch < 3; ++ch)
        pixels[p + ch] = static_cast<uint8_t>(((256 - c) * back[ch] + c * pixels[p + ch]) / 256);
      pixels[p + 3] = 0;  // blended: an opaque colour now
    }
    SetDIBitsToDevice(dc, 3, 3, kPictureSide, kPictureSide, 0, 0, 0, kPictureSide, pixels.data(), &info,
                      DIB_RGB_COLORS);
    return;
  }
}

// Focused: white text on the dark shadow; unfocused: black text on the face, shaded.
void TExceptionBox::DrawLook(HWND button, HDC target, bool focused, const RECT* rect, int position) {
  if (focused)
    DrawBoxButton(kWhite, GetSysColor(COLOR_3DDKSHADOW), rect, position, target, button, 0);
  else
    DrawBoxButton(0, GetSysColor(COLOR_BTNFACE), rect, position, target, button, kShade);
}

void TExceptionBox::FadeBoxButton(HWND button, HDC target, COLORREF text0, COLORREF back0, COLORREF text1,
                                  COLORREF back1, COLORREF startShade, COLORREF endShade) {
  if (HighColour()) {
    if (startShade != 0)
      back0 = ShiftColor(back0, startShade);
    else if (endShade != 0)
      back1 = ShiftColor(back1, endShade);
  }
  for (int n = 7; n >= 0; --n) {
    if (n != 7) Sleep(10);
    DrawBoxButton(Blend(text0, text1, n, 8), Blend(back0, back1, n, 8), nullptr, -1, target, button, 0);
  }
  FLastFlash = GetTickCount();
}

void TExceptionBox::FadeLook(HWND button, HDC target, bool toFocused) {
  const COLORREF dark = GetSysColor(COLOR_3DDKSHADOW);
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  if (toFocused)
    FadeBoxButton(button, target, 0, face, kWhite, dark, kShade, 0);
  else
    FadeBoxButton(button, target, kWhite, dark, 0, face, 0, kShade);
}

void TExceptionBox::PressButton(int index) {
  StopCountdown();
  HWND button = FButtons[static_cast<size_t>(index)];
  if (OwnerDrawnButtons) {
    const TWindowDc dc(button);
    if (index == biMail || index == biSave || index == biPrint) {
      SetCursor(LoadCursorA(nullptr, IDC_WAIT));
      for (int i = 0; i < 4; ++i) {
        DrawLook(button, dc.Get(), false, nullptr, -1);
        Sleep(50);
        DrawLook(button, dc.Get(), true, nullptr, -1);
        Sleep(50);
      }
    } else if (index == biShow) {
      const COLORREF face = GetSysColor(COLOR_BTNFACE);
      FadeBoxButton(button, dc.Get(), kWhite, GetSysColor(COLOR_3DDKSHADOW), face, face, 0, 0);
    } else if (TicksSince(FLastFlash) > 200) {
      FadeLook(button, dc.Get(), false);
      Sleep(10);
      FadeLook(button, dc.Get(), true);
    }
  }
  switch (index) {
    case biShow: ShowReportArea(); break;
    case biMail: RunAction(eaMailBugReport); break;
    case biSave: RunAction(eaSaveBugReport); break;
    case biPrint: RunAction(eaPrintBugReport); break;
    case biRestart: RunAction(eaRestartApplication); break;
    case biContinue: RunAction(FCanContinue ? eaContinueApplication : eaCloseApplication); break;
    default: RunAction(eaCloseApplication); break;
  }
}

bool TExceptionBox::TellHandlers(TExceptAction action) {
  bool handled = false;
  // The box has no thread id to give: the handlers get 0 there.
  CallExceptHandlers(hkAction, kActionPhase, action, &handled, nullptr, &FScreenshot, &FReport, 0, FAddress,
                     const_cast<TExceptionObject*>(FObject), FFrozen);
  return handled;
}

void TExceptionBox::RunAction(TExceptAction action) {
  if (action == eaShowBugReport) {
    ShowReportArea();
    return;
  }
  const bool handled = TellHandlers(action);
  if (action == eaContinueApplication) {
    DestroyWindow(FWindow);
    return;
  }
  if (!handled) {
    TReportActionSettings settings = ReportActionSettingsFromSettings();
    settings.ReleaseMainThread = [] { return ReleaseMainThread(); };
    settings.HoldMainThread = [] { HoldMainThread(); };
    switch (action) {
      case eaMailBugReport:
        MailBugReport(settings, FReport, FScreenshot, FWindow, false);
        break;
      case eaSaveBugReport:
        if (SaveBugReport(settings, FReport, FWindow, false)) {
          // A fixed file would only get the same report again.
          if (IsAbsolutePath(BugReportFile.Str()) && FButtons[biSave] != nullptr) {
            DestroyWindow(FButtons[biSave]);
            FButtons[biSave] = nullptr;
          }
          MessageBeep(MB_ICONASTERISK);
        } else {
          MessageBeep(0);
        }
        break;
      case eaPrintBugReport:
        MessageBeep(PrintBugReport(settings, FReport, FWindow) ? MB_ICONASTERISK : 0);
        break;
      case eaRestartApplication:
        RestartApplication(ExceptionTimeHistory());
      case eaCloseApplication:
        CloseApplication();
      default:
        break;
    }
  }
  SetCursor(LoadCursorA(nullptr, IDC_ARROW));
}

void TExceptionBox::ShowReportArea() {
  TellHandlers(eaShowBugReport);  // shown even when a handler marked it handled
  if (CopyBugReportToClipboard) CopyReportToClipboard(FReport);
  RECT box{};
  GetWindowRect(FWindow, &box);
  const int width = box.right - box.left;
  const int newWidth = std::max(width, kReportMinWidth);
  SetWindowPos(FWindow, nullptr, 0, 0, newWidth, FFullHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (newWidth > width) {
    for (const int i : {biContinue, biRestart, biClose}) MoveButtonRight(FButtons[static_cast<size_t>(i)], newWidth - width);
  }
  HWND show = FButtons[biShow];
  if (show == nullptr) return;
  const bool hadFocus = GetFocus() == show;
  FButtons[biShow] = nullptr;
  DestroyWindow(show);
  // The keys (Esc above all) keep working in the report.
  if (hadFocus && FReportWindow != nullptr) SetFocus(FReportWindow);
}

void TExceptionBox::MoveButtonRight(HWND button, int by) {
  if (button == nullptr) return;
  RECT r{};
  GetWindowRect(button, &r);
  MapWindowPoints(nullptr, FWindow, reinterpret_cast<POINT*>(&r), 2);
  SetWindowPos(button, nullptr, r.left + by, r.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void WriteAll(HANDLE output, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 0x10000));
    if (!WriteFile(output, text.data() + done, chunk, &written, nullptr) || written == 0) return;
    done += written;
  }
}

}  // namespace

COLORREF ShiftColor(COLORREF colour, COLORREF amount) {
  int passing = 0;
  for (const int shift : {0, 8, 16}) passing += Channel(colour, shift) + Channel(amount, shift) > 255;
  const bool up = passing < 2;
  const auto moved = [&](int shift) {
    const int c = Channel(colour, shift);
    const int a = Channel(amount, shift);
    return up ? std::min(c + a, 255) : std::max(c - a, 0);
  };
  return FromChannels(moved(0), moved(8), moved(16));
}

std::string ExceptionBoxMessage(bool frozen, const TExceptionObject* object, bool withDot) {
  std::string message = frozen ? FrozenMessage.Str() : ExceptMessage.Str();
  // Line breaks first, so that a "%LF%" inside the exception's text stays as it is.
  SubstText(message, kPlaceholderLineBreak, "\r\n", false);
  SubstText(message, kPlaceholderExceptMsg, ExceptionMessageText(object) + (withDot ? "." : ""), false);
  return message;
}

void CopyReportToClipboard(const std::string& text) {
  if (!OpenClipboard(nullptr)) return;
  EmptyClipboard();
  CloseClipboard();
  if (!OpenClipboard(nullptr)) return;
  if (HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, text.size() + 1)) {
    if (void* target = GlobalLock(block)) {
      std::memcpy(target, text.c_str(), text.size() + 1);
      GlobalUnlock(block);
      if (SetClipboardData(CF_TEXT, block) == nullptr) GlobalFree(block);
    } else {
      GlobalFree(block);
    }
  }
  CloseClipboard();
}

bool IsConsoleProgram() {
  const IMAGE_NT_HEADERS* headers = PeNtHeaders(GetModuleHandleA(nullptr));
  return headers != nullptr && headers->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

void WriteConsoleReport(HANDLE output, bool webProgram, bool frozen, const TExceptionObject* object,
                        const std::string& report) {
  std::string text;
  if (webProgram) {
    text = "Content-Type: text/html\r\n\r\n";
    if (HtmlPageRoutine != nullptr) text += HtmlPageRoutine(report);
    text += "\r\n";
  } else {
    text = ExceptionBoxMessage(frozen, object, false) + "\r\n";
    if (BugReportVisible || ShowButtonCaption.Length != 0) text += "\r\n" + report + "\r\n";
  }
  WriteAll(output, text);
}

void ShowExceptionBox(bool frozen, const TExceptionObject* object, uintptr_t address, bool canContinue,
                      const std::string& screenshot, const std::string& report) {
  if (ConsoleOutput && IsConsoleProgram()) {
    WriteConsoleReport(GetStdHandle(STD_OUTPUT_HANDLE), qelPatchTable[peWebExtension] != 0, frozen, object, report);
    return;
  }
  TExceptionBox box(frozen, object, address, canContinue, screenshot, report);
  HWND window = box.Window();
  HWND reportWindow = box.ReportWindow();
  MSG msg;
  while (IsWindow(window)) {
    const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) {
      // The quit request belongs to whoever runs this thread's own loop.
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (got < 0) break;
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) {
      msg.hwnd = window;
      msg.message = WM_CLOSE;
      msg.wParam = 0;
      msg.lParam = 0;
    }
    if (msg.hwnd != reportWindow && IsDialogMessageA(window, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace qel
