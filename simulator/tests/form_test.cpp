// The main form created from its stored layout, driven through real Win32
// messages (clicks, characters into the masked edits, focus moves) under Wine.
// A virtual null-modem cable joins COM<A> and COM<B> (ZIVO_COM_A/B).
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <memory>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Forms.h"
#include "GifImg.h"
#include "SerialDrv.h"
#include "Simulador_Zivo.h"
#include "WinTestSupport.h"

using serial::TParity;
using simtest::ComFromEnv;
using simtest::WindowText;

namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(cur);
      cur.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

void Pump(unsigned ms = 30) { zf::Application.ProcessMessagesFor(ms); }

// Message boxes of the GUI thread, answered with OK from a second thread; each
// records its caption, its text and the form's breakdown at the time it showed.
class BoxWatcher {
public:
  struct Box {
    std::string Caption, Text, RichText;
    HICON Icon = nullptr;
  };
  BoxWatcher(DWORD guiThread, HWND rich) : FThread(guiThread), FRich(rich), FWorker([this] { Run(); }) {}
  ~BoxWatcher() {
    FStop = true;
    FWorker.join();
  }
  std::vector<Box> Boxes() {
    std::lock_guard<std::mutex> g(FLock);
    return FBoxes;
  }

private:
  void Run() {
    while (!FStop) {
      EnumThreadWindows(FThread, &BoxWatcher::Visit, reinterpret_cast<LPARAM>(this));
      Sleep(10);
    }
  }
  static BOOL CALLBACK Visit(HWND h, LPARAM self) {
    auto* w = reinterpret_cast<BoxWatcher*>(self);
    char cls[32] = {};
    GetClassNameA(h, cls, sizeof cls);
    if (std::string(cls) != "#32770" || !IsWindowVisible(h)) return TRUE;
    for (HWND seen : w->FAnswered)
      if (seen == h) {
        // Still there: the answer may have come before the box could take it.
        PostMessageA(h, WM_COMMAND, IDOK, 0);
        return TRUE;
      }
    Box b;
    b.Caption = WindowText(h);
    if (HWND t = GetDlgItem(h, 0xFFFF)) b.Text = WindowText(t);
    if (HWND i = GetDlgItem(h, 0x0440)) b.Icon = reinterpret_cast<HICON>(SendMessageA(i, STM_GETICON, 0, 0));
    if (w->FRich) b.RichText = WindowText(w->FRich);
    {
      std::lock_guard<std::mutex> g(w->FLock);
      w->FBoxes.push_back(b);
    }
    w->FAnswered.push_back(h);
    PostMessageA(h, WM_COMMAND, IDOK, 0);
    return TRUE;
  }

  DWORD FThread;
  HWND FRich;
  std::atomic<bool> FStop{false};
  std::mutex FLock;
  std::vector<Box> FBoxes;
  std::vector<HWND> FAnswered;
  std::thread FWorker;
};

class SimForm : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    zf::RegisterClass(serial::TSerialDriver::StaticClassInfo());
    pictures::RegisterGifImage();
    zf::Application.Initialize();
  }
  void SetUp() override {
    zf::Application.CreateForm(f);
    ASSERT_NE(f, nullptr) << "the layout did not load";
    f->Show();
    Pump(50);
    boxes = std::make_unique<BoxWatcher>(GetCurrentThreadId(), f->RichEdited->Handle());
  }
  void TearDown() override {
    boxes.reset();
    if (f && !closed) {
      f->serDrv->Disconnect();
      zf::Application.FreeComponent(f);
    }
    Pump(20);
  }

  void Click(zf::TWinControl* c) {
    SendMessageA(c->Handle(), BM_CLICK, 0, 0);
    Pump();
  }
  // Clicks the tab's button on the page control, as the mouse does.
  void SelectTab(int index) {
    HWND tabs = f->PageControl1->Handle();
    RECT r{};
    ASSERT_TRUE(SendMessageA(tabs, TCM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&r)));
    const LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    SendMessageA(tabs, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageA(tabs, WM_LBUTTONUP, 0, at);
    Pump();
    ASSERT_EQ(f->PageControl1->ActivePageIndex(), index);
  }
  // Focuses the edit with its caret at the start and types the characters.
  void Type(zf::TWinControl* edit, const std::string& chars) {
    SetFocus(edit->Handle());
    SendMessageA(edit->Handle(), EM_SETSEL, 0, 0);
    for (char c : chars) SendMessageA(edit->Handle(), WM_CHAR, static_cast<unsigned char>(c), 1);
    Pump();
  }
  void Focus(HWND h) {
    SetFocus(h);
    Pump();
  }
  void ChooseItem(zf::TComboBox* combo, int index) {
    HWND h = combo->Handle();
    SendMessageA(h, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageA(GetParent(h), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(h), CBN_SELCHANGE), reinterpret_cast<LPARAM>(h));
    Pump();
    ASSERT_EQ(combo->ItemIndex(), index);
  }
  void ChoosePort(int number) { ChooseItem(f->ComboBox6, number); }
  std::vector<std::string> Breakdown() { return SplitLines(WindowText(f->RichEdited->Handle())); }
  bool Enabled(zf::TWinControl* c) { return IsWindowEnabled(c->Handle()) != 0; }

  // Every message box of a test is answered and recorded.
  std::vector<BoxWatcher::Box> Boxes() { return boxes->Boxes(); }
  std::string BoxTexts() {
    std::string t;
    for (const auto& b : Boxes()) t += "[" + b.Caption + ": " + b.Text + "] ";
    return t;
  }

  TSimulador_Zivo_Frm* f = nullptr;
  bool closed = false;
  std::unique_ptr<BoxWatcher> boxes;
};

void ExpectOneBox(const std::vector<BoxWatcher::Box>& seen, const std::string& caption, const std::string& text,
                  LPCSTR icon) {
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].Caption, caption);
  EXPECT_EQ(seen[0].Text, text);
  EXPECT_EQ(seen[0].Icon, LoadIcon(nullptr, icon));
}

const char* const kAtencaoText =
    "A porta serial não foi aberta, ou o dado não foi enviado completamente\r\n durante o tempo de envio.\r\n";
const char* const kErroText = "Não foi possível conectar a porta serial.\r\nVerifique as configurações e tente novamente...";

std::vector<std::string> ExpectedBreakdown(const std::string& status1, const std::string& display, bool negative,
                                           bool overload, bool saturation, bool motion, const std::string& peso,
                                           const std::string& tara) {
  auto b = [](bool v) { return std::string(v ? "True" : "False"); };
  return {"STATUS1 = " + status1,
          "  Display = " + display,
          "  Peso Negativo = " + b(negative),
          "  Sobre Carga = " + b(overload),
          "  Saturação = " + b(saturation),
          "  Sensor Movimento = " + b(motion),
          "",
          "STATUS2 = 010000000",
          "  TR1 = False",
          "  TR2 = False",
          "  TR3 = False",
          "  SP1 = False",
          "  SP2 = False",
          "  SP3 = False",
          "",
          "Peso = " + peso,
          "Tara = " + tara};
}

TEST_F(SimForm, OpensOnTheContactTabWithTheStoredValues) {
  RECT r{};
  GetWindowRect(f->Handle(), &r);
  EXPECT_EQ(r.right - r.left, 665);
  EXPECT_EQ(r.bottom - r.top, 541);
  EXPECT_EQ(WindowText(f->Handle()), "Simulador de Balança - Protocolo ZIVO");

  HWND tabs = f->PageControl1->Handle();
  ASSERT_EQ(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 3);
  const char* names[] = {"Comunicação", "Configuração", "Contato"};
  for (int i = 0; i < 3; ++i) {
    char text[64] = {};
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(tabs, TCM_GETITEMA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
    EXPECT_EQ(std::string(text), names[i]);
  }
  EXPECT_EQ(SendMessageA(tabs, TCM_GETCURSEL, 0, 0), 2);
  EXPECT_TRUE(IsWindowVisible(f->TabSheet3->Handle()));
  EXPECT_FALSE(IsWindowVisible(f->TabSheet1->Handle()));

  EXPECT_TRUE(Enabled(f->BitBtn1));
  EXPECT_FALSE(Enabled(f->BitBtn2));
  EXPECT_EQ(WindowText(f->BitBtn4->Handle()), "&Enviar");
  EXPECT_EQ(f->MaskEdit1->Text(), "   ,  ");
  EXPECT_EQ(WindowText(f->MaskEdit1->Handle()), "000,00");
  EXPECT_EQ(f->MaskEdit1->EditMask(), "999,99;1;0");
  EXPECT_EQ(f->MaskEdit1->Font().Name(), "Verdana");
  EXPECT_TRUE(f->MaskEdit1->Font().Style().Contains(zf::TFontStyle::fsBold));
  EXPECT_EQ(f->MaskEdit2->Text(), "     ");
  EXPECT_FALSE(Enabled(f->MaskEdit2));
  EXPECT_EQ(WindowText(f->ComboBox1->Handle()), "9600");
  EXPECT_EQ(WindowText(f->ComboBox3->Handle()), "db8BITS");
  EXPECT_EQ(WindowText(f->ComboBox2->Handle()), "ptNONE");
  EXPECT_EQ(WindowText(f->ComboBox4->Handle()), "sb2BITS");
  EXPECT_EQ(WindowText(f->ComboBox6->Handle()), "pnCOM1");
  EXPECT_EQ(SendMessageA(f->ComboBox6->Handle(), CB_GETCOUNT, 0, 0), 18);
  EXPECT_EQ(SendMessageA(f->RadioGroup1->ButtonHandle(2), BM_GETCHECK, 0, 0), BST_CHECKED);
  for (zf::TCheckBox* c : {f->CheckBox2, f->CheckBox3, f->CheckBox6, f->CheckBox7, f->CheckBox13})
    EXPECT_EQ(SendMessageA(c->Handle(), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_TRUE(GetWindowLongA(f->RichEdited->Handle(), GWL_STYLE) & ES_READONLY);

  EXPECT_EQ(f->Image1->Picture().Width(), 152);
  EXPECT_EQ(f->Image1->Picture().Height(), 75);
  EXPECT_EQ(f->Image2->Picture().Width(), 152);
  // The weight: a GIF stored in the layout, read through the GIF picture class.
  auto* weight = dynamic_cast<pictures::TGIFImage*>(f->Image4->Picture().Graphic());
  ASSERT_NE(weight, nullptr);
  EXPECT_EQ(weight->Width(), 152);
  EXPECT_EQ(weight->Height(), 75);
  EXPECT_TRUE(weight->Transparent());

  EXPECT_EQ(f->serDrv->Port(), serial::TPortNumber::pnCustom);
  EXPECT_EQ(f->serDrv->PortName(), "\\\\.\\COM3");
  EXPECT_EQ(f->serDrv->BaudRate(), serial::TBaudRate::brCustom);
  EXPECT_EQ(f->serDrv->HwFlow(), serial::THwFlowControl::hfNONE);
  EXPECT_EQ(f->serDrv->OutputTimeout(), 500);
  EXPECT_FALSE(f->serDrv->Connected());
}

TEST_F(SimForm, ShowsTheWeightPictureOnTheFirstTab) {
  SelectTab(0);
  HWND image = f->Image4->Handle();
  ASSERT_TRUE(IsWindowVisible(image));
  RedrawWindow(image, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE);
  Pump(50);
  // The weight's body and shelf as drawn, and the panel where the GIF is transparent.
  RECT r{};
  GetWindowRect(image, &r);
  HDC screen = GetDC(nullptr);
  const COLORREF body = GetPixel(screen, r.left + 60, r.top + 60), shelf = GetPixel(screen, r.left + 76, r.top + 73),
                 corner = GetPixel(screen, r.left + 2, r.top + 2), panel = GetPixel(screen, r.left - 4, r.top + 2);
  ReleaseDC(nullptr, screen);
  EXPECT_EQ(body, RGB(0x3D, 0x4A, 0x5C));
  EXPECT_EQ(shelf, RGB(0x5B, 0x6B, 0x7F));
  EXPECT_EQ(corner, panel);
  EXPECT_NE(corner, RGB(0, 0, 0));  // the transparent entry's own colour
}

TEST_F(SimForm, CaptionsAsStored) {
  const std::pair<const char*, const char*> captions[] = {
      {"Label1", "Simulador de"},
      {"Label2", "Balança"},
      {"Label3", "Protocolo ZIVO"},
      {"Label4", "v1.0"},
      {"Label5", "Peso (Kg):"},
      {"Label6", " String Tratada:"},
      {"Label7", "String Enviada pela Serial:"},
      {"BitBtn1", "Conectar"},
      {"BitBtn2", "Desconectar"},
      {"GroupBox1", " Configurações de acesso serial COM1: "},
      {"Label8", "Taxa de Transmissão:"},
      {"Label9", "Bits de Dados:"},
      {"Label10", "Paridade:"},
      {"Label11", "Bits de Parada:"},
      {"Label12", "Controle de Fluxo:"},
      {"Label13", "Nenhum"},
      {"Label14", "Porta Serial:"},
      {"GroupBox2", " Configuração do Protocolo ZIVO:"},
      {"GroupBox3", "STATUS1: "},
      {"RadioGroup1", " Precisão: "},
      {"CheckBox7", "Sobrecarga"},
      {"CheckBox13", "Saturação"},
      {"CheckBox3", "Sensor de Movimento"},
      {"CheckBox6", "Peso Negativo"},
      {"GroupBox4", " Tara: "},
      {"CheckBox2", "Ativa"},
  };
  for (auto [name, text] : captions) {
    SCOPED_TRACE(name);
    auto* c = dynamic_cast<zf::TWinControl*>(f->FindComponent(name));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(WindowText(c->Handle()), text);
  }
  const char* items[] = {"DISPLAY x 1", "DISPLAY x 0.1", "DISPLAY x 0.01"};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WindowText(f->RadioGroup1->ButtonHandle(i)), items[i]);
  const std::pair<zf::TComboBox*, std::vector<std::string>> lists[] = {
      {f->ComboBox1, {"2400", "4800", "9600"}},
      {f->ComboBox3, {"db5BITS", "db6BITS", "db7BITS", "db8BITS"}},
      {f->ComboBox2, {"ptEVEN", "ptMARK", "ptODD", "ptNONE", "ptSPACE"}},
      {f->ComboBox4, {"sb1BITS", "sbHALFBITS", "sb2BITS"}},
  };
  for (const auto& [combo, want] : lists) {
    std::vector<std::string> got;
    const LRESULT n = SendMessageA(combo->Handle(), CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < n; ++i) {
      char buf[64] = {};
      SendMessageA(combo->Handle(), CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buf));
      got.emplace_back(buf);
    }
    EXPECT_EQ(got, want);
  }
  // Editable baud text; the others list only.
  EXPECT_EQ(GetWindowLongA(f->ComboBox1->Handle(), GWL_STYLE) & 3, CBS_DROPDOWN);
  for (zf::TComboBox* c : {f->ComboBox2, f->ComboBox3, f->ComboBox4, f->ComboBox6})
    EXPECT_EQ(GetWindowLongA(c->Handle(), GWL_STYLE) & 3, CBS_DROPDOWNLIST);
}

TEST_F(SimForm, SendWhileDisconnectedListsTheBreakdownThenWarns) {
  SelectTab(0);
  Type(f->MaskEdit1, "12345");
  EXPECT_EQ(f->MaskEdit1->Text(), "123,45");
  Click(f->BitBtn4);
  Pump(100);

  const auto seen = Boxes();
  ExpectOneBox(seen, "Atenção!", kAtencaoText, IDI_EXCLAMATION);
  ASSERT_EQ(seen.size(), 1u);
  const auto expected = ExpectedBreakdown("010000100", "0.01", false, false, false, false, "123,45", "     ");
  // The breakdown stood before the box showed, and stays.
  EXPECT_EQ(SplitLines(seen[0].RichText), expected);
  EXPECT_EQ(Breakdown(), expected);
  EXPECT_EQ(WindowText(f->Edit1->Handle()), "");
}

// Each case: precision item, flags (negative, overload, saturation, motion), the digits typed.
TEST_F(SimForm, BreakdownForFlagAndPrecisionChoices) {
  struct Case {
    int precision;
    bool negative, overload, saturation, motion;
    std::string typed, peso, status1, display;
  };
  const std::vector<Case> cases = {
      {1, true, true, true, true, "12345", "1234,5", "011111010", "0.1"},
      {0, true, false, false, true, "01234", "01234", "010011001", "1"},
      {2, false, true, false, false, "5", "5  ,  ", "011000100", "0.01"},
      {0, false, false, true, false, "", "     ", "010100001", "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status1);
    SelectTab(1);
    SendMessageA(f->RadioGroup1->ButtonHandle(c.precision), BM_CLICK, 0, 0);
    Focus(f->CheckBox7->Handle());  // leaves the group: the weight mask follows the precision
    const std::pair<zf::TCheckBox*, bool> flags[] = {
        {f->CheckBox6, c.negative}, {f->CheckBox7, c.overload}, {f->CheckBox13, c.saturation}, {f->CheckBox3, c.motion}};
    for (auto [box, on] : flags)
      if ((SendMessageA(box->Handle(), BM_GETCHECK, 0, 0) == BST_CHECKED) != on) Click(box);
    SelectTab(0);
    Type(f->MaskEdit1, c.typed);
    const size_t before = Boxes().size();
    Click(f->BitBtn4);
    Pump(60);
    EXPECT_EQ(Boxes().size(), before + 1);
    EXPECT_EQ(Breakdown(), ExpectedBreakdown(c.status1, c.display, c.negative, c.overload, c.saturation, c.motion,
                                             c.peso, "     "));
  }
}

TEST_F(SimForm, PrecisionChangeTakesEffectWhenTheFocusLeavesTheGroup) {
  struct Case {
    int item;
    const char* mask;
    const char* shown;
  };
  const Case cases[] = {{0, "99999;1;0", "00000"}, {1, "9999,9;1;0", "0000,0"}, {2, "999,99;1;0", "000,00"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    SelectTab(0);
    Type(f->MaskEdit1, "12345");
    ASSERT_NE(f->MaskEdit1->Text().find('1'), std::string::npos);
    SelectTab(1);
    SendMessageA(f->RadioGroup1->ButtonHandle(c.item), BM_CLICK, 0, 0);
    Pump();
    EXPECT_EQ(f->RadioGroup1->ItemIndex(), c.item);
    // A click alone changes neither the mask nor the weight.
    EXPECT_NE(f->MaskEdit1->Text().find('1'), std::string::npos);
    Focus(f->CheckBox13->Handle());
    EXPECT_EQ(f->MaskEdit1->EditMask(), c.mask);
    EXPECT_EQ(WindowText(f->MaskEdit1->Handle()), c.shown);
    EXPECT_EQ(f->MaskEdit1->Text().find_first_not_of(" ,"), std::string::npos) << f->MaskEdit1->Text();
  }
}

TEST_F(SimForm, TareActivatedAndDeactivatedGivesFiveZeros) {
  SelectTab(1);
  Click(f->CheckBox2);
  EXPECT_TRUE(Enabled(f->MaskEdit2));
  Type(f->MaskEdit2, "12");
  Click(f->CheckBox2);
  EXPECT_FALSE(Enabled(f->MaskEdit2));
  EXPECT_EQ(f->MaskEdit2->Text(), "00000");
  EXPECT_EQ(WindowText(f->MaskEdit2->Handle()), "00000");

  SelectTab(0);
  Type(f->MaskEdit1, "12345");
  Click(f->BitBtn4);
  Pump(60);
  const auto lines = Breakdown();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Tara = 00000");
}

TEST_F(SimForm, ConnectToAPortWithNothingBehindItShowsErro) {
  ASSERT_EQ(CreateFileA("\\\\.\\COM16", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE)
      << "COM16 must have nothing behind it";
  SelectTab(1);
  ChoosePort(16);
  SelectTab(0);
  Click(f->BitBtn1);
  Pump(100);
  ExpectOneBox(Boxes(), "Erro", kErroText, IDI_HAND);
  EXPECT_FALSE(f->serDrv->Connected());
  EXPECT_EQ(f->serDrv->PortName(), "\\\\.\\COM16");
  EXPECT_TRUE(Enabled(f->BitBtn1));
  EXPECT_FALSE(Enabled(f->BitBtn2));

  // The empty last port item is number 17.
  SelectTab(1);
  ChoosePort(17);
  SelectTab(0);
  Click(f->BitBtn1);
  Pump(100);
  EXPECT_EQ(f->serDrv->PortName(), "\\\\.\\COM17");
  EXPECT_EQ(Boxes().size(), 2u);
}

TEST_F(SimForm, BaudTextThatIsNoNumberGoesToTheApplicationAndTheProgramGoesOn) {
  SelectTab(1);
  SetWindowTextA(f->ComboBox1->Handle(), "96OO");
  ChoosePort(ComFromEnv("ZIVO_COM_A", 7));
  SelectTab(0);
  Click(f->BitBtn1);
  Pump(100);
  auto seen = Boxes();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].Text, "'96OO' is not a valid integer value");
  // Nothing was set before the conversion failed.
  EXPECT_FALSE(f->serDrv->Connected());
  EXPECT_EQ(f->serDrv->PortName(), "\\\\.\\COM3");
  EXPECT_EQ(f->serDrv->BaudRate(), serial::TBaudRate::brCustom);
  EXPECT_EQ(f->serDrv->BaudRateValue(), 9600u);
  EXPECT_TRUE(Enabled(f->BitBtn1));
  EXPECT_FALSE(Enabled(f->BitBtn2));

  // The program goes on: a number typed into the editable combo connects.
  SelectTab(1);
  SetWindowTextA(f->ComboBox1->Handle(), "19200");
  SelectTab(0);
  Click(f->BitBtn1);
  Pump(50);
  EXPECT_TRUE(f->serDrv->Connected());
  EXPECT_EQ(f->serDrv->BaudRateValue(), 19200u);
  EXPECT_EQ(f->serDrv->BaudRate(), serial::TBaudRate::brCustom);
  EXPECT_FALSE(Enabled(f->BitBtn1));
  EXPECT_TRUE(Enabled(f->BitBtn2));
  EXPECT_EQ(Boxes().size(), 1u);
  Click(f->BitBtn2);
  EXPECT_FALSE(f->serDrv->Connected());
  EXPECT_TRUE(Enabled(f->BitBtn1));
  EXPECT_FALSE(Enabled(f->BitBtn2));
}

TEST_F(SimForm, StartValuesAndEachParityItemSetWhatTheyName) {
  const int com = ComFromEnv("ZIVO_COM_A", 7);
  SelectTab(1);
  ChoosePort(com);
  SelectTab(0);
  Click(f->BitBtn1);
  ASSERT_TRUE(f->serDrv->Connected()) << BoxTexts();
  EXPECT_EQ(f->serDrv->PortName(), "\\\\.\\COM" + std::to_string(com));
  EXPECT_EQ(f->serDrv->BaudRateValue(), 9600u);
  EXPECT_EQ(f->serDrv->DataBits(), serial::TDataBits::db8BITS);
  EXPECT_EQ(f->serDrv->StopBits(), serial::TStopBits::sb2BITS);
  EXPECT_EQ(f->serDrv->Parity(), TParity::ptNONE);
  // Pressed again while connected, "Conectar" disconnects.
  Click(f->BitBtn1);
  EXPECT_FALSE(f->serDrv->Connected());

  const std::pair<int, TParity> items[] = {
      {0, TParity::ptEVEN}, {1, TParity::ptMARK}, {2, TParity::ptODD}, {3, TParity::ptNONE}, {4, TParity::ptSPACE}};
  for (auto [item, parity] : items) {
    SCOPED_TRACE(item);
    SelectTab(1);
    ChooseItem(f->ComboBox2, item);
    SelectTab(0);
    Click(f->BitBtn1);
    EXPECT_TRUE(f->serDrv->Connected()) << BoxTexts();
    EXPECT_EQ(f->serDrv->Parity(), parity);
    Click(f->BitBtn2);
  }
  // Data and stop bits follow the item index.
  SelectTab(1);
  ChooseItem(f->ComboBox3, 0);
  ChooseItem(f->ComboBox4, 0);
  SelectTab(0);
  Click(f->BitBtn1);
  EXPECT_TRUE(f->serDrv->Connected()) << BoxTexts();
  EXPECT_EQ(f->serDrv->DataBits(), serial::TDataBits::db5BITS);
  EXPECT_EQ(f->serDrv->StopBits(), serial::TStopBits::sb1BITS);
  Click(f->BitBtn2);
  EXPECT_TRUE(Boxes().empty()) << BoxTexts();
  // A pty may refuse one and a half stop bits (the connect may then end in
  // the "Erro" box); the setting is made before connecting all the same.
  SelectTab(1);
  ChooseItem(f->ComboBox4, 1);
  SelectTab(0);
  Click(f->BitBtn1);
  EXPECT_EQ(f->serDrv->StopBits(), serial::TStopBits::sb1HALFBITS);
}

TEST_F(SimForm, ConnectedSendWritesTheFrameAndShowsIt) {
  const int com = ComFromEnv("ZIVO_COM_A", 7);
  simtest::TFarEnd farEnd(ComFromEnv("ZIVO_COM_B", 8));
  ASSERT_TRUE(farEnd.Open());
  SelectTab(1);
  ChoosePort(com);
  SendMessageA(f->RadioGroup1->ButtonHandle(0), BM_CLICK, 0, 0);
  Focus(f->CheckBox6->Handle());
  Click(f->CheckBox6);  // negative
  Click(f->CheckBox3);  // motion
  Click(f->CheckBox2);
  Type(f->MaskEdit2, "00100");
  SelectTab(0);
  Click(f->BitBtn1);
  ASSERT_TRUE(f->serDrv->Connected()) << BoxTexts();
  Type(f->MaskEdit1, "01234");
  // Enter presses the default button.
  PostMessageA(f->MaskEdit1->Handle(), WM_KEYDOWN, VK_RETURN, 0x001C0001);
  PostMessageA(f->MaskEdit1->Handle(), WM_KEYUP, VK_RETURN, static_cast<LPARAM>(0xC01C0001u));
  Pump(100);
  const std::string expected = "\x02\x99\x80" "0123400100\x03\x1D";
  EXPECT_EQ(farEnd.ReadAll(200, 2000, [] { Pump(5); }), expected);
  EXPECT_EQ(WindowText(f->Edit1->Handle()), expected);
  EXPECT_EQ(Breakdown(), ExpectedBreakdown("010011001", "1", true, false, false, true, "01234", "00100"));
  EXPECT_TRUE(Boxes().empty()) << BoxTexts();
}

TEST_F(SimForm, LinkLabelsOpenTheirCaptionWithTheShell) {
  struct Call {
    HWND owner;
    bool noVerb;
    std::string file;
    int show;
  };
  std::vector<Call> calls;
  f->OpenLink = [&](HWND owner, const char* verb, const std::string& file, const char* params, const char* dir,
                    int show) -> intptr_t {
    EXPECT_EQ(params, nullptr);
    EXPECT_EQ(dir, nullptr);
    calls.push_back({owner, verb == nullptr, file, show});
    return 33;
  };
  for (zf::TLabel* l : {f->Label29, f->Label30, f->Label31}) {
    SendMessageA(l->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    SendMessageA(l->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    Pump();
  }
  ASSERT_EQ(calls.size(), 3u);
  const std::string captions[] = {WindowText(f->Label29->Handle()), WindowText(f->Label30->Handle()),
                                  WindowText(f->Label31->Handle())};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(calls[i].owner, f->Handle());
    EXPECT_TRUE(calls[i].noVerb);
    EXPECT_EQ(calls[i].file, captions[i]);
    EXPECT_FALSE(captions[i].empty());
    EXPECT_EQ(calls[i].show, SW_SHOWNORMAL);
  }
}

// Last: closing the main form ends the application.
TEST_F(SimForm, ClosingDisconnectsAndFreesTheForm) {
  const int com = ComFromEnv("ZIVO_COM_A", 7);
  SelectTab(1);
  ChoosePort(com);
  SelectTab(0);
  Click(f->BitBtn1);
  ASSERT_TRUE(f->serDrv->Connected()) << BoxTexts();
  HWND h = f->Handle();
  SendMessageA(h, WM_CLOSE, 0, 0);
  closed = true;
  // The close handler pressed "Desconectar"; the form goes once the message is done.
  if (IsWindow(h)) {
    EXPECT_FALSE(f->serDrv->Connected());
    EXPECT_TRUE(Enabled(f->BitBtn1));
    EXPECT_FALSE(Enabled(f->BitBtn2));
  }
  Pump(100);
  EXPECT_FALSE(IsWindow(h));
  // The port was given back: it opens again.
  const std::string path = "\\\\.\\COM" + std::to_string(com);
  HANDLE p = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(p, INVALID_HANDLE_VALUE);
  if (p != INVALID_HANDLE_VALUE) CloseHandle(p);
}

}  // namespace
