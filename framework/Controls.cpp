#include "Controls.h"

#include <commctrl.h>

#include <algorithm>

#include "ExceptHook.h"

namespace zf {

const TEnumInfo AlignInfo("TAlign", {"alNone", "alTop", "alBottom", "alLeft", "alRight", "alClient"});
const TEnumInfo CursorInfo("TCursor", {"crDefault", "crArrow", "crHandPoint", "crHourGlass", "crIBeam"});

namespace {
int g_nextId = 100;
bool g_syncingFont = false;
}  // namespace

void RegisterFrameworkWindowClass(const char* name, UINT style, HBRUSH background) {
  WNDCLASSA wc{};
  if (GetClassInfoA(GetModuleHandleA(nullptr), name, &wc)) return;
  wc.style = style;
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512) /* IDC_ARROW */);
  wc.hbrBackground = background;
  wc.lpszClassName = name;
  if (!RegisterClassA(&wc)) throw EOutOfResources(std::string("Cannot register window class ") + name);
}

// --- TControl -----------------------------------------------------------------

TControl::TControl(TComponent* owner) : TComponent(owner) {
  FFont.OnChange = [this](TObject*) {
    if (!g_syncingFont) FParentFont = false;
    FontChanged();
  };
}

TControl::~TControl() {
  FFont.OnChange = nullptr;
  if (FParent) FParent->RemoveControl(this);
}

const TClassInfo& TControl::StaticClassInfo() {
  return MakeClassInfo<TControl, TComponent>("TControl", [](TPublisher<TControl>& p) {
    p.Integer("Left", &TControl::SetLeft);
    p.Integer("Top", &TControl::SetTop);
    p.Integer("Width", &TControl::SetWidth);
    p.Integer("Height", &TControl::SetHeight);
    p.Enum("Align", &TControl::SetAlign, AlignInfo);
    p.String("Caption", &TControl::SetCaption);
    p.String("Text", &TControl::SetText);
    p.Boolean("Enabled", &TControl::SetEnabled);
    p.Boolean("Visible", &TControl::SetVisible);
    p.Boolean("ParentFont", &TControl::SetParentFont);
    p.Enum("Cursor", &TControl::SetCursor, CursorInfo);
    p.String("Hint", &TControl::SetHint);
    p.Boolean("ShowHint", &TControl::SetShowHint);
    p.Event("OnClick", &TControl::SetOnClick);
    p.Info().Properties["Color"] = ColorProperty([](TObject& o, TColor c) { static_cast<TControl&>(o).SetColor(c); });
    p.Info().Properties["Font.Color"] =
        ColorProperty([](TObject& o, TColor c) { static_cast<TControl&>(o).Font().SetColor(c); });
    p.Custom("Font.Name", [](TControl& c, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::String) throw EPropertyError("Invalid property value");
      c.Font().SetName(v.Str);
    });
    p.Custom("Font.Size", [](TControl& c, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::Integer) throw EPropertyError("Invalid property value");
      c.Font().SetSize(static_cast<int>(v.Int));
    });
    p.Custom("Font.Height", [](TControl& c, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::Integer) throw EPropertyError("Invalid property value");
      c.Font().SetHeight(static_cast<int>(v.Int));
    });
    p.Custom("Font.Style", [](TControl& c, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::Set) throw EPropertyError("Invalid property value");
      TFontStyles s;
      for (const std::string& e : v.Items) {
        int ord = FontStyleInfo.ValueOf(e);
        if (ord < 0) throw EPropertyError("Invalid property value '" + e + "' for TFontStyle");
        s.Include(static_cast<TFontStyle>(ord));
      }
      c.Font().SetStyle(s);
    });
    p.Ignored("Font.Charset");
    p.Ignored("ParentColor");
    p.Ignored("ParentShowHint");
  });
}

void TControl::SetParentComponent(TComponent* p) {
  if (auto* w = dynamic_cast<TWinControl*>(p)) SetParent(w);
}

void TControl::SetParent(TWinControl* p) {
  if (p == FParent) return;
  if (p == this) throw EInvalidOperation("A control cannot be its own parent");
  if (FParent) FParent->RemoveControl(this);
  FParent = p;
  if (p) {
    p->InsertControl(this);
    if (FParentFont) {
      g_syncingFont = true;
      FFont.Assign(&p->FFont);
      g_syncingFont = false;
    }
  }
  ParentChanged();
  RequestAlign();
}

void TControl::SetBounds(int l, int t, int w, int h) {
  FLeft = l;
  FTop = t;
  FWidth = w;
  FHeight = h;
}

void TControl::SetAlign(TAlign a) {
  FAlign = a;
  RequestAlign();
}

void TControl::RequestAlign() {
  if (FParent && FAlign != TAlign::alNone) FParent->Realign();
}

std::string TControl::Caption() const { return FCaption; }
void TControl::SetCaption(const std::string& s) { FCaption = s; }
void TControl::SetEnabled(bool e) { FEnabled = e; }
void TControl::SetVisible(bool v) {
  FVisible = v;
  RequestAlign();
}

void TControl::SetParentFont(bool p) {
  FParentFont = p;
  if (p && FParent) {
    g_syncingFont = true;
    FFont.Assign(&FParent->FFont);
    g_syncingFont = false;
    FParentFont = true;
  }
}

void TControl::SetColor(TColor c) {
  FColor = c;
  FColorSet = true;
  if (HWND h = WindowHandle()) InvalidateRect(h, nullptr, TRUE);
}

void TControl::Click() {
  if (OnClick) OnClick(this);
}

HWND TControl::WindowHandle() const { return FParent ? FParent->Handle() : nullptr; }

void TControl::FontChanged() {}

// --- TWinControl ----------------------------------------------------------------

TWinControl::TWinControl(TComponent* owner) : TControl(owner) {}

TWinControl::~TWinControl() {
  for (TControl* c : FControls) c->FParent = nullptr;
  FControls.clear();
  DestroyHandle();
}

const TClassInfo& TWinControl::StaticClassInfo() {
  return MakeClassInfo<TWinControl, TControl>("TWinControl", [](TPublisher<TWinControl>& p) {
    p.Integer("TabOrder", &TWinControl::SetTabOrder);
    p.Boolean("TabStop", &TWinControl::SetTabStop);
    p.Event("OnEnter", &TWinControl::SetOnEnter);
    p.Event("OnExit", &TWinControl::SetOnExit);
    p.Event("OnKeyPress", &TWinControl::SetOnKeyPress);
  });
}

TWinControl* TWinControl::FromHandle(HWND h) {
  if (!h) return nullptr;
  // Only windows whose procedure is ours carry a control pointer.
  if (reinterpret_cast<WNDPROC>(GetWindowLongPtrA(h, GWLP_WNDPROC)) != &ZivoWindowProc) return nullptr;
  return reinterpret_cast<TWinControl*>(GetWindowLongPtrA(h, GWLP_USERDATA));
}

TWinControl* FindControl(HWND h) {
  for (; h; h = GetParent(h))
    if (TWinControl* c = TWinControl::FromHandle(h)) return c;
  return nullptr;
}

void TWinControl::CreateParams(TCreateParams& p) {
  RegisterFrameworkWindowClass("TZivoPanel", CS_HREDRAW | CS_VREDRAW, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  p.ClassName = "TZivoPanel";
  p.Style = WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
  p.ExStyle = WS_EX_CONTROLPARENT;
}

void TWinControl::HandleNeeded() {
  if (FHandle) return;
  TCreateParams p;
  if (FParent) {
    FParent->HandleNeeded();
    p.Parent = FParent->Handle();
  }
  CreateParams(p);
  if (FParent) p.Parent = FParent->Handle();
  DWORD style = p.Style;
  if (FVisible && (style & WS_CHILD)) style |= WS_VISIBLE;
  if (!FEnabled) style |= WS_DISABLED;
  if (FTabStop) style |= WS_TABSTOP;
  HMENU id = (style & WS_CHILD) ? reinterpret_cast<HMENU>(static_cast<INT_PTR>(g_nextId++)) : nullptr;
  HWND h = CreateWindowExA(p.ExStyle, p.ClassName.c_str(), FCaption.c_str(), style, FLeft, FTop, FWidth, FHeight,
                           p.Parent, id, GetModuleHandleA(nullptr), nullptr);
  if (!h) throw EOutOfResources("Error creating window of class " + p.ClassName);
  FHandle = h;
  SetWindowLongPtrA(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  FDefProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ZivoWindowProc)));
  try {
    ApplyFont();
    CreateWnd();
    for (TControl* c : FControls)
      if (auto* w = dynamic_cast<TWinControl*>(c)) w->HandleNeeded();
    Realign();
  } catch (...) {
    DestroyHandle();
    throw;
  }
}

void TWinControl::CreateWnd() {}
void TWinControl::DestroyWnd() {
  if (FHandle) FCaption = Caption();
}

void TWinControl::DestroyHandle() {
  if (!FHandle) return;
  for (TControl* c : FControls)
    if (auto* w = dynamic_cast<TWinControl*>(c)) w->DestroyHandle();
  DestroyWnd();
  HWND h = FHandle;
  DestroyWindow(h);
  FHandle = nullptr;
}

void TWinControl::RecreateWnd() {
  if (!FHandle) return;
  DestroyHandle();
  HandleNeeded();
}

LRESULT TWinControl::DefaultHandler(UINT msg, WPARAM wp, LPARAM lp) {
  return FDefProc ? CallWindowProcA(FDefProc, FHandle, msg, wp, lp) : DefWindowProcA(FHandle, msg, wp, lp);
}

HBRUSH TWinControl::CtlColor(HDC dc) {
  (void)dc;
  return nullptr;
}

LRESULT TWinControl::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      if (lp) {
        if (TWinControl* c = FromHandle(reinterpret_cast<HWND>(lp))) {
          c->CommandNotify(HIWORD(wp));
          return 0;
        }
      }
      break;
    case WM_NOTIFY: {
      auto* n = reinterpret_cast<NMHDR*>(lp);
      if (TWinControl* c = FromHandle(n->hwndFrom)) return c->NotifyNotify(*n);
      break;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORLISTBOX:
      if (TWinControl* c = FromHandle(reinterpret_cast<HWND>(lp))) {
        if (HBRUSH b = c->CtlColor(reinterpret_cast<HDC>(wp))) return reinterpret_cast<LRESULT>(b);
      }
      break;
    case WM_SIZE:
      Realign();
      break;
    case WM_SETCURSOR:
      if (reinterpret_cast<HWND>(wp) == FHandle && FCursor == TCursor::crHandPoint) {
        ::SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32649) /* IDC_HAND */));
        return TRUE;
      }
      break;
    case WM_CHAR:
      if (OnKeyPress) {
        char k = static_cast<char>(wp);
        OnKeyPress(this, k);
        if (k == 0) return 0;
        wp = static_cast<unsigned char>(k);
      }
      break;
    default:
      break;
  }
  return DefaultHandler(msg, wp, lp);
}

LRESULT CALLBACK ZivoWindowProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<TWinControl*>(GetWindowLongPtrA(h, GWLP_USERDATA));
  if (!self) return DefWindowProcA(h, msg, wp, lp);
  if (msg == WM_NCDESTROY) {
    // The window goes (also with its parent): the control forgets it.
    WNDPROC def = self->FDefProc;
    SetWindowLongPtrA(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(def));
    SetWindowLongPtrA(h, GWLP_USERDATA, 0);
    if (self->FHandle == h) self->FHandle = nullptr;
    return def ? CallWindowProcA(def, h, msg, wp, lp) : DefWindowProcA(h, msg, wp, lp);
  }
  try {
    if (msg == WM_SETFOCUS) NotifyFocus(h);
    return self->WndProc(msg, wp, lp);
  } catch (...) {
    HandleBoundaryException();
    return 0;
  }
}

void NotifyFocus(HWND h) {
  TWinControl* c = FindControl(h);
  if (!c) return;
  TWinControl* top = c;
  while (top->Parent()) top = top->Parent();
  top->FocusMovedTo(c);
}

void TWinControl::FocusMovedTo(TWinControl* c) {
  TWinControl* old = FActiveControl;
  if (old == c) return;
  FActiveControl = c;
  auto contains = [](TWinControl* outer, TWinControl* inner) {
    for (TWinControl* x = inner; x; x = x->Parent())
      if (x == outer) return true;
    return false;
  };
  // Innermost first: every control that the focus left, up to the common ancestor.
  for (TWinControl* x = old; x && x != this; x = x->Parent())
    if (!contains(x, c)) x->DoExit();
  std::vector<TWinControl*> entered;
  for (TWinControl* x = c; x && x != this; x = x->Parent())
    if (!old || !contains(x, old)) entered.push_back(x);
  for (auto it = entered.rbegin(); it != entered.rend(); ++it) (*it)->DoEnter();
}

void TWinControl::DoEnter() {
  if (OnEnter) OnEnter(this);
}
void TWinControl::DoExit() {
  if (OnExit) OnExit(this);
}

void TWinControl::ApplyFont() {
  if (FHandle) SendMessageA(FHandle, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.Handle()), TRUE);
}

void TWinControl::FontChanged() {
  ApplyFont();
  for (TControl* c : FControls) {
    if (!c->FParentFont) continue;
    g_syncingFont = true;
    c->FFont.Assign(&FFont);
    g_syncingFont = false;
  }
}

void TWinControl::ParentChanged() {
  if (!FParent) {
    if (FHandle && (GetWindowLongA(FHandle, GWL_STYLE) & WS_CHILD)) DestroyHandle();
    return;
  }
  if (FHandle) {
    ::SetParent(FHandle, FParent->Handle());
  } else if (FParent->Handle()) {
    HandleNeeded();
  }
}

void TWinControl::InsertControl(TControl* c) { FControls.push_back(c); }
void TWinControl::RemoveControl(TControl* c) {
  FControls.erase(std::remove(FControls.begin(), FControls.end(), c), FControls.end());
  if (FActiveControl == c) FActiveControl = nullptr;
}

std::string TWinControl::Caption() const {
  if (!FHandle) return FCaption;
  int n = GetWindowTextLengthA(FHandle);
  std::string s(static_cast<size_t>(n) + 1, '\0');
  int got = GetWindowTextA(FHandle, s.data(), n + 1);
  s.resize(static_cast<size_t>(std::max(got, 0)));
  return s;
}

void TWinControl::SetCaption(const std::string& s) {
  FCaption = s;
  if (FHandle) SetWindowTextA(FHandle, s.c_str());
}

void TWinControl::SetBounds(int l, int t, int w, int h) {
  TControl::SetBounds(l, t, w, h);
  if (FHandle) SetWindowPos(FHandle, nullptr, l, t, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
  RequestAlign();
}

void TWinControl::SetEnabled(bool e) {
  TControl::SetEnabled(e);
  if (FHandle) EnableWindow(FHandle, e);
}

void TWinControl::SetVisible(bool v) {
  TControl::SetVisible(v);
  if (FHandle && (GetWindowLongA(FHandle, GWL_STYLE) & WS_CHILD)) ShowWindow(FHandle, v ? SW_SHOWNA : SW_HIDE);
}

void TWinControl::SetTabOrder(int t) {
  FTabOrder = t;
  if (!FParent) return;
  // Window order is tab order: place this window after its predecessor in tab order.
  auto& sibs = FParent->FControls;
  std::vector<TWinControl*> wins;
  for (TControl* c : sibs)
    if (auto* w = dynamic_cast<TWinControl*>(c)) wins.push_back(w);
  std::stable_sort(wins.begin(), wins.end(), [](TWinControl* a, TWinControl* b) {
    int ta = a->FTabOrder < 0 ? 1 << 30 : a->FTabOrder, tb = b->FTabOrder < 0 ? 1 << 30 : b->FTabOrder;
    return ta < tb;
  });
  HWND after = HWND_TOP;
  for (TWinControl* w : wins) {
    if (!w->FHandle) continue;
    SetWindowPos(w->FHandle, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    after = w->FHandle;
  }
}

void TWinControl::SetTabStop(bool t) {
  FTabStop = t;
  if (!FHandle) return;
  LONG s = GetWindowLongA(FHandle, GWL_STYLE);
  SetWindowLongA(FHandle, GWL_STYLE, t ? (s | WS_TABSTOP) : (s & ~WS_TABSTOP));
}

bool TWinControl::Focused() const {
  HWND f = GetFocus();
  return FHandle && (f == FHandle || IsChild(FHandle, f));
}

bool TWinControl::CanFocus() const { return FHandle && IsWindowVisible(FHandle) && IsWindowEnabled(FHandle); }

void TWinControl::SetFocus() {
  if (!CanFocus()) throw EInvalidOperation("Cannot focus a disabled or invisible window");
  ::SetFocus(FHandle);
}

void TWinControl::Realign() {
  if (!FHandle) return;
  RECT rc;
  GetClientRect(FHandle, &rc);
  TRect r{rc.left, rc.top, rc.right, rc.bottom};
  for (TAlign a : {TAlign::alTop, TAlign::alBottom, TAlign::alLeft, TAlign::alRight, TAlign::alClient}) {
    for (TControl* c : FControls) {
      if (c->FAlign != a || !c->FVisible) continue;
      int l = c->FLeft, t = c->FTop, w = c->FWidth, h = c->FHeight;
      switch (a) {
        case TAlign::alTop: l = r.Left; t = r.Top; w = r.Width(); r.Top += h; break;
        case TAlign::alBottom: l = r.Left; w = r.Width(); r.Bottom -= h; t = r.Bottom; break;
        case TAlign::alLeft: l = r.Left; t = r.Top; h = r.Height(); r.Left += w; break;
        case TAlign::alRight: t = r.Top; h = r.Height(); r.Right -= w; l = r.Right; break;
        default: l = r.Left; t = r.Top; w = r.Width(); h = r.Height(); break;
      }
      TAlign keep = c->FAlign;
      c->FAlign = TAlign::alNone;  // no re-entry while placing
      c->SetBounds(l, t, std::max(w, 0), std::max(h, 0));
      c->FAlign = keep;
    }
  }
}

}  // namespace zf
