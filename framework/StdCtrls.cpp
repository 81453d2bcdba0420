#include "StdCtrls.h"

#include <commctrl.h>
#include <richedit.h>

#include <algorithm>

#include "ExceptHook.h"

namespace zf {

const TEnumInfo AlignmentInfo("TAlignment", {"taLeftJustify", "taRightJustify", "taCenter"});
const TEnumInfo ComboBoxStyleInfo("TComboBoxStyle", {"csDropDown", "csSimple", "csDropDownList"});
const TEnumInfo PanelBevelInfo("TPanelBevel", {"bvNone", "bvLowered", "bvRaised", "bvSpace"});
const TEnumInfo ScrollStyleInfo("TScrollStyle", {"ssNone", "ssHorizontal", "ssVertical", "ssBoth"});
const TEnumInfo TabStyleInfo("TTabStyle", {"tsTabs", "tsButtons", "tsFlatButtons"});

namespace {

// Text colour of the control's font on the background of `colorOwner`.
HBRUSH PaintColors(TControl& c, TControl& colorOwner, std::unique_ptr<TBrush>& brush, HDC dc, bool transparent) {
  SetTextColor(dc, ColorToRGB(c.Font().Color()));
  if (!brush) brush = std::make_unique<TBrush>();
  brush->SetColor(colorOwner.Color());
  SetBkColor(dc, ColorToRGB(colorOwner.Color()));
  if (transparent) {
    SetBkMode(dc, TRANSPARENT);
    return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
  }
  return brush->Handle();
}

TControl& BackgroundOf(TControl& c) { return c.Parent() ? static_cast<TControl&>(*c.Parent()) : c; }

bool IsLoading(const TComponent& c) { return c.ComponentState().Has(csLoading); }

// Answers WM_ERASEBKGND by filling the client area with a colour.
LRESULT EraseWith(HWND h, WPARAM dc, TColor color) {
  RECT r;
  GetClientRect(h, &r);
  TBrush b;
  b.SetColor(color);
  FillRect(reinterpret_cast<HDC>(dc), &r, b.Handle());
  return 1;
}

// A string list property whose lines go into a control's own TStrings.
template <class C>
void StringsProperty(TPublisher<C>& p, const std::string& name, TStrings& (C::*get)()) {
  p.Custom(name, [get](C& c, const TPropertyValue& v) {
    if (v.kind != TPropertyValue::Kind::List) throw EPropertyError("Invalid property value");
    (c.*get)().Assign(v.Items);
  });
}

}  // namespace

// --- TLabel ----------------------------------------------------------------------

TLabel::TLabel(TComponent* owner) : TWinControl(owner) {
  FWidth = 65;
  FHeight = 13;
}

const TClassInfo& TLabel::StaticClassInfo() {
  return MakeClassInfo<TLabel, TWinControl>("TLabel", [](TPublisher<TLabel>& p) {
    p.Boolean("AutoSize", &TLabel::SetAutoSize);
    p.Boolean("Transparent", &TLabel::SetTransparent);
    p.Boolean("WordWrap", &TLabel::SetWordWrap);
    p.Enum("Alignment", &TLabel::SetAlignment, AlignmentInfo);
    p.Ignored("Layout");
    p.Ignored("FocusControl");
    p.Creatable();
  });
}

void TLabel::CreateParams(TCreateParams& p) {
  p.ClassName = "STATIC";
  p.Style = WS_CHILD | WS_CLIPSIBLINGS | SS_NOTIFY | SS_NOPREFIX;
  p.ExStyle = 0;
  if (FAlignment == TAlignment::taRightJustify) p.Style |= SS_RIGHT;
  else if (FAlignment == TAlignment::taCenter) p.Style |= SS_CENTER;
  else p.Style |= FWordWrap ? SS_LEFT : SS_LEFTNOWORDWRAP;
}

void TLabel::AdjustSize() {
  if (!FAutoSize || !FHandle || FWordWrap) return;
  HDC dc = GetDC(FHandle);
  HGDIOBJ old = SelectObject(dc, FFont.Handle());
  RECT r{0, 0, 0, 0};
  std::string t = FCaption.empty() ? std::string(" ") : FCaption;
  DrawTextA(dc, t.c_str(), static_cast<int>(t.size()), &r, DT_CALCRECT | DT_NOPREFIX | DT_SINGLELINE);
  SelectObject(dc, old);
  ReleaseDC(FHandle, dc);
  TWinControl::SetBounds(FLeft, FTop, r.right, r.bottom);
}

void TLabel::SetAutoSize(bool a) {
  FAutoSize = a;
  AdjustSize();
}
void TLabel::SetTransparent(bool t) {
  FTransparent = t;
  if (FHandle) InvalidateRect(FHandle, nullptr, TRUE);
}
void TLabel::SetWordWrap(bool w) {
  FWordWrap = w;
  RecreateWnd();
}
void TLabel::SetAlignment(TAlignment a) {
  FAlignment = a;
  RecreateWnd();
}
void TLabel::SetCaption(const std::string& s) {
  TWinControl::SetCaption(s);
  AdjustSize();
}
void TLabel::FontChanged() {
  TWinControl::FontChanged();
  AdjustSize();
  if (FHandle) InvalidateRect(FHandle, nullptr, TRUE);
}
void TLabel::CommandNotify(WORD code) {
  if (code == STN_CLICKED) Click();
}
HBRUSH TLabel::CtlColor(HDC dc) {
  return PaintColors(*this, FColorSet ? static_cast<TControl&>(*this) : BackgroundOf(*this), FCtlBrush, dc,
                     FTransparent);
}
LRESULT TLabel::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCHITTEST) return HTCLIENT;
  return TWinControl::WndProc(msg, wp, lp);
}

// --- TEdit -----------------------------------------------------------------------

TEdit::TEdit(TComponent* owner) : TWinControl(owner) {
  FWidth = 121;
  FHeight = 21;
  FTabStop = true;
  FColor = clWindow;
}

const TClassInfo& TEdit::StaticClassInfo() {
  return MakeClassInfo<TEdit, TWinControl>("TEdit", [](TPublisher<TEdit>& p) {
    p.Boolean("ReadOnly", &TEdit::SetReadOnly);
    p.Integer("MaxLength", &TEdit::SetMaxLength);
    p.Event("OnChange", &TEdit::SetOnChange);
    p.Ignored("CharCase");
    p.Ignored("AutoSize");
    p.Creatable();
  });
}

void TEdit::CreateParams(TCreateParams& p) {
  p.ClassName = "EDIT";
  p.Style = WS_CHILD | WS_CLIPSIBLINGS | ES_AUTOHSCROLL;
  p.ExStyle = WS_EX_CLIENTEDGE;
}

void TEdit::CreateWnd() {
  SendMessageA(FHandle, EM_LIMITTEXT, static_cast<WPARAM>(FMaxLength), 0);
  SendMessageA(FHandle, EM_SETREADONLY, FReadOnly, 0);
}

void TEdit::SetReadOnly(bool r) {
  FReadOnly = r;
  if (FHandle) SendMessageA(FHandle, EM_SETREADONLY, r, 0);
}
void TEdit::SetMaxLength(int n) {
  FMaxLength = std::max(n, 0);
  if (FHandle) SendMessageA(FHandle, EM_LIMITTEXT, static_cast<WPARAM>(FMaxLength), 0);
}
void TEdit::SelectAll() {
  if (FHandle) SendMessageA(FHandle, EM_SETSEL, 0, -1);
}
int TEdit::SelStart() const {
  DWORD s = 0, e = 0;
  if (FHandle) SendMessageA(FHandle, EM_GETSEL, reinterpret_cast<WPARAM>(&s), reinterpret_cast<LPARAM>(&e));
  return static_cast<int>(s);
}
void TEdit::SetSelStart(int p) {
  if (FHandle) SendMessageA(FHandle, EM_SETSEL, static_cast<WPARAM>(p), p);
}
int TEdit::SelLength() const {
  DWORD s = 0, e = 0;
  if (FHandle) SendMessageA(FHandle, EM_GETSEL, reinterpret_cast<WPARAM>(&s), reinterpret_cast<LPARAM>(&e));
  return static_cast<int>(e - s);
}
void TEdit::SetSelLength(int n) {
  if (FHandle) {
    int s = SelStart();
    SendMessageA(FHandle, EM_SETSEL, static_cast<WPARAM>(s), s + n);
  }
}
void TEdit::CommandNotify(WORD code) {
  if (code == EN_CHANGE && OnChange && !IsLoading(*this)) OnChange(this);
}
HBRUSH TEdit::CtlColor(HDC dc) {
  if (!FColorSet && FFont.Color() == clWindowText) return nullptr;
  return PaintColors(*this, *this, FCtlBrush, dc, false);
}

// --- TMaskEdit -------------------------------------------------------------------

TMaskEdit::TMaskEdit(TComponent* owner) : TEdit(owner) {}

const TClassInfo& TMaskEdit::StaticClassInfo() {
  return MakeClassInfo<TMaskEdit, TEdit>("TMaskEdit", [](TPublisher<TMaskEdit>& p) {
    p.String("EditMask", &TMaskEdit::SetEditMask);
    p.Creatable();
  });
}

void TMaskEdit::Show(int caret) {
  if (!FHandle) return;
  std::string t = FModel.EditText();
  SetWindowTextA(FHandle, t.c_str());
  SendMessageA(FHandle, EM_SETSEL, static_cast<WPARAM>(caret), caret);
}

void TMaskEdit::SetEditMask(const std::string& m) {
  if (!FModel.IsMasked()) FModel.SetText(TEdit::Caption());
  FModel.SetEditMask(m);
  if (FModel.IsMasked() && FHandle) SendMessageA(FHandle, EM_LIMITTEXT, static_cast<WPARAM>(FModel.MaskLength()), 0);
  if (FModel.IsMasked()) {
    FCaption = FModel.EditText();
    Show(FModel.NextInput(0));
  } else {
    TEdit::SetCaption(FModel.Text());
    if (FHandle) SendMessageA(FHandle, EM_LIMITTEXT, static_cast<WPARAM>(FMaxLength), 0);
  }
}

std::string TMaskEdit::Caption() const { return FModel.IsMasked() ? FModel.Text() : TEdit::Caption(); }

void TMaskEdit::SetCaption(const std::string& s) {
  if (!FModel.IsMasked()) {
    TEdit::SetCaption(s);
    return;
  }
  FModel.SetText(s);
  FCaption = FModel.EditText();
  Show(0);
}

void TMaskEdit::Clear() {
  if (!FModel.IsMasked()) {
    TEdit::SetCaption("");
    return;
  }
  FModel.Clear();
  Show(FModel.NextInput(0));
}

void TMaskEdit::CreateWnd() {
  TEdit::CreateWnd();
  if (FModel.IsMasked()) {
    SendMessageA(FHandle, EM_LIMITTEXT, static_cast<WPARAM>(FModel.MaskLength()), 0);
    Show(0);
  }
}

LRESULT TMaskEdit::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  if (!FModel.IsMasked()) return TEdit::WndProc(msg, wp, lp);
  DWORD s = 0, e = 0;
  auto sel = [&] { SendMessageA(FHandle, EM_GETSEL, reinterpret_cast<WPARAM>(&s), reinterpret_cast<LPARAM>(&e)); };
  switch (msg) {
    case WM_CHAR: {
      char c = static_cast<char>(wp);
      if (OnKeyPress) {
        OnKeyPress(this, c);
        if (c == 0) return 0;
      }
      if (FReadOnly) return 0;
      sel();
      int len = static_cast<int>(e - s);
      if (c == '\b') {
        Show(FModel.Backspace(static_cast<int>(s), len));
      } else if (static_cast<unsigned char>(c) >= 0x20) {
        int caret = FModel.TypeChar(static_cast<int>(s), len, c);
        if (FModel.Accepted()) Show(caret);
        else MessageBeep(0);
      }
      return 0;
    }
    case WM_KEYDOWN:
      if (wp == VK_DELETE && !FReadOnly) {
        sel();
        Show(FModel.DeleteChars(static_cast<int>(s), static_cast<int>(e - s)));
        return 0;
      }
      break;
    case WM_CUT:
    case WM_CLEAR:
      if (!FReadOnly) {
        if (msg == WM_CUT) TEdit::WndProc(WM_COPY, 0, 0);
        sel();
        Show(FModel.DeleteChars(static_cast<int>(s), static_cast<int>(e - s)));
      }
      return 0;
    case WM_PASTE:
      return 0;
    default:
      break;
  }
  return TEdit::WndProc(msg, wp, lp);
}

// --- TComboBox -------------------------------------------------------------------

class TComboBox::TItems : public TStrings {
public:
  explicit TItems(TComboBox& c) : FCombo(c) {}
  int Count() const override { return static_cast<int>(FList.size()); }
  std::string Get(int i) const override {
    if (i < 0 || i >= Count()) IndexError(i);
    return FList[static_cast<size_t>(i)];
  }
  void Put(int i, const std::string& s) override {
    if (i < 0 || i >= Count()) IndexError(i);
    FList[static_cast<size_t>(i)] = s;
    if (HWND h = FCombo.Handle()) {
      LRESULT cur = SendMessageA(h, CB_GETCURSEL, 0, 0);
      SendMessageA(h, CB_DELETESTRING, static_cast<WPARAM>(i), 0);
      SendMessageA(h, CB_INSERTSTRING, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(s.c_str()));
      SendMessageA(h, CB_SETCURSEL, static_cast<WPARAM>(cur), 0);
    }
  }
  void Insert(int i, const std::string& s) override {
    if (i < 0 || i > Count()) IndexError(i);
    FList.insert(FList.begin() + i, s);
    if (HWND h = FCombo.Handle())
      SendMessageA(h, CB_INSERTSTRING, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(s.c_str()));
  }
  void Delete(int i) override {
    if (i < 0 || i >= Count()) IndexError(i);
    FList.erase(FList.begin() + i);
    if (HWND h = FCombo.Handle()) SendMessageA(h, CB_DELETESTRING, static_cast<WPARAM>(i), 0);
  }
  void Clear() override {
    FList.clear();
    if (HWND h = FCombo.Handle()) SendMessageA(h, CB_RESETCONTENT, 0, 0);
  }
  void Push(HWND h) const {
    for (const std::string& s : FList) SendMessageA(h, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s.c_str()));
  }

private:
  TComboBox& FCombo;
  std::vector<std::string> FList;
};

TComboBox::TComboBox(TComponent* owner) : TWinControl(owner), FItems(std::make_unique<TItems>(*this)) {
  FWidth = 145;
  FHeight = 21;
  FTabStop = true;
  FColor = clWindow;
}
TComboBox::~TComboBox() { DestroyHandle(); }

const TClassInfo& TComboBox::StaticClassInfo() {
  return MakeClassInfo<TComboBox, TWinControl>("TComboBox", [](TPublisher<TComboBox>& p) {
    p.Enum("Style", &TComboBox::SetStyle, ComboBoxStyleInfo);
    StringsProperty(p, "Items.Strings", &TComboBox::Items);
    p.Integer("ItemIndex", &TComboBox::SetItemIndex);
    p.Integer("DropDownCount", &TComboBox::SetDropDownCount);
    p.Boolean("Sorted", &TComboBox::SetSorted);
    p.Event("OnChange", &TComboBox::SetOnChange);
    p.Ignored("ItemHeight");
    p.Creatable();
  });
}

TStrings& TComboBox::Items() { return *FItems; }

void TComboBox::CreateParams(TCreateParams& p) {
  p.ClassName = "COMBOBOX";
  p.Style = WS_CHILD | WS_CLIPSIBLINGS | WS_VSCROLL | CBS_AUTOHSCROLL |
            (FStyle == TComboBoxStyle::csDropDownList ? CBS_DROPDOWNLIST
             : FStyle == TComboBoxStyle::csSimple    ? CBS_SIMPLE
                                                     : CBS_DROPDOWN);
  p.ExStyle = 0;
}

void TComboBox::SetBounds(int l, int t, int w, int h) {
  TControl::SetBounds(l, t, w, h);
  // The window's height includes the dropped-down list.
  if (FHandle)
    SetWindowPos(FHandle, nullptr, l, t, w, h + std::max(FDropDownCount, 1) * 16, SWP_NOZORDER | SWP_NOACTIVATE);
  RequestAlign();
}

void TComboBox::CreateWnd() {
  SetBounds(FLeft, FTop, FWidth, FHeight);
  FItems->Push(FHandle);
  SendMessageA(FHandle, CB_SETCURSEL, static_cast<WPARAM>(FItemIndex), 0);
  if (FStyle != TComboBoxStyle::csDropDownList && !FCaption.empty()) SetWindowTextA(FHandle, FCaption.c_str());
}

void TComboBox::DestroyWnd() {
  if (!FHandle) return;
  FItemIndex = static_cast<int>(SendMessageA(FHandle, CB_GETCURSEL, 0, 0));
  FCaption = Caption();
}

int TComboBox::ItemIndex() const {
  if (FHandle) return static_cast<int>(SendMessageA(FHandle, CB_GETCURSEL, 0, 0));
  return FItemIndex;
}

void TComboBox::SetItemIndex(int i) {
  FItemIndex = i;
  if (FHandle && !IsLoading(*this)) SendMessageA(FHandle, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
}

std::string TComboBox::Caption() const {
  if (FStyle == TComboBoxStyle::csDropDownList) {
    int i = ItemIndex();
    return i >= 0 && i < FItems->Count() ? FItems->Get(i) : std::string();
  }
  return TWinControl::Caption();
}

void TComboBox::SetCaption(const std::string& s) {
  if (FStyle == TComboBoxStyle::csDropDownList) {
    FCaption = s;
    int i = FItems->IndexOf(s);
    if (!IsLoading(*this)) SetItemIndex(i);
    return;
  }
  TWinControl::SetCaption(s);
}

void TComboBox::Loaded() {
  TWinControl::Loaded();
  // Items, ItemIndex and Text may stand in any order in a layout.
  std::string text = FCaption;
  if (FHandle) SendMessageA(FHandle, CB_SETCURSEL, static_cast<WPARAM>(FItemIndex), 0);
  if (FStyle != TComboBoxStyle::csDropDownList && !text.empty()) TWinControl::SetCaption(text);
}

void TComboBox::SetStyle(TComboBoxStyle s) {
  if (s == FStyle) return;
  if (FHandle) DestroyWnd();
  FStyle = s;
  RecreateWnd();
}

void TComboBox::Clear() {
  FItems->Clear();
  FItemIndex = -1;
  TWinControl::SetCaption("");
}

void TComboBox::CommandNotify(WORD code) {
  if (IsLoading(*this)) return;
  if (code == CBN_SELCHANGE) {
    Click();
    if (OnChange) OnChange(this);
  } else if (code == CBN_EDITCHANGE) {
    if (OnChange) OnChange(this);
  } else if (code == CBN_SETFOCUS) {
    NotifyFocus(FHandle);
  }
}

HBRUSH TComboBox::CtlColor(HDC dc) {
  (void)dc;
  return nullptr;
}

// --- TCheckBox -------------------------------------------------------------------

TCheckBox::TCheckBox(TComponent* owner) : TWinControl(owner) {
  FWidth = 97;
  FHeight = 17;
  FTabStop = true;
}

const TClassInfo& TCheckBox::StaticClassInfo() {
  return MakeClassInfo<TCheckBox, TWinControl>("TCheckBox", [](TPublisher<TCheckBox>& p) {
    p.Boolean("Checked", &TCheckBox::SetChecked);
    p.Ignored("Alignment");
    p.Ignored("State");
    p.Creatable();
  });
}

void TCheckBox::CreateParams(TCreateParams& p) {
  p.ClassName = "BUTTON";
  p.Style = WS_CHILD | WS_CLIPSIBLINGS | BS_AUTOCHECKBOX;
  p.ExStyle = 0;
}

void TCheckBox::CreateWnd() { SendMessageA(FHandle, BM_SETCHECK, FChecked ? BST_CHECKED : BST_UNCHECKED, 0); }
void TCheckBox::DestroyWnd() {
  TWinControl::DestroyWnd();
  FChecked = Checked();
}

bool TCheckBox::Checked() const {
  if (FHandle) return SendMessageA(FHandle, BM_GETCHECK, 0, 0) == BST_CHECKED;
  return FChecked;
}

void TCheckBox::SetChecked(bool c) {
  if (c == Checked()) return;
  FChecked = c;
  if (FHandle) SendMessageA(FHandle, BM_SETCHECK, c ? BST_CHECKED : BST_UNCHECKED, 0);
  if (!IsLoading(*this)) Click();
}

void TCheckBox::CommandNotify(WORD code) {
  if (code != BN_CLICKED) return;
  FChecked = Checked();
  Click();
}

// --- TGroupBox -------------------------------------------------------------------

TGroupBox::TGroupBox(TComponent* owner) : TWinControl(owner) {
  FWidth = 185;
  FHeight = 105;
}

const TClassInfo& TGroupBox::StaticClassInfo() {
  return MakeClassInfo<TGroupBox, TWinControl>("TGroupBox", [](TPublisher<TGroupBox>& p) { p.Creatable(); });
}

void TGroupBox::CreateParams(TCreateParams& p) {
  p.ClassName = "BUTTON";
  p.Style = WS_CHILD | WS_CLIPSIBLINGS | BS_GROUPBOX;
  p.ExStyle = WS_EX_CONTROLPARENT;
}

LRESULT TGroupBox::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_ERASEBKGND) return EraseWith(FHandle, wp, FColorSet ? FColor : BackgroundOf(*this).Color());
  // A group box lets clicks through to what lies beneath; its children must get them.
  if (msg == WM_NCHITTEST) return HTCLIENT;
  return TWinControl::WndProc(msg, wp, lp);
}

// --- TRadioGroup -----------------------------------------------------------------

namespace {
const char kOldProcProp[] = "ZivoOldProc";
}

LRESULT CALLBACK RadioButtonProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  auto old = reinterpret_cast<WNDPROC>(GetPropA(h, kOldProcProp));
  if (!old) return DefWindowProcA(h, msg, wp, lp);
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrA(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(old));
    RemovePropA(h, kOldProcProp);
    return CallWindowProcA(old, h, msg, wp, lp);
  }
  try {
    if (msg == WM_SETFOCUS) NotifyFocus(h);
  } catch (...) {
    HandleBoundaryException();
  }
  return CallWindowProcA(old, h, msg, wp, lp);
}

TRadioGroup::TRadioGroup(TComponent* owner) : TGroupBox(owner), FItems(std::make_unique<TStringList>()) {
  FItems->OnChange = [this](TObject*) { RebuildButtons(); };
  FTabStop = false;
}
TRadioGroup::~TRadioGroup() {
  FItems->OnChange = nullptr;
  DestroyHandle();
}

const TClassInfo& TRadioGroup::StaticClassInfo() {
  return MakeClassInfo<TRadioGroup, TGroupBox>("TRadioGroup", [](TPublisher<TRadioGroup>& p) {
    StringsProperty(p, "Items.Strings", &TRadioGroup::Items);
    p.Integer("ItemIndex", &TRadioGroup::SetItemIndex);
    p.Integer("Columns", &TRadioGroup::SetColumns);
    p.Creatable();
  });
}

TStrings& TRadioGroup::Items() { return *FItems; }

HWND TRadioGroup::ButtonHandle(int i) const {
  return i >= 0 && i < static_cast<int>(FButtons.size()) ? FButtons[static_cast<size_t>(i)] : nullptr;
}

void TRadioGroup::RebuildButtons() {
  if (!FHandle) return;
  for (HWND b : FButtons) DestroyWindow(b);
  FButtons.clear();
  for (int i = 0; i < FItems->Count(); ++i) {
    DWORD style = WS_CHILD | WS_VISIBLE | BS_AUTORADIOBUTTON | (i == 0 ? WS_GROUP | WS_TABSTOP : 0);
    HWND b = CreateWindowExA(0, "BUTTON", FItems->Get(i).c_str(), style, 0, 0, 10, 10, FHandle,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(i + 1)), GetModuleHandleA(nullptr), nullptr);
    if (!b) throw EOutOfResources("Error creating window of class BUTTON");
    SetPropA(b, kOldProcProp,
             reinterpret_cast<HANDLE>(SetWindowLongPtrA(b, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RadioButtonProc))));
    SendMessageA(b, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.Handle()), FALSE);
    SendMessageA(b, BM_SETCHECK, i == FItemIndex ? BST_CHECKED : BST_UNCHECKED, 0);
    FButtons.push_back(b);
  }
  ArrangeButtons();
}

void TRadioGroup::ArrangeButtons() {
  if (!FHandle || FButtons.empty()) return;
  RECT r;
  GetClientRect(FHandle, &r);
  int cols = std::max(FColumns, 1);
  int n = static_cast<int>(FButtons.size());
  int rows = (n + cols - 1) / cols;
  int top = 16, bottom = r.bottom - 4;
  int itemH = std::max((bottom - top) / std::max(rows, 1), 14);
  int colW = (r.right - 16) / cols;
  for (int i = 0; i < n; ++i) {
    int c = i / rows, row = i % rows;
    SetWindowPos(FButtons[static_cast<size_t>(i)], nullptr, 8 + c * colW, top + row * itemH + (itemH - 17) / 2,
                 colW - 4, 17, SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void TRadioGroup::CreateWnd() {
  TGroupBox::CreateWnd();
  RebuildButtons();
}

void TRadioGroup::DestroyWnd() {
  TGroupBox::DestroyWnd();
  FButtons.clear();  // they go with the group's window
}

void TRadioGroup::Loaded() {
  TGroupBox::Loaded();
  SetItemIndex(FItemIndex);
}

void TRadioGroup::SetItemIndex(int i) {
  // A layout may give the index before the items.
  if (IsLoading(*this)) {
    FItemIndex = i;
    return;
  }
  if (i < -1 || i >= FItems->Count()) i = -1;
  FItemIndex = i;
  for (size_t k = 0; k < FButtons.size(); ++k)
    SendMessageA(FButtons[k], BM_SETCHECK, static_cast<int>(k) == i ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TRadioGroup::SetColumns(int c) {
  FColumns = std::clamp(c, 1, 16);
  ArrangeButtons();
}

void TRadioGroup::SetBounds(int l, int t, int w, int h) {
  TGroupBox::SetBounds(l, t, w, h);
  ArrangeButtons();
}

void TRadioGroup::SetFocus() {
  HWND b = ButtonHandle(FItemIndex >= 0 ? FItemIndex : 0);
  if (b && IsWindowVisible(b) && IsWindowEnabled(b)) ::SetFocus(b);
  else TGroupBox::SetFocus();
}

void TRadioGroup::ButtonClicked(int i) {
  if (i == FItemIndex) return;
  FItemIndex = i;
  Click();
}

LRESULT TRadioGroup::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_COMMAND && lp && HIWORD(wp) == BN_CLICKED) {
    auto it = std::find(FButtons.begin(), FButtons.end(), reinterpret_cast<HWND>(lp));
    if (it != FButtons.end()) {
      ButtonClicked(static_cast<int>(it - FButtons.begin()));
      return 0;
    }
  }
  if (msg == WM_SIZE) ArrangeButtons();
  return TGroupBox::WndProc(msg, wp, lp);
}

// --- TPanel ----------------------------------------------------------------------

TPanel::TPanel(TComponent* owner) : TWinControl(owner) {
  FWidth = 185;
  FHeight = 41;
}

const TClassInfo& TPanel::StaticClassInfo() {
  return MakeClassInfo<TPanel, TWinControl>("TPanel", [](TPublisher<TPanel>& p) {
    p.Enum("BevelOuter", &TPanel::SetBevelOuter, PanelBevelInfo);
    p.Enum("BevelInner", &TPanel::SetBevelInner, PanelBevelInfo);
    p.Ignored("BevelWidth");
    p.Ignored("BorderWidth");
    p.Ignored("BorderStyle");
    p.Creatable();
  });
}

void TPanel::CreateParams(TCreateParams& p) { TWinControl::CreateParams(p); }
void TPanel::SetBevelOuter(TPanelBevel b) {
  FBevelOuter = b;
  if (FHandle) InvalidateRect(FHandle, nullptr, TRUE);
}
void TPanel::SetBevelInner(TPanelBevel b) {
  FBevelInner = b;
  if (FHandle) InvalidateRect(FHandle, nullptr, TRUE);
}

LRESULT TPanel::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_ERASEBKGND) return EraseWith(FHandle, wp, FColor);
  if (msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(FHandle, &ps);
    RECT r;
    GetClientRect(FHandle, &r);
    auto edge = [](TPanelBevel b) -> UINT {
      return b == TPanelBevel::bvRaised ? BDR_RAISEDOUTER : b == TPanelBevel::bvLowered ? BDR_SUNKENOUTER : 0;
    };
    if (UINT e = edge(FBevelOuter)) DrawEdge(dc, &r, e, BF_RECT | BF_ADJUST);
    if (UINT e = edge(FBevelInner)) DrawEdge(dc, &r, e == BDR_RAISEDOUTER ? BDR_RAISEDINNER : BDR_SUNKENINNER,
                                              BF_RECT | BF_ADJUST);
    if (!FCaption.empty()) {
      HGDIOBJ old = SelectObject(dc, FFont.Handle());
      SetTextColor(dc, ColorToRGB(FFont.Color()));
      SetBkMode(dc, TRANSPARENT);
      DrawTextA(dc, FCaption.c_str(), static_cast<int>(FCaption.size()), &r,
                DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
      SelectObject(dc, old);
    }
    EndPaint(FHandle, &ps);
    return 0;
  }
  if (msg == WM_SETTEXT) {
    LRESULT res = TWinControl::WndProc(msg, wp, lp);
    InvalidateRect(FHandle, nullptr, TRUE);
    return res;
  }
  return TWinControl::WndProc(msg, wp, lp);
}

// --- TRichEdit -------------------------------------------------------------------

class TRichEdit::TLines : public TStrings {
public:
  explicit TLines(TRichEdit& e) : FEdit(e) {}
  int Count() const override {
    Sync();
    return static_cast<int>(FList.size());
  }
  std::string Get(int i) const override {
    Sync();
    if (i < 0 || i >= static_cast<int>(FList.size())) IndexError(i);
    return FList[static_cast<size_t>(i)];
  }
  void Put(int i, const std::string& s) override {
    Sync();
    if (i < 0 || i >= static_cast<int>(FList.size())) IndexError(i);
    FList[static_cast<size_t>(i)] = s;
    Push();
  }
  void Insert(int i, const std::string& s) override {
    Sync();
    if (i < 0 || i > static_cast<int>(FList.size())) IndexError(i);
    FList.insert(FList.begin() + i, s);
    Push();
  }
  void Delete(int i) override {
    Sync();
    if (i < 0 || i >= static_cast<int>(FList.size())) IndexError(i);
    FList.erase(FList.begin() + i);
    Push();
  }
  void Clear() override {
    FList.clear();
    Push();
  }
  // The window's text after the last change made here; typing changes it.
  std::string Joined() const {
    std::string t;
    for (size_t i = 0; i < FList.size(); ++i) {
      if (i) t += "\r\n";
      t += FList[i];
    }
    return t;
  }
  void Push() {
    std::string t = Joined();
    FEdit.FCaption = t;
    if (HWND h = FEdit.Handle()) {
      SetWindowTextA(h, t.c_str());
      SendMessageA(h, EM_SETSEL, static_cast<WPARAM>(-1), -1);
      SendMessageA(h, EM_SCROLLCARET, 0, 0);
      FPushed = FEdit.TWinControl::Caption();
    }
  }
  // Text typed into the window since the last change here becomes the lines.
  void Sync() const {
    if (!FEdit.Handle()) return;
    std::string now = FEdit.TWinControl::Caption();
    if (now == FPushed) return;
    TStringList l;
    l.SetText(now);
    FList = l.Lines();
    FPushed = now;
  }
  void SetFromText(const std::string& t) {
    TStringList l;
    l.SetText(t);
    FList = l.Lines();
    Push();
  }

private:
  TRichEdit& FEdit;
  mutable std::vector<std::string> FList;
  mutable std::string FPushed;
};

namespace {
void LoadRichEditLibrary() {
  static HMODULE lib = LoadLibraryA("riched20.dll");
  if (!lib) throw EOutOfResources("Cannot load riched20.dll");
}
}  // namespace

TRichEdit::TRichEdit(TComponent* owner) : TWinControl(owner), FLines(std::make_unique<TLines>(*this)) {
  FWidth = 185;
  FHeight = 89;
  FTabStop = true;
  FColor = clWindow;
}
TRichEdit::~TRichEdit() { DestroyHandle(); }

const TClassInfo& TRichEdit::StaticClassInfo() {
  return MakeClassInfo<TRichEdit, TWinControl>("TRichEdit", [](TPublisher<TRichEdit>& p) {
    StringsProperty(p, "Lines.Strings", &TRichEdit::Lines);
    p.Boolean("ReadOnly", &TRichEdit::SetReadOnly);
    p.Enum("ScrollBars", &TRichEdit::SetScrollBars, ScrollStyleInfo);
    p.Boolean("WordWrap", &TRichEdit::SetWordWrap);
    p.Ignored("PlainText");
    p.Creatable();
  });
}

TStrings& TRichEdit::Lines() { return *FLines; }

void TRichEdit::CreateParams(TCreateParams& p) {
  LoadRichEditLibrary();
  p.ClassName = "RichEdit20A";
  // Scroll bars stay, disabled while the text fits.
  p.Style = WS_CHILD | WS_CLIPSIBLINGS | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | ES_NOHIDESEL | ES_DISABLENOSCROLL;
  if (FScrollBars == TScrollStyle::ssVertical || FScrollBars == TScrollStyle::ssBoth) p.Style |= WS_VSCROLL;
  if (FScrollBars == TScrollStyle::ssHorizontal || FScrollBars == TScrollStyle::ssBoth) p.Style |= WS_HSCROLL;
  if (!FWordWrap) p.Style |= ES_AUTOHSCROLL;
  if (FReadOnly) p.Style |= ES_READONLY;
  p.ExStyle = WS_EX_CLIENTEDGE;
}

void TRichEdit::CreateWnd() {
  SendMessageA(FHandle, EM_SETREADONLY, FReadOnly, 0);
  FLines->Push();
}

void TRichEdit::DestroyWnd() {
  if (!FHandle) return;
  FLines->Sync();
  FCaption = FLines->Joined();
}

void TRichEdit::SetReadOnly(bool r) {
  FReadOnly = r;
  if (FHandle) SendMessageA(FHandle, EM_SETREADONLY, r, 0);
}
void TRichEdit::SetScrollBars(TScrollStyle s) {
  FScrollBars = s;
  if (FHandle) {
    DestroyWnd();
    RecreateWnd();
  }
}
void TRichEdit::SetWordWrap(bool w) {
  FWordWrap = w;
  if (FHandle) {
    DestroyWnd();
    RecreateWnd();
  }
}
std::string TRichEdit::Caption() const {
  FLines->Sync();
  return FLines->Text();
}
void TRichEdit::SetCaption(const std::string& s) { FLines->SetFromText(s); }
void TRichEdit::Clear() { FLines->Clear(); }

// --- TBitBtn ---------------------------------------------------------------------

TBitBtn::TBitBtn(TComponent* owner) : TWinControl(owner) {
  FWidth = 75;
  FHeight = 25;
  FTabStop = true;
}

const TClassInfo& TBitBtn::StaticClassInfo() {
  return MakeClassInfo<TBitBtn, TWinControl>("TBitBtn", [](TPublisher<TBitBtn>& p) {
    p.Boolean("Default", &TBitBtn::SetDefault);
    p.Boolean("Cancel", &TBitBtn::SetCancel);
    p.Ignored("ModalResult");
    p.Ignored("Glyph.Data");
    p.Ignored("NumGlyphs");
    p.Ignored("Kind");
    p.Ignored("Layout");
    p.Ignored("Spacing");
    p.Creatable();
  });
}

void TBitBtn::CreateParams(TCreateParams& p) {
  p.ClassName = "BUTTON";
  p.Style = WS_CHILD | WS_CLIPSIBLINGS | (FDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
  p.ExStyle = 0;
}

void TBitBtn::SetDefault(bool d) {
  FDefault = d;
  if (FHandle) SendMessageA(FHandle, BM_SETSTYLE, d ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
}

void TBitBtn::Click() { TWinControl::Click(); }

void TBitBtn::CommandNotify(WORD code) {
  if (code == BN_CLICKED) Click();
}

// --- TImage ----------------------------------------------------------------------

TImage::TImage(TComponent* owner) : TWinControl(owner), FPicture(std::make_unique<TPicture>()) {
  FWidth = 105;
  FHeight = 105;
  FPicture->OnChange = [this](TObject*) { PictureChanged(); };
}
TImage::~TImage() {
  FPicture->OnChange = nullptr;
  DestroyHandle();
}

const TClassInfo& TImage::StaticClassInfo() {
  return MakeClassInfo<TImage, TWinControl>("TImage", [](TPublisher<TImage>& p) {
    p.Custom("Picture.Data", [](TImage& i, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::Binary) throw EPropertyError("Invalid property value");
      TMemoryStream m(v.Str);
      i.Picture().ReadData(m);
    });
    p.Custom("Picture.Resource", [](TImage& i, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::String) throw EPropertyError("Invalid property value");
      i.Picture().LoadFromResource(v.Str);
    });
    p.Boolean("Stretch", &TImage::SetStretch);
    p.Boolean("Center", &TImage::SetCenter);
    p.Boolean("Proportional", &TImage::SetProportional);
    p.Boolean("Transparent", &TImage::SetTransparent);
    p.Boolean("AutoSize", &TImage::SetAutoSize);
    p.Creatable();
  });
}

void TImage::CreateParams(TCreateParams& p) {
  RegisterFrameworkWindowClass("TZivoImage", CS_HREDRAW | CS_VREDRAW, nullptr);
  p.ClassName = "TZivoImage";
  p.Style = WS_CHILD | WS_CLIPSIBLINGS;
  p.ExStyle = 0;
}

void TImage::PictureChanged() {
  if (FAutoSize && FPicture->Width() > 0) TWinControl::SetBounds(FLeft, FTop, FPicture->Width(), FPicture->Height());
  if (FPicture->Graphic()) FPicture->Graphic()->SetTransparent(FTransparent);
  if (FHandle) InvalidateRect(FHandle, nullptr, TRUE);
}

void TImage::SetStretch(bool s) { FStretch = s; PictureChanged(); }
void TImage::SetCenter(bool c) { FCenter = c; PictureChanged(); }
void TImage::SetProportional(bool p) { FProportional = p; PictureChanged(); }
void TImage::SetTransparent(bool t) { FTransparent = t; PictureChanged(); }
void TImage::SetAutoSize(bool a) { FAutoSize = a; PictureChanged(); }

TRect TImage::DestRect() const {
  int pw = FPicture->Width(), ph = FPicture->Height();
  int cw = FWidth, ch = FHeight;
  if (FHandle) {
    RECT r;
    GetClientRect(FHandle, &r);
    cw = r.right;
    ch = r.bottom;
  }
  int w = pw, h = ph;
  if (FStretch || (FProportional && (pw > cw || ph > ch))) {
    if (FProportional && pw > 0 && ph > 0) {
      if (static_cast<int64_t>(cw) * ph < static_cast<int64_t>(ch) * pw) {
        w = cw;
        h = static_cast<int>(static_cast<int64_t>(ph) * cw / pw);
      } else {
        h = ch;
        w = static_cast<int>(static_cast<int64_t>(pw) * ch / ph);
      }
    } else {
      w = cw;
      h = ch;
    }
  }
  TRect r = Bounds(0, 0, w, h);
  if (FCenter) r = Bounds((cw - w) / 2, (ch - h) / 2, w, h);
  return r;
}

LRESULT TImage::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_ERASEBKGND) {
    return FTransparent ? 1 : EraseWith(FHandle, wp, BackgroundOf(*this).Color());
  }
  if (msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(FHandle, &ps);
    try {
      if (TGraphic* g = FPicture->Graphic()) {
        TCanvas c;
        c.SetHandle(dc);
        c.StretchDraw(DestRect(), *g);
      }
    } catch (...) {
      EndPaint(FHandle, &ps);
      throw;
    }
    EndPaint(FHandle, &ps);
    return 0;
  }
  return TWinControl::WndProc(msg, wp, lp);
}

// --- TPageControl, TTabSheet -------------------------------------------------------

TPageControl::TPageControl(TComponent* owner) : TWinControl(owner) {
  FWidth = 289;
  FHeight = 193;
  FTabStop = true;
}

const TClassInfo& TPageControl::StaticClassInfo() {
  return MakeClassInfo<TPageControl, TWinControl>("TPageControl", [](TPublisher<TPageControl>& p) {
    p.Enum("Style", &TPageControl::SetStyle, TabStyleInfo);
    p.Custom("ActivePage", [](TPageControl& c, const TPropertyValue& v) {
      if (v.kind != TPropertyValue::Kind::Ident) throw EPropertyError("Invalid property value");
      c.FActiveName = v.Str;
      if (!IsLoading(c)) c.Loaded();
    });
    p.Integer("TabIndex", &TPageControl::SetActivePageIndex);
    p.Event("OnChange", &TPageControl::SetOnChange);
    p.Ignored("MultiLine");
    p.Ignored("TabHeight");
    p.Ignored("TabWidth");
    p.Creatable();
  });
}

void TPageControl::CreateParams(TCreateParams& p) {
  static const bool init = [] {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TAB_CLASSES};
    return InitCommonControlsEx(&icc) != FALSE;
  }();
  (void)init;
  p.ClassName = WC_TABCONTROLA;
  p.Style = WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
  if (FStyle == TTabStyle::tsButtons) p.Style |= TCS_BUTTONS;
  if (FStyle == TTabStyle::tsFlatButtons) p.Style |= TCS_BUTTONS | TCS_FLATBUTTONS;
  p.ExStyle = WS_EX_CONTROLPARENT;
}

void TPageControl::CreateWnd() {
  for (size_t i = 0; i < FPages.size(); ++i) {
    std::string cap = FPages[i]->Caption();
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = cap.data();
    SendMessageA(FHandle, TCM_INSERTITEMA, i, reinterpret_cast<LPARAM>(&item));
  }
  ShowActive();
}

void TPageControl::AddPage(TTabSheet* p) {
  FPages.push_back(p);
  if (FHandle) {
    std::string cap = p->Caption();
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = cap.data();
    SendMessageA(FHandle, TCM_INSERTITEMA, FPages.size() - 1, reinterpret_cast<LPARAM>(&item));
  }
  if (!FActive) FActive = p;
  ShowActive();
}

void TPageControl::RemovePage(TTabSheet* p) {
  auto it = std::find(FPages.begin(), FPages.end(), p);
  if (it == FPages.end()) return;
  if (FHandle) SendMessageA(FHandle, TCM_DELETEITEM, static_cast<WPARAM>(it - FPages.begin()), 0);
  FPages.erase(it);
  if (FActive == p) FActive = FPages.empty() ? nullptr : FPages.front();
  ShowActive();
}

void TPageControl::PageCaptionChanged(TTabSheet* p) {
  auto it = std::find(FPages.begin(), FPages.end(), p);
  if (it == FPages.end() || !FHandle) return;
  std::string cap = p->Caption();
  TCITEMA item{};
  item.mask = TCIF_TEXT;
  item.pszText = cap.data();
  SendMessageA(FHandle, TCM_SETITEMA, static_cast<WPARAM>(it - FPages.begin()), reinterpret_cast<LPARAM>(&item));
  ShowActive();
}

TRect TPageControl::DisplayRect() const {
  RECT r{0, 0, FWidth, FHeight};
  if (FHandle) {
    GetClientRect(FHandle, &r);
    SendMessageA(FHandle, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&r));
  }
  return TRect{r.left, r.top, r.right, r.bottom};
}

void TPageControl::ShowActive() {
  TRect d = DisplayRect();
  for (TTabSheet* p : FPages) {
    p->TWinControl::SetBounds(d.Left, d.Top, std::max(d.Width(), 0), std::max(d.Height(), 0));
    p->TWinControl::SetVisible(p == FActive);
  }
  if (FHandle) SendMessageA(FHandle, TCM_SETCURSEL, static_cast<WPARAM>(ActivePageIndex()), 0);
}

int TPageControl::ActivePageIndex() const {
  auto it = std::find(FPages.begin(), FPages.end(), FActive);
  return it == FPages.end() ? -1 : static_cast<int>(it - FPages.begin());
}

void TPageControl::SetActivePage(TTabSheet* p) {
  if (p && p->FPageControl != this) throw EInvalidOperation("Tab sheet of another page control");
  FActive = p;
  ShowActive();
}

void TPageControl::SetActivePageIndex(int i) {
  SetActivePage(i >= 0 && i < PageCount() ? FPages[static_cast<size_t>(i)] : nullptr);
}

void TPageControl::SetStyle(TTabStyle s) {
  FStyle = s;
  RecreateWnd();
}

void TPageControl::Loaded() {
  TWinControl::Loaded();
  if (FActiveName.empty()) return;
  auto* sheet = Owner() ? dynamic_cast<TTabSheet*>(Owner()->FindComponent(FActiveName)) : nullptr;
  if (!sheet || sheet->FPageControl != this) throw EPropertyError("Tab sheet " + FActiveName + " not found");
  FActiveName.clear();
  SetActivePage(sheet);
}

LRESULT TPageControl::NotifyNotify(NMHDR& n) {
  if (n.code == static_cast<UINT>(TCN_SELCHANGE)) {
    int i = static_cast<int>(SendMessageA(FHandle, TCM_GETCURSEL, 0, 0));
    if (i >= 0 && i < PageCount()) {
      FActive = FPages[static_cast<size_t>(i)];
      ShowActive();
      if (OnChange) OnChange(this);
    }
  }
  return 0;
}

LRESULT TPageControl::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  LRESULT r = TWinControl::WndProc(msg, wp, lp);
  if (msg == WM_SIZE) ShowActive();
  return r;
}

TTabSheet::TTabSheet(TComponent* owner) : TWinControl(owner) { FVisible = false; }

TTabSheet::~TTabSheet() {
  if (FPageControl && FParent == FPageControl) FPageControl->RemovePage(this);
}

const TClassInfo& TTabSheet::StaticClassInfo() {
  return MakeClassInfo<TTabSheet, TWinControl>("TTabSheet", [](TPublisher<TTabSheet>& p) {
    p.Ignored("TabVisible");
    p.Ignored("ImageIndex");
    p.Creatable();
  });
}

void TTabSheet::SetParent(TWinControl* p) {
  if (FPageControl && FParent == FPageControl) FPageControl->RemovePage(this);
  FPageControl = dynamic_cast<TPageControl*>(p);
  TWinControl::SetParent(p);
  if (FPageControl) FPageControl->AddPage(this);
}

void TTabSheet::SetCaption(const std::string& s) {
  TWinControl::SetCaption(s);
  if (FPageControl) FPageControl->PageCaptionChanged(this);
}

int TTabSheet::PageIndex() const {
  if (!FPageControl) return -1;
  for (int i = 0; i < FPageControl->PageCount(); ++i)
    if (FPageControl->Pages(i) == this) return i;
  return -1;
}

void TTabSheet::CreateParams(TCreateParams& p) { TWinControl::CreateParams(p); }

LRESULT TTabSheet::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_ERASEBKGND) return EraseWith(FHandle, wp, FColor);
  return TWinControl::WndProc(msg, wp, lp);
}

void RegisterStdControls() {
  for (const TClassInfo* c : {&TLabel::StaticClassInfo(), &TEdit::StaticClassInfo(), &TMaskEdit::StaticClassInfo(),
                              &TComboBox::StaticClassInfo(), &TCheckBox::StaticClassInfo(),
                              &TGroupBox::StaticClassInfo(), &TRadioGroup::StaticClassInfo(),
                              &TPanel::StaticClassInfo(), &TRichEdit::StaticClassInfo(), &TBitBtn::StaticClassInfo(),
                              &TImage::StaticClassInfo(), &TPageControl::StaticClassInfo(),
                              &TTabSheet::StaticClassInfo()})
    RegisterClass(*c);
  static const TClassInfo buttonAlias = [] {
    TClassInfo i("TButton", &TBitBtn::StaticClassInfo());
    i.Factory = [](TComponent* owner) -> TComponent* { return MakeOwned<TBitBtn>(owner); };
    return i;
  }();
  RegisterClass(buttonAlias);
}

}  // namespace zf
