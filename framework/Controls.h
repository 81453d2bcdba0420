// Controls over real Win32 windows. A TWinControl owns one window, made when
// it gets a parent that has one (forms make theirs at once); its state lives in
// fields and is pushed into the window, so style changes remake the window.
// Every window procedure catches C++ exceptions and hands them to the
// application (HandleBoundaryException).
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Classes.h"
#include "Graphics.h"
#include "Lists.h"

namespace zf {

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TKeyPressEvent = std::function<void(TObject* Sender, char& Key)>;

enum class TAlign : uint8_t { alNone, alTop, alBottom, alLeft, alRight, alClient };
extern const TEnumInfo AlignInfo;
enum class TCursor : uint8_t { crDefault, crArrow, crHandPoint, crHourGlass, crIBeam };
extern const TEnumInfo CursorInfo;

class TWinControl;

// Layout properties of every control: Left, Top, Width, Height, Align, Caption
// or Text, Enabled, Visible, Font.Name/.Size/.Height/.Style/.Color, ParentFont,
// Color, Cursor, Hint, ShowHint, TabOrder, TabStop, OnClick.
class TControl : public TComponent {
public:
  explicit TControl(TComponent* owner);
  ~TControl() override;
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }

  TWinControl* Parent() const { return FParent; }
  virtual void SetParent(TWinControl* p);
  void SetParentComponent(TComponent* p) override;

  int Left() const { return FLeft; }
  int Top() const { return FTop; }
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  void SetLeft(int v) { SetBounds(v, FTop, FWidth, FHeight); }
  void SetTop(int v) { SetBounds(FLeft, v, FWidth, FHeight); }
  void SetWidth(int v) { SetBounds(FLeft, FTop, v, FHeight); }
  void SetHeight(int v) { SetBounds(FLeft, FTop, FWidth, v); }
  virtual void SetBounds(int l, int t, int w, int h);
  TAlign Align() const { return FAlign; }
  void SetAlign(TAlign a);

  // Caption and Text are the same window text, as in the framework the system knows.
  virtual std::string Caption() const;
  virtual void SetCaption(const std::string& s);
  std::string Text() const { return Caption(); }
  void SetText(const std::string& s) { SetCaption(s); }
  bool Enabled() const { return FEnabled; }
  virtual void SetEnabled(bool e);
  bool Visible() const { return FVisible; }
  virtual void SetVisible(bool v);
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }

  TFont& Font() { return FFont; }
  bool ParentFont() const { return FParentFont; }
  void SetParentFont(bool p);
  TColor Color() const { return FColor; }
  void SetColor(TColor c);
  TCursor Cursor() const { return FCursor; }
  void SetCursor(TCursor c) { FCursor = c; }
  const std::string& Hint() const { return FHint; }
  void SetHint(const std::string& h) { FHint = h; }
  void SetShowHint(bool) {}

  TNotifyEvent OnClick;
  void SetOnClick(const TNotifyEvent& e) { OnClick = e; }
  // Raises OnClick.
  virtual void Click();

  // The window of a windowed control, else that of its parent.
  virtual HWND WindowHandle() const;

protected:
  virtual void FontChanged();
  virtual void ParentChanged() {}
  void RequestAlign();

  TWinControl* FParent = nullptr;
  int FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
  TAlign FAlign = TAlign::alNone;
  std::string FCaption;
  bool FEnabled = true, FVisible = true;
  TFont FFont;
  bool FParentFont = true;
  TColor FColor = clBtnFace;
  bool FColorSet = false;
  TCursor FCursor = TCursor::crDefault;
  std::string FHint;
  friend class TWinControl;
};

class TWinControl : public TControl {
public:
  explicit TWinControl(TComponent* owner);
  ~TWinControl() override;
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }

  // The window; nullptr until the control has a parent with a window.
  HWND Handle() const { return FHandle; }
  bool HandleAllocated() const { return FHandle != nullptr; }
  HWND WindowHandle() const override { return FHandle; }
  // Makes the window now (a parent with a window is needed, except for forms).
  void HandleNeeded();
  // Destroys and remakes the window with the current state (after a style change).
  void RecreateWnd();

  std::string Caption() const override;
  void SetCaption(const std::string& s) override;
  void SetBounds(int l, int t, int w, int h) override;
  void SetEnabled(bool e) override;
  void SetVisible(bool v) override;

  int ControlCount() const { return static_cast<int>(FControls.size()); }
  TControl* Controls(int i) const { return FControls.at(static_cast<size_t>(i)); }
  int TabOrder() const { return FTabOrder; }
  void SetTabOrder(int t);
  bool TabStop() const { return FTabStop; }
  void SetTabStop(bool t);
  bool Focused() const;
  bool CanFocus() const;
  virtual void SetFocus();
  void Realign();

  TNotifyEvent OnEnter, OnExit;
  void SetOnEnter(const TNotifyEvent& e) { OnEnter = e; }
  void SetOnExit(const TNotifyEvent& e) { OnExit = e; }
  TKeyPressEvent OnKeyPress;
  void SetOnKeyPress(const TKeyPressEvent& e) { OnKeyPress = e; }

  // The control whose window this is (nullptr for other windows).
  static TWinControl* FromHandle(HWND h);

protected:
  struct TCreateParams {
    std::string ClassName;  // a system class or one registered by the framework
    DWORD Style = WS_CHILD | WS_CLIPSIBLINGS;
    DWORD ExStyle = 0;
    HWND Parent = nullptr;
  };
  virtual void CreateParams(TCreateParams& p);
  // Pushes the fields into a new window (items, check state, text ...).
  virtual void CreateWnd();
  // Reads back what lives only in the window before it is destroyed.
  virtual void DestroyWnd();
  // Messages of the control's window; the default calls the window's own procedure.
  virtual LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp);
  LRESULT DefaultHandler(UINT msg, WPARAM wp, LPARAM lp);
  // Notifications the parent got from this control's window.
  virtual void CommandNotify(WORD code) { (void)code; }
  virtual LRESULT NotifyNotify(NMHDR& n) { (void)n; return 0; }
  // Colours of a static/edit/button child: the brush to paint its background.
  virtual HBRUSH CtlColor(HDC dc);
  virtual void DoEnter();
  virtual void DoExit();
  void FontChanged() override;
  void ParentChanged() override;
  void ApplyFont();
  void DestroyHandle();
  void InsertControl(TControl* c);
  void RemoveControl(TControl* c);

  HWND FHandle = nullptr;
  WNDPROC FDefProc = nullptr;
  TWinControl* FActiveControl = nullptr;  // on top-level controls: the one with the focus
  void FocusMovedTo(TWinControl* c);
  std::vector<TControl*> FControls;
  int FTabOrder = -1;
  bool FTabStop = false;
  std::unique_ptr<TBrush> FCtlBrush;
  friend class TControl;
  friend LRESULT CALLBACK ZivoWindowProc(HWND, UINT, WPARAM, LPARAM);
  friend void NotifyFocus(HWND h);
};
void NotifyFocus(HWND h);

LRESULT CALLBACK ZivoWindowProc(HWND h, UINT msg, WPARAM wp, LPARAM lp);
// The framework's control of a window or of its nearest ancestor window.
TWinControl* FindControl(HWND h);
// Tells the top-level control that the focus is now in `h` (raises OnExit/OnEnter).
void NotifyFocus(HWND h);
// Registers the framework's window class `name` (panels, forms) once; the instance's module.
void RegisterFrameworkWindowClass(const char* name, UINT style, HBRUSH background);

}  // namespace zf
