// Forms, the application object and its message loop, message boxes.
#pragma once
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "Controls.h"

namespace zf {

enum class TCloseAction : uint8_t { caNone, caHide, caFree, caMinimize };
using TCloseEvent = std::function<void(TObject* Sender, TCloseAction& Action)>;
enum class TPosition : uint8_t { poDesigned, poDefault, poDefaultPosOnly, poDefaultSizeOnly, poScreenCenter,
                                 poDesktopCenter, poMainFormCenter, poOwnerFormCenter };
extern const TEnumInfo PositionInfo;
enum class TFormBorderStyle : uint8_t { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };
extern const TEnumInfo FormBorderStyleInfo;

// A top-level window read from its stored layout. Layout properties: those of
// TControl, ClientWidth, ClientHeight, Position, BorderStyle, OnClose, OnCreate,
// OnShow, OnDestroy; PixelsPerInch, TextHeight, OldCreateOrder and Scaled are
// accepted and ignored.
class TForm : public TWinControl {
public:
  explicit TForm(TComponent* owner);
  ~TForm() override;
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }

  // Reads the layout resource named after the class (upper case, RCDATA).
  void ReadLayoutResource();
  void SetClientWidth(int w);
  void SetClientHeight(int h);
  int ClientWidth() const;
  int ClientHeight() const;
  TPosition Position() const { return FPosition; }
  void SetPosition(TPosition p) { FPosition = p; }
  void SetBorderStyle(TFormBorderStyle b);
  void SetVisible(bool v) override;
  void Show();
  // Asks OnClose: caHide hides, caFree frees the form (after the current
  // message), caNone keeps it; closing the main form ends the application.
  void Close();
  // The control that Enter presses (a TBitBtn with Default).
  TWinControl* DefaultControl() const;
  TWinControl* ActiveControl() const;
  void Loaded() override;

  TCloseEvent OnClose;
  TNotifyEvent OnCreate, OnShow, OnDestroy;
  void SetOnClose(const TCloseEvent& e) { OnClose = e; }
  void SetOnCreate(const TNotifyEvent& e) { OnCreate = e; }
  void SetOnShow(const TNotifyEvent& e) { OnShow = e; }
  void SetOnDestroy(const TNotifyEvent& e) { OnDestroy = e; }

protected:
  void CreateParams(TCreateParams& p) override;
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
  void PlaceWindow();
  TPosition FPosition = TPosition::poDesigned;
  TFormBorderStyle FBorderStyle = TFormBorderStyle::bsSizeable;
  int FClientWidth = -1, FClientHeight = -1;
  bool FShownOnce = false;
};

using TExceptionEvent = std::function<void(TObject* Sender, std::exception_ptr E)>;

// The application: owns the forms, runs the message loop and handles the
// exceptions that reach a window procedure or timer of the framework.
class TApplication : public TComponent {
public:
  TApplication();
  ~TApplication() override;
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }

  // Registers the framework's classes and installs HandleException as the
  // boundary exception handler.
  void Initialize();
  // Creates a form owned by the application from its stored layout; the first
  // form becomes the main form. A layout error frees the form and goes on.
  template <class F>
  void CreateForm(F*& reference) {
    static_assert(std::is_base_of_v<TForm, F>);
    reference = nullptr;
    F* f = MakeOwned<F>(this);
    FinishCreateForm(f);
    reference = f;
  }
  // Shows the main form and dispatches messages until Terminate or the main form closes.
  void Run();
  // Dispatches the waiting messages and returns.
  void ProcessMessages();
  // Dispatches messages for about `ms` milliseconds (tests).
  void ProcessMessagesFor(unsigned ms);
  void Terminate();
  bool Terminated() const { return FTerminated; }
  TForm* MainForm() const { return FMainForm; }
  HWND Handle() const;
  std::string Title() const { return FTitle; }
  void SetTitle(const std::string& t) { FTitle = t; }

  // MessageBoxA with the active form as owner; the button pressed (IDOK ...).
  int MessageBox(const std::string& text, const std::string& caption, UINT flags);
  // The current exception (call inside a catch block) or a given one: OnException
  // when set, else ShowException; EAbort is silent.
  void HandleException(TObject* Sender);
  void HandleException(TObject* Sender, std::exception_ptr e);
  // A message box with the exception's message (MB_ICONERROR, caption = Title).
  void ShowException(const std::exception& e);
  TExceptionEvent OnException;

  // Bookkeeping of the forms (called by TForm).
  void FormDestroyed(TForm* f);
  void FreeFormLater(TForm* f);

private:
  void FinishCreateForm(TForm* f);
  bool PreTranslate(MSG& m);
  void FreeDeferred();
  std::vector<TForm*> FToFree;
  TForm* FMainForm = nullptr;
  bool FTerminated = false;
  bool FInitialized = false;
  std::string FTitle;
};

extern TApplication& Application;

// Opens a file, folder or address with the shell (ShellExecuteA); the result
// of ShellExecuteA (above 32 on success).
intptr_t ShellExecute(HWND owner, const char* verb, const std::string& file, const char* params,
                      const char* directory, int show);

// The screen's cursor table: cursors by number, as the program loads its own
// into it at start-up. The table does not own them (resource cursors are shared).
class TScreen {
public:
  // The cursor stored under that number, or nullptr.
  HCURSOR Cursors(int index) const;
  void SetCursors(int index, HCURSOR cursor);

private:
  std::vector<std::pair<int, HCURSOR>> FCursors;
};
extern TScreen Screen;

}  // namespace zf
