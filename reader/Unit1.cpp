#include "Unit1.h"

#include <windows.h>

#include "Recepcao.h"
#include "SysUtils.h"

namespace {

int g_initCount = 0;
int g_finiCount = 0;
std::string g_buffer;  // the receive buffer, lasting from one receive event to the next

// The system's decimal separator, read on every decoding so that a change of
// the locale shows in the next frame.
char DecimalSeparator() {
  char buf[4] = {};
  return GetLocaleInfoA(GetThreadLocale(), LOCALE_SDECIMAL, buf, sizeof buf) > 0 && buf[0] != 0 ? buf[0] : '.';
}

// The two lists of the first tab as the decoding fills them.
class TFormLists : public reader::IFrameLists {
public:
  TFormLists(zf::TRichEdit& received, zf::TRichEdit& decoded) : FReceived(received), FDecoded(decoded) {}
  void ClearLists() override {
    FReceived.Clear();
    FDecoded.Clear();
  }
  void AddReceived(const std::string& line) override { FReceived.Lines().Add(line); }
  void AddDecoded(const std::string& line) override { FDecoded.Lines().Add(line); }

private:
  zf::TRichEdit& FReceived;
  zf::TRichEdit& FDecoded;
};

}  // namespace

const zf::TClassInfo& TForm1::StaticClassInfo() {
  using F = TForm1;
  return zf::MakeClassInfo<F, zf::TForm>("TForm1", [](zf::TPublisher<F>& p) {
    p.Field("PageControl1", &F::PageControl1);
    p.Field("TabSheet1", &F::TabSheet1);
    p.Field("TabSheet2", &F::TabSheet2);
    p.Field("TabSheet3", &F::TabSheet3);
    p.Field("Image1", &F::Image1);
    p.Field("Image2", &F::Image2);
    p.Field("RichEdit", &F::RichEdit);
    p.Field("RichEdited", &F::RichEdited);
    p.Field("RichEdit2", &F::RichEdit2);
    p.Field("BitBtn1", &F::BitBtn1);
    p.Field("BitBtn2", &F::BitBtn2);
    p.Field("ComboBox1", &F::ComboBox1);
    p.Field("ComboBox2", &F::ComboBox2);
    p.Field("ComboBox3", &F::ComboBox3);
    p.Field("ComboBox4", &F::ComboBox4);
    p.Field("ComboBox6", &F::ComboBox6);
    p.Field("Label29", &F::Label29);
    p.Field("serDrv", &F::serDrv);
    p.Handler<zf::TNotifyEvent>("BitBtn1Click", &F::BitBtn1Click);
    p.Handler<zf::TNotifyEvent>("BitBtn2Click", &F::BitBtn2Click);
    p.Handler<serial::TReceiveDataEvent>("serDrvReceiveData", &F::serDrvReceiveData);
    p.Handler<zf::TCloseEvent>("FormClose", &F::FormClose);
    p.Handler<zf::TNotifyEvent>("Label29Click", &F::Label29Click);
  });
}

void TForm1::UpdateButtons() {
  BitBtn1->SetEnabled(!serDrv->Connected());
  BitBtn2->SetEnabled(serDrv->Connected());
}

void TForm1::BitBtn1Click(zf::TObject*) {
  if (serDrv->Connected()) {
    serDrv->Disconnect();
    UpdateButtons();
    return;
  }
  // A baud text that is not a number raises here, before any setting changes.
  const int32_t baud = zf::StrToInt(ComboBox1->Text());
  serDrv->SetBaudRateValue(static_cast<uint32_t>(baud));
  // Port, data bits and stop bits: the items stand in the order of the
  // enumerations, so the index is the ordinal (the empty last port item
  // gives number 17, whose device path the component builds like the others).
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

void TForm1::BitBtn2Click(zf::TObject*) {
  if (serDrv->Connected()) serDrv->Disconnect();
  UpdateButtons();
}

void TForm1::serDrvReceiveData(zf::TObject*, void* DataPtr, uint32_t DataSize) {
  // A conversion error leaves the lines written so far and goes on to the
  // application's exception handling; the buffer is empty again either way.
  TFormLists lists(*RichEdit, *RichEdited);
  reader::Receive_Chunk(g_buffer, DataPtr, DataSize, DecimalSeparator(), lists);
}

void TForm1::FormClose(zf::TObject*, zf::TCloseAction& Action) {
  BitBtn2->Click();
  Action = zf::TCloseAction::caFree;
}

void TForm1::Label29Click(zf::TObject* Sender) {
  const auto* label = dynamic_cast<const zf::TLabel*>(Sender);
  if (!label) return;
  OpenLink(Handle(), nullptr, label->Caption(), nullptr, nullptr, SW_SHOWNORMAL);
}

const std::string& Unit1_ReceiveBuffer() { return g_buffer; }

void Unit1_Init() { ++g_initCount; }
void Unit1_Fini() {
  ++g_finiCount;
  g_buffer.clear();
}
int Unit1_InitCount() { return g_initCount; }
int Unit1_FiniCount() { return g_finiCount; }
