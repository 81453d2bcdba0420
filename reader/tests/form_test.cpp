// The reader's main form created from its stored layout, under Wine, with a
// virtual null-modem cable: the form connects to COM<A> (ZIVO_COM_A, its
// stored start port COM8) and this test writes frames into COM<B>. Buttons
// are pressed with real BM_CLICK messages; the lists are read back from the
// rich edit windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "FrameBytes.h"
#include "Forms.h"
#include "SerialDrv.h"
#include "SysUtils.h"
#include "Unit1.h"
#include "WinDriver.h"

using namespace reader::testing;

namespace {

// The far end of the cable, opened by the test itself.
class TFarEnd {
public:
  explicit TFarEnd(int com) {
    const std::string path = "\\\\.\\COM" + std::to_string(com);
    FHandle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  ~TFarEnd() {
    if (FHandle != INVALID_HANDLE_VALUE) CloseHandle(FHandle);
  }
  TFarEnd(const TFarEnd&) = delete;
  TFarEnd& operator=(const TFarEnd&) = delete;
  bool Ok() const { return FHandle != INVALID_HANDLE_VALUE; }
  bool Write(const std::string& s) {
    DWORD done = 0;
    return WriteFile(FHandle, s.data(), static_cast<DWORD>(s.size()), &done, nullptr) && done == s.size();
  }

private:
  HANDLE FHandle = INVALID_HANDLE_VALUE;
};

const std::string kWorked = Frame(0x84, 0x80, "12345", "00000");

const std::vector<std::string> kWorkedLines = {
    "STATUS1 = 010000100", "  Display = 0,01", "  Peso Negativo = False", "  Sobre Carga = False",
    "  Saturação = False", "  Sensor Movimento = False", "", "STATUS2 = 010000000", "  TR1 = False",
    "  TR2 = False", "  TR3 = False", "  SP1 = False", "  SP2 = False", "  SP3 = False", "",
    "Peso = 12345", "Peso Formatado = 123,45", "Tara = 00000"};

constexpr LCID kCommaLocale = MAKELCID(MAKELANGID(LANG_PORTUGUESE, SUBLANG_PORTUGUESE_BRAZILIAN), SORT_DEFAULT);
constexpr LCID kDotLocale = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);

class FormTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    zf::RegisterClass(serial::TSerialDriver::StaticClassInfo());
    zf::Application.Initialize();
    zf::Application.OnException = [](zf::TObject*, std::exception_ptr e) {
      try {
        std::rethrow_exception(e);
      } catch (const zf::Exception& x) {
        Exceptions().push_back(std::string(x.ClassName()) + ": " + x.Message());
      } catch (...) {
        Exceptions().push_back("?");
      }
    };
    zf::Application.CreateForm(form);
    ASSERT_NE(form, nullptr);
    form->Show();
    zf::Application.ProcessMessagesFor(100);
  }
  static std::vector<std::string>& Exceptions() {
    static std::vector<std::string> v;
    return v;
  }
  void SetUp() override {
    ASSERT_NE(form, nullptr);
    SetThreadLocale(kCommaLocale);
    Exceptions().clear();
  }
  void TearDown() override {
    if (form && form->serDrv->Connected()) Click(form->BitBtn2);
    SetThreadLocale(kCommaLocale);
  }
  static void Click(zf::TWinControl* c) {
    SendMessageA(c->Handle(), BM_CLICK, 0, 0);
    zf::Application.ProcessMessagesFor(30);
  }
  // Connects the form to the cable's end, as the operator would choose it.
  void ConnectToCable() {
    form->ComboBox6->SetItemIndex(ComFromEnv("ZIVO_COM_A", 8));
    Click(form->BitBtn1);
    ASSERT_TRUE(form->serDrv->Connected());
  }
  // Writes into the far end and gives the form's timer a few ticks.
  void Send(TFarEnd& peer, const std::string& bytes) {
    ASSERT_TRUE(peer.Write(bytes));
    zf::Application.ProcessMessagesFor(250);
  }
  std::vector<std::string> Decoded() const { return WindowLines(form->RichEdited->Handle()); }
  std::vector<std::string> Received() const { return WindowLines(form->RichEdit->Handle()); }

  static TForm1* form;
};
TForm1* FormTest::form = nullptr;

TEST_F(FormTest, StartsFromItsLayout) {
  ASSERT_EQ(form->PageControl1->PageCount(), 3);
  EXPECT_EQ(form->PageControl1->Pages(0)->Caption(), "Comunicação");
  EXPECT_EQ(form->PageControl1->Pages(1)->Caption(), "Configuração");
  EXPECT_EQ(form->PageControl1->ActivePageIndex(), 0);
  EXPECT_TRUE(form->BitBtn1->Enabled());
  EXPECT_FALSE(form->BitBtn2->Enabled());
  EXPECT_EQ(WindowText(form->BitBtn1->Handle()), "Conectar");
  EXPECT_EQ(WindowText(form->BitBtn2->Handle()), "Desconectar");
  EXPECT_EQ(form->ComboBox1->Text(), "9600");
  EXPECT_EQ(form->ComboBox3->ItemIndex(), 3);
  EXPECT_EQ(form->ComboBox2->Items()[form->ComboBox2->ItemIndex()], "ptNONE");
  EXPECT_EQ(form->ComboBox4->Items()[form->ComboBox4->ItemIndex()], "sb1BITS");
  EXPECT_EQ(form->ComboBox6->Items()[form->ComboBox6->ItemIndex()], "pnCOM8");
  EXPECT_EQ(form->ComboBox6->Items().Count(), 18);
  EXPECT_TRUE(form->RichEdit->ReadOnly());
  EXPECT_TRUE(form->RichEdited->ReadOnly());
  EXPECT_TRUE(form->RichEdit2->ReadOnly());
  EXPECT_NE(WindowText(form->RichEdit2->Handle()).find("Remove_Invalidos"), std::string::npos);
  // Both side-panel pictures were decoded from the program's resources.
  ASSERT_NE(form->Image1->Picture().Graphic(), nullptr);
  EXPECT_EQ(form->Image1->Picture().Graphic()->Width(), 152);
  ASSERT_NE(form->Image2->Picture().Graphic(), nullptr);
  EXPECT_EQ(form->Image2->Picture().Graphic()->Height(), 40);
  // The stored serial component.
  EXPECT_EQ(form->serDrv->PortName(), "\\\\.\\COM1");
  EXPECT_EQ(form->serDrv->HwFlow(), serial::THwFlowControl::hfNONE);
  EXPECT_EQ(form->serDrv->BaudRate(), serial::TBaudRate::brCustom);
  EXPECT_TRUE(static_cast<bool>(form->serDrv->OnReceiveData()));
  EXPECT_EQ(Unit1_ReceiveBuffer(), "");
}

TEST_F(FormTest, ConnectWithTheStartValuesOpensCom8WithTheNamedParity) {
  Click(form->BitBtn1);
  ASSERT_TRUE(form->serDrv->Connected()) << "the cable's COM8 end";
  EXPECT_EQ(form->serDrv->PortName(), "\\\\.\\COM8");
  EXPECT_EQ(form->serDrv->BaudRateValue(), 9600u);
  EXPECT_EQ(form->serDrv->DataBits(), serial::TDataBits::db8BITS);
  EXPECT_EQ(form->serDrv->StopBits(), serial::TStopBits::sb1BITS);
  EXPECT_EQ(form->serDrv->Parity(), serial::TParity::ptNONE);
  EXPECT_FALSE(form->BitBtn1->Enabled());
  EXPECT_TRUE(form->BitBtn2->Enabled());
  Click(form->BitBtn2);
  EXPECT_FALSE(form->serDrv->Connected());
  EXPECT_TRUE(form->BitBtn1->Enabled());
  EXPECT_FALSE(form->BitBtn2->Enabled());
  // Each parity item sets the parity it names.
  const struct {
    const char* item;
    serial::TParity parity;
  } parities[] = {{"ptEVEN", serial::TParity::ptEVEN}, {"ptMARK", serial::TParity::ptMARK},
                  {"ptODD", serial::TParity::ptODD}, {"ptSPACE", serial::TParity::ptSPACE}};
  for (const auto& p : parities) {
    form->ComboBox2->SetItemIndex(form->ComboBox2->Items().IndexOf(p.item));
    Click(form->BitBtn1);
    EXPECT_EQ(form->serDrv->Parity(), p.parity) << p.item;
    Click(form->BitBtn2);
  }
  form->ComboBox2->SetItemIndex(3);
}

TEST_F(FormTest, ConnectToAPortWithNothingBehindShowsTheErrorBox) {
  form->ComboBox6->SetItemIndex(16);  // COM16: not mapped in the prefix
  {
    TBoxAnswerer box;
    Click(form->BitBtn1);
    zf::Application.ProcessMessagesFor(100);
    ASSERT_TRUE(box.Answered());
    EXPECT_EQ(box.Caption(), "Erro");
    EXPECT_EQ(box.Text(), "Não foi possível conectar a porta serial.\r\nVerifique as configurações e tente novamente...");
  }
  EXPECT_FALSE(form->serDrv->Connected());
  EXPECT_TRUE(form->BitBtn1->Enabled());
  EXPECT_FALSE(form->BitBtn2->Enabled());
  form->ComboBox6->SetItemIndex(8);
}

TEST_F(FormTest, BaudTextThatIsNoNumberGoesToTheApplication) {
  form->ComboBox1->SetText("96x0");
  Click(form->BitBtn1);
  EXPECT_FALSE(form->serDrv->Connected());
  ASSERT_EQ(Exceptions().size(), 1u);
  EXPECT_EQ(Exceptions()[0], "EConvertError: '96x0' is not a valid integer value");
  form->ComboBox1->SetText("9600");
}

TEST_F(FormTest, WorkedExampleInOneChunk) {
  TFarEnd peer(ComFromEnv("ZIVO_COM_B", 9));
  ASSERT_TRUE(peer.Ok());
  ConnectToCable();
  Send(peer, kWorked);
  EXPECT_EQ(Decoded(), kWorkedLines);
  ASSERT_EQ(form->RichEdit->Lines().Count(), 1);
  EXPECT_EQ(form->RichEdit->Lines()[0], kWorked.substr(1));
  EXPECT_EQ(Unit1_ReceiveBuffer(), "");
  EXPECT_TRUE(Exceptions().empty());
}

TEST_F(FormTest, SplitFrameDecodesOnceAfterTheSecondPart) {
  TFarEnd peer(ComFromEnv("ZIVO_COM_B", 9));
  ASSERT_TRUE(peer.Ok());
  ConnectToCable();
  Send(peer, Frame(0x81, 0x80, "00001", "00002"));
  ASSERT_EQ(Decoded().at(15), "Peso = 00001");
  Send(peer, kWorked.substr(0, 8));
  EXPECT_EQ(Decoded().at(15), "Peso = 00001") << "nothing listed after the first part";
  EXPECT_EQ(Unit1_ReceiveBuffer().size(), 7u);
  Send(peer, kWorked.substr(8));
  EXPECT_EQ(Decoded(), kWorkedLines);
  EXPECT_EQ(Unit1_ReceiveBuffer(), "");
}

TEST_F(FormTest, CheckByteOfCarriageReturnStillDecodes) {
  TFarEnd peer(ComFromEnv("ZIVO_COM_B", 9));
  ASSERT_TRUE(peer.Ok());
  ConnectToCable();
  std::string f = kWorked;
  f.back() = '\x0D';
  Send(peer, f);
  EXPECT_EQ(Decoded(), kWorkedLines);
  EXPECT_EQ(form->RichEdit->Lines()[0].size(), 13u);
}

TEST_F(FormTest, TwoFramesInOneChunkListOnlyTheFirst) {
  TFarEnd peer(ComFromEnv("ZIVO_COM_B", 9));
  ASSERT_TRUE(peer.Ok());
  ConnectToCable();
  Send(peer, kWorked + Frame(0xC1, 0x90, "00042", "00001"));
  EXPECT_EQ(Decoded(), kWorkedLines);
  EXPECT_EQ(Unit1_ReceiveBuffer(), "");
}

TEST_F(FormTest, BlankTareFrameWaitsAndDecodesShiftedWithTheNextFrame) {
  TFarEnd peer(ComFromEnv("ZIVO_COM_B", 9));
  ASSERT_TRUE(peer.Ok());
  ConnectToCable();
  Send(peer, Frame(0x81, 0x80, "00001", "00002"));
  const std::string shortFrame = Frame(0x84, 0x80, "12345", "");
  Send(peer, shortFrame);
  EXPECT_EQ(Decoded().at(15), "Peso = 00001") << "the 9 characters wait";
  EXPECT_EQ(Unit1_ReceiveBuffer(), shortFrame.substr(1));
  Send(peer, kWorked);
  const std::vector<std::string> lines = Decoded();
  ASSERT_EQ(lines.size(), 18u);
  EXPECT_EQ(lines[15], "Peso = 12345");
  EXPECT_EQ(lines[17], "Tara = " + Bytes({0x03, '4', 0x84, 0x80, '1'}));
  EXPECT_EQ(form->RichEdit->Lines()[0], shortFrame.substr(1) + kWorked.substr(1));
  EXPECT_EQ(Unit1_ReceiveBuffer(), "");
}

TEST_F(FormTest, FormattedWeightFollowsTheSystemSeparator) {
  TFarEnd peer(ComFromEnv("ZIVO_COM_B", 9));
  ASSERT_TRUE(peer.Ok());
  ConnectToCable();
  const std::string tenths = Frame(0x82, 0x80, "01234", "00000");
  Send(peer, tenths);
  EXPECT_EQ(Decoded().at(1), "  Display = 0,1");
  EXPECT_EQ(Decoded().at(16), "Peso Formatado = 123,4");
  SetThreadLocale(kDotLocale);
  Send(peer, tenths);
  EXPECT_EQ(Decoded().at(16), "Peso Formatado = 123.4");
  Send(peer, kWorked);
  EXPECT_EQ(Decoded().at(16), "Peso Formatado = 123.45");
  EXPECT_TRUE(Exceptions().empty());
}

TEST_F(FormTest, WeightThatIsNoNumberGoesToTheApplicationAndTheNextFrameDecodes) {
  TFarEnd peer(ComFromEnv("ZIVO_COM_B", 9));
  ASSERT_TRUE(peer.Ok());
  ConnectToCable();
  Send(peer, Frame(0x84, 0x80, "12A45", "00000"));
  std::vector<std::string> lines = Decoded();
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 15),
            std::vector<std::string>(kWorkedLines.begin(), kWorkedLines.begin() + 15));
  EXPECT_EQ(lines.back(), "Peso = 12A45");
  ASSERT_EQ(Exceptions().size(), 1u);
  EXPECT_EQ(Exceptions()[0], "EConvertError: '12A45' is not a valid floating point value");
  EXPECT_EQ(Unit1_ReceiveBuffer(), "");
  Send(peer, kWorked);
  EXPECT_EQ(Decoded(), kWorkedLines);
  EXPECT_EQ(Exceptions().size(), 1u);
}

TEST_F(FormTest, LinkLabelOpensItsCaption) {
  std::vector<std::string> opened;
  form->OpenLink = [&](HWND owner, const char* verb, const std::string& file, const char*, const char*, int show) {
    EXPECT_EQ(owner, form->Handle());
    EXPECT_EQ(verb, nullptr);
    EXPECT_EQ(show, SW_SHOWNORMAL);
    opened.push_back(file);
    return intptr_t{33};
  };
  form->Label29->Click();
  EXPECT_EQ(opened, std::vector<std::string>{form->Label29->Caption()});
  EXPECT_EQ(opened.at(0).rfind("https://", 0), 0u);
  form->OpenLink = zf::ShellExecute;
}

// Last: closing frees the form.
TEST_F(FormTest, ClosingDisconnectsAndFreesTheForm) {
  ConnectToCable();
  // Freed before the serial component (last created, first freed): sees
  // whether the port was still open when the form went.
  struct TWatch : zf::TComponent {
    serial::TSerialDriver* drv;
    int* state;
    TWatch(zf::TComponent* o, serial::TSerialDriver* d, int* s) : zf::TComponent(o), drv(d), state(s) {}
    ~TWatch() override { *state = drv->Connected() ? 1 : 2; }
  };
  int state = 0;
  zf::MakeOwned<TWatch>(form, form->serDrv, &state);
  form->Close();
  zf::Application.ProcessMessagesFor(100);
  EXPECT_EQ(state, 2) << "0: not freed, 1: freed while still connected";
  form = nullptr;
}

}  // namespace
