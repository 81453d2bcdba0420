// Forms from stored layouts over real windows, under Wine and Xvfb: what the
// layout says is read back through the Win32 API, and events are driven by
// Win32 messages.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Forms.h"
#include "Jpeg.h"
#include "SerialDrv.h"
#include "StdCtrls.h"

using namespace zf;

namespace {

class TGuiTestForm : public TForm {
public:
  using TForm::TForm;
  static const TClassInfo& StaticClassInfo() {
    return MakeClassInfo<TGuiTestForm, TForm>("TGuiTestForm", [](TPublisher<TGuiTestForm>& p) {
      p.Field("PageControl1", &TGuiTestForm::PageControl1);
      p.Field("Label1", &TGuiTestForm::Label1);
      p.Field("Label29", &TGuiTestForm::Label29);
      p.Field("MaskEdit1", &TGuiTestForm::MaskEdit1);
      p.Field("BitBtn1", &TGuiTestForm::BitBtn1);
      p.Field("BitBtn2", &TGuiTestForm::BitBtn2);
      p.Field("BitBtn4", &TGuiTestForm::BitBtn4);
      p.Field("RichEdited", &TGuiTestForm::RichEdited);
      p.Field("Edit1", &TGuiTestForm::Edit1);
      p.Field("Edit2", &TGuiTestForm::Edit2);
      p.Field("Image1", &TGuiTestForm::Image1);
      p.Field("Image2", &TGuiTestForm::Image2);
      p.Field("Panel1", &TGuiTestForm::Panel1);
      p.Field("GroupBox1", &TGuiTestForm::GroupBox1);
      p.Field("ComboBox1", &TGuiTestForm::ComboBox1);
      p.Field("ComboBox2", &TGuiTestForm::ComboBox2);
      p.Field("CheckBox2", &TGuiTestForm::CheckBox2);
      p.Field("RadioGroup1", &TGuiTestForm::RadioGroup1);
      p.Field("serDrv", &TGuiTestForm::serDrv);
      p.Handler<TNotifyEvent>("BitBtn4Click", &TGuiTestForm::BitBtn4Click);
      p.Handler<TNotifyEvent>("BitBtnThrowClick", &TGuiTestForm::BitBtnThrowClick);
      p.Handler<TNotifyEvent>("BitBtnAbortClick", &TGuiTestForm::BitBtnAbortClick);
      p.Handler<TNotifyEvent>("CheckBox2Click", &TGuiTestForm::CheckBox2Click);
      p.Handler<TNotifyEvent>("RadioGroup1Click", &TGuiTestForm::RadioGroup1Click);
      p.Handler<TNotifyEvent>("RadioGroup1Exit", &TGuiTestForm::RadioGroup1Exit);
      p.Handler<TNotifyEvent>("ComboChange", &TGuiTestForm::ComboChange);
      p.Handler<TNotifyEvent>("Label29Click", &TGuiTestForm::Label29Click);
      p.Handler<TNotifyEvent>("FormCreate", &TGuiTestForm::FormCreate);
      p.Handler<TCloseEvent>("FormClose", &TGuiTestForm::FormClose);
    });
  }
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }

  TPageControl* PageControl1 = nullptr;
  TLabel *Label1 = nullptr, *Label29 = nullptr;
  TMaskEdit* MaskEdit1 = nullptr;
  TBitBtn *BitBtn1 = nullptr, *BitBtn2 = nullptr, *BitBtn4 = nullptr;
  TRichEdit* RichEdited = nullptr;
  TEdit *Edit1 = nullptr, *Edit2 = nullptr;
  TImage *Image1 = nullptr, *Image2 = nullptr;
  TPanel* Panel1 = nullptr;
  TGroupBox* GroupBox1 = nullptr;
  TComboBox *ComboBox1 = nullptr, *ComboBox2 = nullptr;
  TCheckBox* CheckBox2 = nullptr;
  TRadioGroup* RadioGroup1 = nullptr;
  serial::TSerialDriver* serDrv = nullptr;

  std::vector<std::string> Log;
  void BitBtn4Click(TObject* s) { Log.push_back("send " + Name(s) + " " + MaskEdit1->Text()); }
  void BitBtnThrowClick(TObject*) {
    Log.push_back("throw");
    StrToInt("96x0");
  }
  void BitBtnAbortClick(TObject*) {
    Log.push_back("abort");
    Abort();
  }
  void CheckBox2Click(TObject*) { Log.push_back(std::string("check ") + (CheckBox2->Checked() ? "on" : "off")); }
  void RadioGroup1Click(TObject*) { Log.push_back("radio " + std::to_string(RadioGroup1->ItemIndex())); }
  void RadioGroup1Exit(TObject*) { Log.push_back("radio exit"); }
  void ComboChange(TObject*) { Log.push_back("combo " + ComboBox1->Text()); }
  void Label29Click(TObject* s) { Log.push_back("link " + static_cast<TLabel*>(s)->Caption()); }
  void FormCreate(TObject*) { Log.push_back("create"); }
  void FormClose(TObject*, TCloseAction& a) {
    Log.push_back("close");
    a = TCloseAction::caFree;
  }

private:
  static std::string Name(TObject* s) { return s ? static_cast<TComponent*>(s)->Name() : "nil"; }
};

class TBrokenForm : public TForm {
public:
  using TForm::TForm;
  static const TClassInfo& StaticClassInfo() {
    return MakeClassInfo<TBrokenForm, TForm>("TBrokenForm", [](TPublisher<TBrokenForm>& p) {
      p.Field("Edit1", &TBrokenForm::Edit1);
    });
  }
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  TEdit* Edit1 = nullptr;
};

std::string WinText(HWND h) {
  char buf[1024] = {};
  GetWindowTextA(h, buf, sizeof buf);
  return buf;
}

std::string ClassOf(HWND h) {
  char buf[64] = {};
  GetClassNameA(h, buf, sizeof buf);
  return buf;
}

std::vector<HWND> ChildrenOf(HWND parent) {
  std::vector<HWND> r;
  for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) r.push_back(c);
  return r;
}

BOOL CALLBACK CountChild(HWND, LPARAM p) {
  ++*reinterpret_cast<int*>(p);
  return TRUE;
}
BOOL CALLBACK CountTop(HWND h, LPARAM p) {
  ++*reinterpret_cast<int*>(p);
  EnumChildWindows(h, CountChild, p);
  return TRUE;
}
int CountThreadWindows() {
  int n = 0;
  EnumThreadWindows(GetCurrentThreadId(), CountTop, reinterpret_cast<LPARAM>(&n));
  return n;
}

BOOL CALLBACK FindMessageBox(HWND h, LPARAM p) {
  char c[16] = {};
  GetClassNameA(h, c, sizeof c);
  if (std::string(c) == "#32770" && IsWindowVisible(h)) {
    *reinterpret_cast<HWND*>(p) = h;
    return FALSE;
  }
  return TRUE;
}

void Pump(unsigned ms = 60) { Application.ProcessMessagesFor(ms); }

// Answers the next message box of this process from another thread: its text and caption.
struct TBoxWatcher {
  std::atomic<bool> Seen{false};
  std::string Text, Caption;
  std::thread Thread;
  explicit TBoxWatcher(DWORD waitMs) {
    DWORD owner = GetCurrentThreadId();
    Thread = std::thread([this, waitMs, owner] {
      DWORD start = GetTickCount();
      while (GetTickCount() - start < waitMs) {
        HWND box = nullptr;
        EnumThreadWindows(owner, FindMessageBox, reinterpret_cast<LPARAM>(&box));
        if (box) {
          char t[512] = {};
          GetDlgItemTextA(box, 0xFFFF, t, sizeof t);
          Text = t;
          Caption = WinText(box);
          Seen = true;
          PostMessageA(box, WM_COMMAND, IDOK, 0);
          return;
        }
        Sleep(20);
      }
    });
  }
  ~TBoxWatcher() { if (Thread.joinable()) Thread.join(); }
};

class GuiForm : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    RegisterClass(serial::TSerialDriver::StaticClassInfo());
    Application.Initialize();
  }
  void SetUp() override {
    Application.CreateForm(F);
    ASSERT_NE(F, nullptr);
    F->Show();
    Pump(150);
  }
  void TearDown() override {
    if (F) Application.FreeComponent(F);
    Pump(20);
  }
  TGuiTestForm* F = nullptr;
};

TEST_F(GuiForm, LayoutBecomesRealWindowsWithTheStoredValues) {
  HWND form = F->Handle();
  EXPECT_EQ(WinText(form), "Teste de formul\xE1rio");
  RECT cr;
  GetClientRect(form, &cr);
  EXPECT_EQ(cr.right, 600);
  EXPECT_EQ(cr.bottom, 420);
  RECT wr;
  GetWindowRect(form, &wr);  // centred on the desktop
  EXPECT_NEAR((wr.left + wr.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 2);
  EXPECT_NEAR((wr.top + wr.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 2);
  EXPECT_EQ(F->Log, (std::vector<std::string>{"create"}));

  // Page control: flat buttons, three tabs, the stored active page shown alone.
  HWND pc = F->PageControl1->Handle();
  EXPECT_EQ(GetParent(pc), form);
  EXPECT_EQ(ClassOf(pc), "SysTabControl32");
  EXPECT_TRUE(GetWindowLongA(pc, GWL_STYLE) & TCS_FLATBUTTONS);
  ASSERT_EQ(SendMessageA(pc, TCM_GETITEMCOUNT, 0, 0), 3);
  const char* tabs[] = {"Comunica\xE7\xE3o", "Configura\xE7\xE3o", "Contato"};
  for (int i = 0; i < 3; ++i) {
    char buf[64] = {};
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = buf;
    item.cchTextMax = sizeof buf;
    SendMessageA(pc, TCM_GETITEMA, i, reinterpret_cast<LPARAM>(&item));
    EXPECT_STREQ(buf, tabs[i]);
  }
  EXPECT_EQ(SendMessageA(pc, TCM_GETCURSEL, 0, 0), 1);
  std::vector<HWND> sheets = ChildrenOf(pc);
  ASSERT_EQ(sheets.size(), 3u);
  int visible = 0;
  for (HWND s : sheets) visible += IsWindowVisible(s) ? 1 : 0;
  EXPECT_EQ(visible, 1);
  EXPECT_TRUE(IsWindowVisible(GetParent(F->GroupBox1->Handle())));

  // Label with its own font.
  HWND l1 = F->Label1->Handle();
  EXPECT_EQ(ClassOf(l1), "Static");
  EXPECT_EQ(WinText(l1), "Peso (Kg):");
  LOGFONTA lf{};
  GetObjectA(reinterpret_cast<HFONT>(SendMessageA(l1, WM_GETFONT, 0, 0)), sizeof lf, &lf);
  EXPECT_STREQ(lf.lfFaceName, "Verdana");
  EXPECT_EQ(lf.lfWeight, FW_BOLD);
  EXPECT_EQ(lf.lfHeight, -16);
  GetObjectA(reinterpret_cast<HFONT>(SendMessageA(F->Edit1->Handle(), WM_GETFONT, 0, 0)), sizeof lf, &lf);
  EXPECT_STREQ(lf.lfFaceName, "MS Sans Serif");  // from the form

  // Edits.
  EXPECT_EQ(WinText(F->MaskEdit1->Handle()), "000,00");
  EXPECT_EQ(F->MaskEdit1->Text(), "   ,  ");
  EXPECT_EQ(SendMessageA(F->MaskEdit1->Handle(), EM_GETLIMITTEXT, 0, 0), 6);
  EXPECT_EQ(WinText(F->Edit1->Handle()), "String #1\xE7");
  EXPECT_EQ(SendMessageA(F->Edit1->Handle(), EM_GETLIMITTEXT, 0, 0), 40);

  // Buttons: captions, default, enabled.
  EXPECT_EQ(WinText(F->BitBtn4->Handle()), "&Enviar");
  EXPECT_EQ(GetWindowLongA(F->BitBtn4->Handle(), GWL_STYLE) & 0x0F, BS_DEFPUSHBUTTON);
  EXPECT_TRUE(IsWindowEnabled(F->BitBtn1->Handle()));
  EXPECT_FALSE(IsWindowEnabled(F->BitBtn2->Handle()));

  // Rich edit: read-only, vertical scroll bar, the stored lines.
  HWND re = F->RichEdited->Handle();
  EXPECT_EQ(ClassOf(re), "RichEdit20A");
  LONG rs = GetWindowLongA(re, GWL_STYLE);
  EXPECT_TRUE(rs & ES_READONLY);
  EXPECT_TRUE(rs & WS_VSCROLL);
  char rbuf[256] = {};
  GETTEXTEX gt{sizeof rbuf, GT_USECRLF, CP_ACP, nullptr, nullptr};
  SendMessageA(re, EM_GETTEXTEX, reinterpret_cast<WPARAM>(&gt), reinterpret_cast<LPARAM>(rbuf));
  EXPECT_STREQ(rbuf, "STATUS1 = 010000100\r\n\r\nTara = '     '");

  // Combo boxes: items, index, text, style.
  HWND c1 = F->ComboBox1->Handle(), c2 = F->ComboBox2->Handle();
  EXPECT_EQ(GetParent(c1), F->GroupBox1->Handle());
  EXPECT_EQ(GetWindowLongA(c1, GWL_STYLE) & 3, CBS_DROPDOWN);
  EXPECT_EQ(GetWindowLongA(c2, GWL_STYLE) & 3, CBS_DROPDOWNLIST);
  EXPECT_EQ(SendMessageA(c1, CB_GETCOUNT, 0, 0), 3);
  EXPECT_EQ(SendMessageA(c1, CB_GETCURSEL, 0, 0), 2);
  EXPECT_EQ(WinText(c1), "9600");
  ASSERT_EQ(SendMessageA(c2, CB_GETCOUNT, 0, 0), 5);
  char item[32] = {};
  SendMessageA(c2, CB_GETLBTEXT, 4, reinterpret_cast<LPARAM>(item));
  EXPECT_STREQ(item, "ptSPACE");
  EXPECT_EQ(SendMessageA(c2, CB_GETCURSEL, 0, 0), 3);
  EXPECT_EQ(F->ComboBox2->Text(), "ptNONE");

  // Check box and radio group (a radio button per item).
  EXPECT_EQ(SendMessageA(F->CheckBox2->Handle(), BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(WinText(F->RadioGroup1->Handle()), " Precis\xE3o: ");
  std::vector<HWND> radios = ChildrenOf(F->RadioGroup1->Handle());
  ASSERT_EQ(radios.size(), 3u);
  EXPECT_EQ(WinText(radios[1]), "DISPLAY x 0.1");
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(SendMessageA(radios[static_cast<size_t>(i)], BM_GETCHECK, 0, 0), i == 2 ? BST_CHECKED : BST_UNCHECKED);
  EXPECT_EQ(WinText(F->GroupBox1->Handle()), " Configura\xE7\xF5" "es de acesso serial COM1: ");
  EXPECT_EQ(WinText(F->Panel1->Handle()), "Protocolo ZIVO");

  // Pictures decoded from the program's resources.
  ASSERT_NE(dynamic_cast<TJPEGImage*>(F->Image1->Picture().Graphic()), nullptr);
  EXPECT_EQ(F->Image1->Picture().Width(), 64);
  EXPECT_EQ(F->Image1->Picture().Height(), 48);
  ASSERT_NE(dynamic_cast<TBitmap*>(F->Image2->Picture().Graphic()), nullptr);

  // The serial component with its stored settings, owned by the form.
  ASSERT_NE(F->serDrv, nullptr);
  EXPECT_EQ(F->serDrv->Owner(), F);
  EXPECT_EQ(F->serDrv->PortName(), "\\\\.\\COM3");
  EXPECT_EQ(F->serDrv->HwFlow(), serial::THwFlowControl::hfNONE);
}

TEST_F(GuiForm, EventBindingsFireOnWin32Messages) {
  // Where the focus starts depends on the window manager: put it outside the radio group.
  SetFocus(F->Edit2->Handle());
  Pump(30);
  F->Log = {"create"};
  SendMessageA(F->BitBtn4->Handle(), BM_CLICK, 0, 0);
  SendMessageA(F->CheckBox2->Handle(), BM_CLICK, 0, 0);
  std::vector<HWND> radios = ChildrenOf(F->RadioGroup1->Handle());
  ASSERT_EQ(radios.size(), 3u);
  SendMessageA(radios[0], BM_CLICK, 0, 0);
  EXPECT_EQ(F->RadioGroup1->ItemIndex(), 0);
  // Selecting a combo item the way the list does it.
  HWND c1 = F->ComboBox1->Handle();
  SendMessageA(c1, CB_SETCURSEL, 0, 0);
  SendMessageA(GetParent(c1), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(c1), CBN_SELCHANGE), reinterpret_cast<LPARAM>(c1));
  Pump();
  EXPECT_EQ(F->Log, (std::vector<std::string>{"create", "send BitBtn4    ,  ", "check off", "radio 0", "combo 2400"}));
  EXPECT_FALSE(F->CheckBox2->Checked());

  // Focus: leaving the radio group for a control outside it raises OnExit once;
  // moving between its own buttons does not.
  // The form must be the active window: focus set in an inactive one first activates it, and
  // a window of another program taking the activation moves the focus as well.
  SetForegroundWindow(F->Handle());
  Pump(30);
  ASSERT_EQ(GetActiveWindow(), F->Handle());
  F->Log.clear();
  SetFocus(radios[0]);
  SetFocus(radios[1]);
  Pump(30);
  ASSERT_EQ(GetFocus(), radios[1]);
  EXPECT_TRUE(F->Log.empty());
  SetFocus(F->Edit2->Handle());
  Pump(30);
  ASSERT_EQ(GetFocus(), F->Edit2->Handle());
  EXPECT_EQ(F->Log, std::vector<std::string>{"radio exit"});

  // Typing into the masked edit, then Enter presses the default button.
  F->PageControl1->SetActivePageIndex(0);
  HWND me = F->MaskEdit1->Handle();
  SetFocus(me);
  SendMessageA(me, EM_SETSEL, 0, 0);
  for (char c : std::string("12a345")) PostMessageA(me, WM_CHAR, static_cast<unsigned char>(c), 0);
  Pump();
  EXPECT_EQ(WinText(me), "123,45");
  F->Log.clear();
  PostMessageA(me, WM_KEYDOWN, VK_RETURN, 0);
  Pump();
  EXPECT_EQ(F->Log, std::vector<std::string>{"send BitBtn4 123,45"});
  // Alt+E, the button's accelerator.
  F->Log.clear();
  PostMessageA(me, WM_SYSCHAR, 'e', 1 << 29);
  Pump();
  EXPECT_EQ(F->Log, std::vector<std::string>{"send BitBtn4 123,45"});
  // Changing the mask at run time and clearing, as the precision handler does.
  F->MaskEdit1->SetEditMask("99999;1;0");
  F->MaskEdit1->Clear();
  EXPECT_EQ(WinText(me), "00000");
  EXPECT_EQ(F->MaskEdit1->Text(), "     ");
  EXPECT_EQ(SendMessageA(me, EM_GETLIMITTEXT, 0, 0), 5);

  // A tab clicked with the mouse switches the page.
  HWND pc = F->PageControl1->Handle();
  RECT tr{};
  SendMessageA(pc, TCM_GETITEMRECT, 2, reinterpret_cast<LPARAM>(&tr));
  LPARAM at = MAKELPARAM((tr.left + tr.right) / 2, (tr.top + tr.bottom) / 2);
  PostMessageA(pc, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageA(pc, WM_LBUTTONUP, 0, at);
  Pump(100);
  EXPECT_EQ(SendMessageA(pc, TCM_GETCURSEL, 0, 0), 2);
  EXPECT_EQ(F->PageControl1->ActivePageIndex(), 2);
  EXPECT_TRUE(IsWindowVisible(F->Label29->Handle()));

  // The link label's click (a real mouse click on the static).
  F->Log.clear();
  PostMessageA(F->Label29->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
  PostMessageA(F->Label29->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
  Pump(100);
  EXPECT_EQ(F->Log, std::vector<std::string>{"link http://127.0.0.1/zivo"});
  // The shell wrapper reports a missing file as the shell does (32 or less).
  EXPECT_LE(ShellExecute(F->Handle(), nullptr, "Z:\\no\\such\\file.zivo", nullptr, nullptr, SW_SHOWNORMAL), 32);
}

TEST_F(GuiForm, ExceptionInAClickHandlerShowsItsMessageAndTheProgramGoesOn) {
  {
    TBoxWatcher w(5000);
    SendMessageA(F->BitBtn1->Handle(), BM_CLICK, 0, 0);  // returns once the box is answered
    w.Thread.join();
    EXPECT_TRUE(w.Seen);
    EXPECT_EQ(w.Text, "'96x0' is not a valid integer value");
    EXPECT_EQ(w.Caption, Application.Title());
  }
  // EAbort is silent. Click() runs the handler even on a disabled button, and
  // outside a window procedure the exception reaches the caller.
  EXPECT_THROW(F->BitBtn2->Click(), EAbort);
  {
    TBoxWatcher w(400);
    F->BitBtn2->SetEnabled(true);
    SendMessageA(F->BitBtn2->Handle(), BM_CLICK, 0, 0);
    w.Thread.join();
    EXPECT_FALSE(w.Seen);
  }
  // OnException takes the place of the message box.
  std::string seen;
  Application.OnException = [&](TObject* Sender, std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const Exception& x) {
      seen = std::string(x.ClassName()) + ": " + x.Message() + (Sender == &Application ? " (Application)" : "");
    }
  };
  SendMessageA(F->BitBtn1->Handle(), BM_CLICK, 0, 0);
  Application.OnException = nullptr;
  EXPECT_EQ(seen, "EConvertError: '96x0' is not a valid integer value (Application)");
  // Still running: the next click works.
  F->Log.clear();
  SendMessageA(F->BitBtn4->Handle(), BM_CLICK, 0, 0);
  EXPECT_EQ(F->Log.size(), 1u);
}

TEST_F(GuiForm, ClosingTheFormWithCaFreeFreesIt) {
  HWND h = F->Handle();
  HWND edit = F->Edit1->Handle();
  int before = Application.ComponentCount();
  PostMessageA(h, WM_CLOSE, 0, 0);
  Pump(100);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_FALSE(IsWindow(edit));
  EXPECT_EQ(Application.ComponentCount(), before - 1);
  F = nullptr;  // freed by the application
}

TEST_F(GuiForm, ScreenshotOfTheFormIsKeptAsArtifact) {
  F->PageControl1->SetActivePageIndex(0);
  RedrawWindow(F->Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_ERASE);
  Pump(200);
  RECT r;
  GetWindowRect(F->Handle(), &r);
  TBitmap shot;
  shot.SetPixelFormat(TPixelFormat::pf24bit);
  shot.SetSize(r.right - r.left, r.bottom - r.top);
  HDC screen = GetDC(nullptr);
  BitBlt(shot.Canvas().Handle(), 0, 0, shot.Width(), shot.Height(), screen, r.left, r.top, SRCCOPY);
  ReleaseDC(nullptr, screen);
  // The red picture is on screen where its control is.
  RECT ir;
  GetWindowRect(F->Image2->Handle(), &ir);
  COLORREF c = static_cast<COLORREF>(shot.Canvas().Pixel(ir.left - r.left + 16, ir.top - r.top + 16));
  EXPECT_EQ(c, RGB(255, 0, 0));
  CreateDirectoryA(ZIVO_ARTIFACTS, nullptr);
  shot.SaveToFile(std::string(ZIVO_ARTIFACTS) + "\\framework_gui_form.bmp");
  TBitmap back;
  back.LoadFromFile(std::string(ZIVO_ARTIFACTS) + "\\framework_gui_form.bmp");
  EXPECT_EQ(back.Width(), shot.Width());
  EXPECT_EQ(static_cast<COLORREF>(back.Canvas().Pixel(ir.left - r.left + 16, ir.top - r.top + 16)), RGB(255, 0, 0));
}

TEST(GuiLayoutErrors, MalformedLayoutFailsNamingObjectAndLineAndLeavesNoWindow) {
  RegisterClass(serial::TSerialDriver::StaticClassInfo());
  Application.Initialize();
  int windows = CountThreadWindows();
  int components = Application.ComponentCount();
  TBrokenForm* b = nullptr;
  try {
    Application.CreateForm(b);
    ADD_FAILURE() << "no error";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "TBROKENFORM: Edit2 (line 9): Property Colour does not exist");
  }
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(Application.ComponentCount(), components);
  EXPECT_EQ(CountThreadWindows(), windows);
}

}  // namespace
