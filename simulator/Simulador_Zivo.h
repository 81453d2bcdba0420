// The simulator's main form: serial settings, status choices, weight and
// tare; each press of "&Enviar" builds one weight frame, writes it to the
// port and lists its breakdown. Everything comes from the stored layout
// TSIMULADOR_ZIVO_FRM; the form keeps no settings of its own.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "Forms.h"
#include "SerialDrv.h"
#include "StdCtrls.h"

class TSimulador_Zivo_Frm : public zf::TForm {
public:
  using zf::TForm::TForm;
  static const zf::TClassInfo& StaticClassInfo();
  const zf::TClassInfo& ClassInfo() const override { return StaticClassInfo(); }

  zf::TPageControl* PageControl1 = nullptr;
  zf::TTabSheet* TabSheet1 = nullptr;
  zf::TTabSheet* TabSheet2 = nullptr;
  zf::TTabSheet* TabSheet3 = nullptr;
  zf::TImage* Image1 = nullptr;
  zf::TImage* Image2 = nullptr;
  zf::TImage* Image4 = nullptr;
  zf::TMaskEdit* MaskEdit1 = nullptr;
  zf::TBitBtn* BitBtn4 = nullptr;
  zf::TRichEdit* RichEdited = nullptr;
  zf::TEdit* Edit1 = nullptr;
  zf::TBitBtn* BitBtn1 = nullptr;
  zf::TBitBtn* BitBtn2 = nullptr;
  zf::TComboBox* ComboBox1 = nullptr;
  zf::TComboBox* ComboBox2 = nullptr;
  zf::TComboBox* ComboBox3 = nullptr;
  zf::TComboBox* ComboBox4 = nullptr;
  zf::TComboBox* ComboBox6 = nullptr;
  zf::TRadioGroup* RadioGroup1 = nullptr;
  zf::TCheckBox* CheckBox2 = nullptr;
  zf::TCheckBox* CheckBox3 = nullptr;
  zf::TCheckBox* CheckBox6 = nullptr;
  zf::TCheckBox* CheckBox7 = nullptr;
  zf::TCheckBox* CheckBox13 = nullptr;
  zf::TMaskEdit* MaskEdit2 = nullptr;
  zf::TLabel* Label29 = nullptr;
  zf::TLabel* Label30 = nullptr;
  zf::TLabel* Label31 = nullptr;
  serial::TSerialDriver* serDrv = nullptr;

  void BitBtn1Click(zf::TObject* Sender);
  void BitBtn2Click(zf::TObject* Sender);
  void BitBtn4Click(zf::TObject* Sender);
  void CheckBox2Click(zf::TObject* Sender);
  void RadioGroup1Exit(zf::TObject* Sender);
  void FormClose(zf::TObject* Sender, zf::TCloseAction& Action);
  void Label29Click(zf::TObject* Sender);

  // How a link label's caption is opened; the shell unless a test puts
  // something else here (links must not leave the machine under test).
  using TOpenLink = std::function<intptr_t(HWND owner, const char* verb, const std::string& file,
                                           const char* params, const char* directory, int show)>;
  TOpenLink OpenLink = zf::ShellExecute;

private:
  void UpdateButtons();
};

// Unit initialization and finalization: they only count their calls.
void Simulador_Zivo_Init();
void Simulador_Zivo_Fini();
int Simulador_Zivo_InitCount();
int Simulador_Zivo_FiniCount();
