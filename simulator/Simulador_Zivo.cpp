#include "Simulador_Zivo.h"

#include "Simulador_Zivo_Unit.h"
#include "SysUtils.h"

using namespace simulator;

namespace {
int g_initCount = 0;
int g_finiCount = 0;

const char* BoolText(bool b) { return b ? "True" : "False"; }
}  // namespace

const zf::TClassInfo& TSimulador_Zivo_Frm::StaticClassInfo() {
  using F = TSimulador_Zivo_Frm;
  return zf::MakeClassInfo<F, zf::TForm>("TSimulador_Zivo_Frm", [](zf::TPublisher<F>& p) {
    p.Field("PageControl1", &F::PageControl1);
    p.Field("TabSheet1", &F::TabSheet1);
    p.Field("TabSheet2", &F::TabSheet2);
    p.Field("TabSheet3", &F::TabSheet3);
    p.Field("Image1", &F::Image1);
    p.Field("Image2", &F::Image2);
    p.Field("Image4", &F::Image4);
    p.Field("MaskEdit1", &F::MaskEdit1);
    p.Field("BitBtn4", &F::BitBtn4);
    p.Field("RichEdited", &F::RichEdited);
    p.Field("Edit1", &F::Edit1);
    p.Field("BitBtn1", &F::BitBtn1);
    p.Field("BitBtn2", &F::BitBtn2);
    p.Field("ComboBox1", &F::ComboBox1);
    p.Field("ComboBox2", &F::ComboBox2);
    p.Field("ComboBox3", &F::ComboBox3);
    p.Field("ComboBox4", &F::ComboBox4);
    p.Field("ComboBox6", &F::ComboBox6);
    p.Field("RadioGroup1", &F::RadioGroup1);
    p.Field("CheckBox2", &F::CheckBox2);
    p.Field("CheckBox3", &F::CheckBox3);
    p.Field("CheckBox6", &F::CheckBox6);
    p.Field("CheckBox7", &F::CheckBox7);
    p.Field("CheckBox13", &F::CheckBox13);
    p.Field("MaskEdit2", &F::MaskEdit2);
    p.Field("Label29", &F::Label29);
    p.Field("Label30", &F::Label30);
    p.Field("Label31", &F::Label31);
    p.Field("serDrv", &F::serDrv);
    p.Handler<zf::TNotifyEvent>("BitBtn1Click", &F::BitBtn1Click);
    p.Handler<zf::TNotifyEvent>("BitBtn2Click", &F::BitBtn2Click);
    p.Handler<zf::TNotifyEvent>("BitBtn4Click", &F::BitBtn4Click);
    p.Handler<zf::TNotifyEvent>("CheckBox2Click", &F::CheckBox2Click);
    p.Handler<zf::TNotifyEvent>("RadioGroup1Exit", &F::RadioGroup1Exit);
    p.Handler<zf::TCloseEvent>("FormClose", &F::FormClose);
    p.Handler<zf::TNotifyEvent>("Label29Click", &F::Label29Click);
  });
}

void TSimulador_Zivo_Frm::UpdateButtons() {
  BitBtn1->SetEnabled(!serDrv->Connected());
  BitBtn2->SetEnabled(serDrv->Connected());
}

void TSimulador_Zivo_Frm::BitBtn1Click(zf::TObject*) {
  if (serDrv->Connected()) {
    serDrv->Disconnect();
    UpdateButtons();
    return;
  }
  // A baud text that is not a number raises here, before any setting changes.
  const int32_t baud = zf::StrToInt(ComboBox1->Text());
  serDrv->SetBaudRateValue(static_cast<uint32_t>(baud));
  // Port, data bits and stop bits: the items stand in the order of the
  // enumerations, so the index is the ordinal. The empty last port item
  // gives number 17, whose device path the component builds like the others.
  if (const int i = ComboBox6->ItemIndex(); i >= 0) serDrv->SetPort(static_cast<serial::TPortNumber>(i));
  if (const int i = ComboBox3->ItemIndex(); i >= 0) serDrv->SetDataBits(static_cast<serial::TDataBits>(i));
  if (const int i = ComboBox4->ItemIndex(); i >= 0) serDrv->SetStopBits(static_cast<serial::TStopBits>(i));
  // The parity items do not stand in the enumeration's order: each names its value.
  if (const int i = ComboBox2->ItemIndex(); i >= 0) {
    const int ord = serial::ParityInfo.ValueOf(ComboBox2->Items()[i]);
    if (ord >= 0) serDrv->SetParity(static_cast<serial::TParity>(ord));
  }
  if (!serDrv->Connect())
    zf::Application.MessageBox(
        "Não foi possível conectar a porta serial.\r\nVerifique as configurações e tente novamente...", "Erro",
        MB_ICONERROR);
  UpdateButtons();
}

void TSimulador_Zivo_Frm::BitBtn2Click(zf::TObject*) {
  if (serDrv->Connected()) serDrv->Disconnect();
  UpdateButtons();
}

void TSimulador_Zivo_Frm::BitBtn4Click(zf::TObject*) {
  RichEdited->Clear();
  Edit1->Clear();

  const int precision = RadioGroup1->ItemIndex();
  const bool negative = CheckBox6->Checked();
  const bool overload = CheckBox7->Checked();
  const bool saturation = CheckBox13->Checked();
  const bool motion = CheckBox3->Checked();
  const std::string peso = MaskEdit1->Text().substr(0, kMaxFieldText);
  const std::string tara = MaskEdit2->Text().substr(0, kMaxFieldText);

  const uint8_t status1 =
      Monta_STATUS1(static_cast<uint8_t>(precision), negative, motion, saturation, overload);
  // The form has no controls for the set points and tare flags.
  const uint8_t status2 = Monta_STATUS2(false, false, false, false, false, false);
  const std::string frame = Monta_String(status1, status2, peso, tara);

  zf::TStrings& l = RichEdited->Lines();
  l.Add("STATUS1 = " + Int_To_Bin(status1, 8));
  switch (precision) {
    case 0: l.Add("  Display = 1"); break;
    case 1: l.Add("  Display = 0.1"); break;
    case 2: l.Add("  Display = 0.01"); break;
    default: break;
  }
  l.Add(std::string("  Peso Negativo = ") + BoolText(negative));
  l.Add(std::string("  Sobre Carga = ") + BoolText(overload));
  l.Add(std::string("  Saturação = ") + BoolText(saturation));
  l.Add(std::string("  Sensor Movimento = ") + BoolText(motion));
  l.Add("");
  l.Add("STATUS2 = " + Int_To_Bin(status2, 8));
  for (const char* flag : {"  TR1 = ", "  TR2 = ", "  TR3 = ", "  SP1 = ", "  SP2 = ", "  SP3 = "})
    l.Add(std::string(flag) + BoolText(false));
  l.Add("");
  l.Add("Peso = " + peso);
  l.Add("Tara = " + tara);

  if (serDrv->SendString(frame))
    Edit1->SetText(frame);
  else
    zf::Application.MessageBox(
        "A porta serial não foi aberta, ou o dado não foi enviado completamente\r\n durante o tempo de envio.\r\n",
        "Atenção!", MB_ICONEXCLAMATION);
}

void TSimulador_Zivo_Frm::CheckBox2Click(zf::TObject*) {
  if (!CheckBox2->Checked()) MaskEdit2->SetText("000000");
  MaskEdit2->SetEnabled(CheckBox2->Checked());
}

void TSimulador_Zivo_Frm::RadioGroup1Exit(zf::TObject*) {
  switch (RadioGroup1->ItemIndex()) {
    case 0: MaskEdit1->SetEditMask("99999;1;0"); break;
    case 1: MaskEdit1->SetEditMask("9999,9;1;0"); break;
    case 2: MaskEdit1->SetEditMask("999,99;1;0"); break;
    default: break;
  }
  MaskEdit1->Clear();
}

void TSimulador_Zivo_Frm::FormClose(zf::TObject*, zf::TCloseAction& Action) {
  BitBtn2->Click();
  Action = zf::TCloseAction::caFree;
}

void TSimulador_Zivo_Frm::Label29Click(zf::TObject* Sender) {
  const auto* label = dynamic_cast<const zf::TLabel*>(Sender);
  if (!label) return;
  OpenLink(Handle(), nullptr, label->Caption(), nullptr, nullptr, SW_SHOWNORMAL);
}

void Simulador_Zivo_Init() { ++g_initCount; }
void Simulador_Zivo_Fini() { ++g_finiCount; }
int Simulador_Zivo_InitCount() { return g_initCount; }
int Simulador_Zivo_FiniCount() { return g_finiCount; }
