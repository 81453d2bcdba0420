#include "Forms.h"

#include <commctrl.h>
#include <shellapi.h>
#undef ShellExecute  // the wrapper keeps its own name whether or not a caller sees shellapi.h

#include <algorithm>

#include "ExceptHook.h"
#include "Jpeg.h"
#include "Layout.h"
#include "StdCtrls.h"
#include "TextCase.h"
#include "Threads.h"

namespace zf {

const TEnumInfo PositionInfo("TPosition", {"poDesigned", "poDefault", "poDefaultPosOnly", "poDefaultSizeOnly",
                                           "poScreenCenter", "poDesktopCenter", "poMainFormCenter",
                                           "poOwnerFormCenter"});
const TEnumInfo FormBorderStyleInfo("TFormBorderStyle",
                                    {"bsNone", "bsSingle", "bsSizeable", "bsDialog", "bsToolWindow", "bsSizeToolWin"});

namespace {
TApplication g_application;

std::string UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

TForm* FormOfWindow(HWND h) {
  if (!h) return nullptr;
  return dynamic_cast<TForm*>(TWinControl::FromHandle(GetAncestor(h, GA_ROOT)));
}
}  // namespace

TApplication& Application = g_application;

// --- TForm -----------------------------------------------------------------------

TForm::TForm(TComponent* owner) : TWinControl(owner) {
  FVisible = false;
  FLeft = CW_USEDEFAULT;
  FTop = CW_USEDEFAULT;
  FWidth = 320;
  FHeight = 240;
  HandleNeeded();
  RECT r;
  GetWindowRect(FHandle, &r);
  FLeft = r.left;
  FTop = r.top;
}

TForm::~TForm() {
  if (OnDestroy) {
    try {
      OnDestroy(this);
    } catch (...) {
      HandleBoundaryException();
    }
  }
  Application.FormDestroyed(this);
  // The controls go before the window that holds theirs.
  DestroyComponents();
}

const TClassInfo& TForm::StaticClassInfo() {
  return MakeClassInfo<TForm, TWinControl>("TForm", [](TPublisher<TForm>& p) {
    p.Integer("ClientWidth", &TForm::SetClientWidth);
    p.Integer("ClientHeight", &TForm::SetClientHeight);
    p.Enum("Position", &TForm::SetPosition, PositionInfo);
    p.Enum("BorderStyle", &TForm::SetBorderStyle, FormBorderStyleInfo);
    p.Event("OnClose", &TForm::SetOnClose);
    p.Event("OnCreate", &TForm::SetOnCreate);
    p.Event("OnShow", &TForm::SetOnShow);
    p.Event("OnDestroy", &TForm::SetOnDestroy);
    for (const char* ignored : {"PixelsPerInch", "TextHeight", "OldCreateOrder", "Scaled", "BorderIcons",
                                "FormStyle", "WindowState", "KeyPreview", "Icon.Data", "HorzScrollBar.Visible",
                                "VertScrollBar.Visible", "AutoScroll"})
      p.Ignored(ignored);
  });
}

void TForm::CreateParams(TCreateParams& p) {
  RegisterFrameworkWindowClass("TZivoForm", CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS,
                               reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  p.ClassName = "TZivoForm";
  switch (FBorderStyle) {
    case TFormBorderStyle::bsNone: p.Style = WS_POPUP; break;
    case TFormBorderStyle::bsSingle: p.Style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_BORDER; break;
    case TFormBorderStyle::bsDialog: p.Style = WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_BORDER; break;
    default: p.Style = WS_OVERLAPPEDWINDOW; break;
  }
  p.Style |= WS_CLIPCHILDREN;
  p.ExStyle = WS_EX_CONTROLPARENT | (FBorderStyle == TFormBorderStyle::bsDialog ? WS_EX_DLGMODALFRAME : 0);
  p.Parent = nullptr;
}

void TForm::ReadLayoutResource() {
  std::string name = UpperAscii(ClassName());
  HRSRC r = FindResourceA(nullptr, name.c_str(), MAKEINTRESOURCEA(10) /* RT_RCDATA */);
  HGLOBAL g = r ? LoadResource(nullptr, r) : nullptr;
  const char* p = g ? static_cast<const char*>(LockResource(g)) : nullptr;
  if (!p) throw EReadError("Resource " + name + " not found");
  ReadLayout(*this, std::string_view(p, SizeofResource(nullptr, r)), name);
}

void TForm::SetClientWidth(int w) {
  FClientWidth = w;
  RECT r{0, 0, w, 100};
  AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongA(FHandle, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongA(FHandle, GWL_EXSTYLE)));
  SetWidth(r.right - r.left);
}

void TForm::SetClientHeight(int h) {
  FClientHeight = h;
  RECT r{0, 0, 100, h};
  AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongA(FHandle, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongA(FHandle, GWL_EXSTYLE)));
  SetHeight(r.bottom - r.top);
}

int TForm::ClientWidth() const {
  RECT r;
  GetClientRect(FHandle, &r);
  return r.right;
}
int TForm::ClientHeight() const {
  RECT r;
  GetClientRect(FHandle, &r);
  return r.bottom;
}

void TForm::SetBorderStyle(TFormBorderStyle b) {
  if (b == FBorderStyle) return;
  FBorderStyle = b;
  TCreateParams p;
  CreateParams(p);
  SetWindowLongA(FHandle, GWL_STYLE, static_cast<LONG>(p.Style | (FVisible ? WS_VISIBLE : 0)));
  SetWindowLongA(FHandle, GWL_EXSTYLE, static_cast<LONG>(p.ExStyle));
  SetWindowPos(FHandle, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
  if (FClientWidth >= 0) SetClientWidth(FClientWidth);
  if (FClientHeight >= 0) SetClientHeight(FClientHeight);
}

void TForm::Loaded() {
  TWinControl::Loaded();
  // The border may have changed after the client size was read.
  if (FClientWidth >= 0) SetClientWidth(FClientWidth);
  if (FClientHeight >= 0) SetClientHeight(FClientHeight);
  Realign();
}

void TForm::PlaceWindow() {
  RECT area;
  switch (FPosition) {
    case TPosition::poScreenCenter:
    case TPosition::poDesktopCenter:
    case TPosition::poMainFormCenter:
    case TPosition::poOwnerFormCenter:
      if (FPosition == TPosition::poDesktopCenter || FPosition == TPosition::poScreenCenter) {
        area = RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
      } else if (TForm* m = Application.MainForm(); m && m != this) {
        GetWindowRect(m->Handle(), &area);
      } else {
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
      }
      SetBounds(area.left + (area.right - area.left - FWidth) / 2, area.top + (area.bottom - area.top - FHeight) / 2,
                FWidth, FHeight);
      break;
    default:
      break;
  }
}

void TForm::SetVisible(bool v) {
  FVisible = v;
  if (!v) {
    ShowWindow(FHandle, SW_HIDE);
    return;
  }
  if (!FShownOnce) {
    FShownOnce = true;
    PlaceWindow();
    if (OnShow) OnShow(this);
  }
  ShowWindow(FHandle, SW_SHOW);
  UpdateWindow(FHandle);
}

void TForm::Show() {
  SetVisible(true);
  SetForegroundWindow(FHandle);
}

void TForm::Close() {
  TCloseAction action = TCloseAction::caHide;
  if (OnClose) OnClose(this, action);
  if (action == TCloseAction::caNone) return;
  if (this == Application.MainForm()) {
    if (action == TCloseAction::caFree) Application.FreeFormLater(this);
    Application.Terminate();
    return;
  }
  if (action == TCloseAction::caFree) Application.FreeFormLater(this);
  else if (action == TCloseAction::caMinimize) ShowWindow(FHandle, SW_MINIMIZE);
  else Hide();
}

TWinControl* TForm::DefaultControl() const {
  for (int i = 0; i < ComponentCount(); ++i) {
    auto* b = dynamic_cast<TBitBtn*>(Components(i));
    if (b && b->Default() && b->Handle() && IsWindowVisible(b->Handle()) && IsWindowEnabled(b->Handle())) return b;
  }
  return nullptr;
}

TWinControl* TForm::ActiveControl() const { return FActiveControl; }

LRESULT TForm::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CLOSE:
      Close();
      return 0;
    case WM_SETFOCUS:
      if (FActiveControl && FActiveControl != this && FActiveControl->Handle() &&
          IsWindowVisible(FActiveControl->Handle())) {
        ::SetFocus(FActiveControl->Handle());
        return 0;
      }
      if (HWND first = GetNextDlgTabItem(FHandle, nullptr, FALSE)) {
        ::SetFocus(first);
        return 0;
      }
      break;
    default:
      break;
  }
  return TWinControl::WndProc(msg, wp, lp);
}

// --- TApplication ----------------------------------------------------------------

namespace {
// The exception goes in flight again, so that the application's handler runs
// as from an exception handler of its own (the reporter patches that entry).
void ApplicationBoundaryHandler(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (...) {
    Application.HandleException(&Application);
  }
}
}  // namespace

TApplication::TApplication() : TComponent(nullptr) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p = path;
  size_t slash = p.find_last_of("\\/");
  if (slash != std::string::npos) p.erase(0, slash + 1);
  size_t dot = p.rfind('.');
  if (dot != std::string::npos) p.erase(dot);
  FTitle = p;
}

TApplication::~TApplication() = default;

const TClassInfo& TApplication::StaticClassInfo() {
  return MakeClassInfo<TApplication, TComponent>("TApplication", [](auto&) {});
}

void TApplication::Initialize() {
  if (!FInitialized) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES | ICC_TAB_CLASSES};
    InitCommonControlsEx(&icc);
    RegisterStdControls();
    RegisterClass(TForm::StaticClassInfo());
    RegisterJpegImage();
    FInitialized = true;
  }
  FTerminated = false;
  SetBoundaryExceptionHandler(&ApplicationBoundaryHandler);
}

void TApplication::FinishCreateForm(TForm* f) {
  try {
    f->ReadLayoutResource();
  } catch (...) {
    FreeComponent(f);
    throw;
  }
  if (!FMainForm) FMainForm = f;
  if (f->OnCreate) f->OnCreate(f);
  if (f->Visible()) {
    f->SetVisible(false);
    f->Show();
  }
}

bool TApplication::PreTranslate(MSG& m) {
  if (m.message != WM_KEYDOWN && m.message != WM_SYSCHAR) return false;
  TForm* form = FormOfWindow(m.hwnd);
  if (!form) return false;
  HWND focus = GetFocus();
  char cls[32] = {};
  if (focus) GetClassNameA(focus, cls, sizeof cls);
  LONG style = focus ? GetWindowLongA(focus, GWL_STYLE) : 0;
  bool isButton = SameTextAscii(cls, "Button") && ((style & 0x0F) == BS_PUSHBUTTON || (style & 0x0F) == BS_DEFPUSHBUTTON);
  if (m.message == WM_SYSCHAR) {
    // Alt + the letter after '&' in a button's or check box's caption presses it.
    char key = LowerAscii(static_cast<char>(m.wParam));
    for (int i = 0; i < form->ComponentCount(); ++i) {
      auto* w = dynamic_cast<TWinControl*>(form->Components(i));
      if (!w || !w->Handle() || !IsWindowVisible(w->Handle()) || !IsWindowEnabled(w->Handle())) continue;
      if (!dynamic_cast<TBitBtn*>(w) && !dynamic_cast<TCheckBox*>(w)) continue;
      std::string cap = w->Caption();
      size_t amp = cap.find('&');
      if (amp != std::string::npos && amp + 1 < cap.size() && LowerAscii(cap[amp + 1]) == key) {
        SendMessageA(w->Handle(), BM_CLICK, 0, 0);
        return true;
      }
    }
    return false;
  }
  switch (m.wParam) {
    case VK_RETURN: {
      if (isButton) {
        SendMessageA(focus, BM_CLICK, 0, 0);
        return true;
      }
      if ((style & ES_MULTILINE) && (style & ES_WANTRETURN) && !(style & ES_READONLY)) return false;
      if (TWinControl* d = form->DefaultControl()) {
        SendMessageA(d->Handle(), BM_CLICK, 0, 0);
        return true;
      }
      return false;
    }
    case VK_ESCAPE:
      for (int i = 0; i < form->ComponentCount(); ++i) {
        auto* b = dynamic_cast<TBitBtn*>(form->Components(i));
        if (b && b->Cancel() && b->Handle() && IsWindowVisible(b->Handle()) && IsWindowEnabled(b->Handle())) {
          SendMessageA(b->Handle(), BM_CLICK, 0, 0);
          return true;
        }
      }
      return false;
    case VK_TAB: {
      bool back = GetKeyState(VK_SHIFT) < 0;
      if (HWND next = GetNextDlgTabItem(form->Handle(), focus, back)) ::SetFocus(next);
      return true;
    }
    default:
      return false;
  }
}

void TApplication::FreeDeferred() {
  while (!FToFree.empty()) {
    TForm* f = FToFree.back();
    FToFree.pop_back();
    FreeComponent(f);
  }
}

void TApplication::ProcessMessages() {
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message == WM_QUIT) {
      FTerminated = true;
      break;
    }
    if (!PreTranslate(m)) {
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
    CheckSynchronize();
    FreeDeferred();
  }
  CheckSynchronize();
  FreeDeferred();
}

void TApplication::ProcessMessagesFor(unsigned ms) {
  DWORD start = GetTickCount();
  do {
    ProcessMessages();
    Sleep(1);
  } while (GetTickCount() - start < ms);
}

void TApplication::Run() {
  if (FMainForm && !FMainForm->Visible()) FMainForm->Show();
  MSG m;
  while (!FTerminated) {
    BOOL r = GetMessageA(&m, nullptr, 0, 0);
    if (r <= 0) break;
    if (!PreTranslate(m)) {
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
    CheckSynchronize();
    FreeDeferred();
  }
  FreeDeferred();
  // The forms go with the application's end, main form last as it was created first.
  DestroyComponents();
}

void TApplication::Terminate() {
  if (FTerminated) return;
  FTerminated = true;
  PostQuitMessage(0);
}

HWND TApplication::Handle() const { return FMainForm ? FMainForm->Handle() : nullptr; }

void TApplication::FormDestroyed(TForm* f) {
  if (f == FMainForm) FMainForm = nullptr;
  FToFree.erase(std::remove(FToFree.begin(), FToFree.end(), f), FToFree.end());
}

void TApplication::FreeFormLater(TForm* f) {
  if (std::find(FToFree.begin(), FToFree.end(), f) == FToFree.end()) FToFree.push_back(f);
  PostMessageA(nullptr, WM_NULL, 0, 0);
}

int TApplication::MessageBox(const std::string& text, const std::string& caption, UINT flags) {
  HWND owner = GetActiveWindow();
  if (!FormOfWindow(owner)) owner = FMainForm && IsWindowVisible(FMainForm->Handle()) ? FMainForm->Handle() : nullptr;
  return ::MessageBoxA(owner, text.c_str(), caption.c_str(), flags);
}

__attribute__((noipa, used)) void TApplication::HandleException(TObject* Sender) {
  HandleException(Sender, std::current_exception());
}

__attribute__((noipa, used)) void TApplication::HandleException(TObject* Sender, std::exception_ptr e) {
  if (!e) return;
  try {
    std::rethrow_exception(e);
  } catch (const EAbort&) {
    return;
  } catch (...) {
  }
  if (OnException) {
    OnException(Sender, e);
    return;
  }
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    ShowException(x);
  } catch (...) {
    ShowException(Exception("Unknown exception"));
  }
}

__attribute__((noipa, used)) void TApplication::ShowException(const std::exception& e) {
  auto* z = dynamic_cast<const Exception*>(&e);
  std::string msg = z ? z->Message() : std::string(e.what());
  MessageBox(msg, FTitle, MB_OK | MB_ICONSTOP);
}

intptr_t ShellExecute(HWND owner, const char* verb, const std::string& file, const char* params,
                      const char* directory, int show) {
  return reinterpret_cast<intptr_t>(ShellExecuteA(owner, verb, file.c_str(), params, directory, show));
}

TScreen Screen;

HCURSOR TScreen::Cursors(int index) const {
  for (const auto& [n, c] : FCursors)
    if (n == index) return c;
  return nullptr;
}

void TScreen::SetCursors(int index, HCURSOR cursor) {
  for (auto& [n, c] : FCursors) {
    if (n == index) {
      c = cursor;
      return;
    }
  }
  FCursors.emplace_back(index, cursor);
}

}  // namespace zf
