// The reader's main form: serial settings on the configuration tab, and on
// the first tab the received text after cleaning and its decoded fields.
// Everything comes from the stored layout TFORM1; the form never sends.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "Forms.h"
#include "SerialDrv.h"
#include "StdCtrls.h"

class TForm1 : public zf::TForm {
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
  zf::TRichEdit* RichEdit = nullptr;
  zf::TRichEdit* RichEdited = nullptr;
  zf::TRichEdit* RichEdit2 = nullptr;
  zf::TBitBtn* BitBtn1 = nullptr;
  zf::TBitBtn* BitBtn2 = nullptr;
  zf::TComboBox* ComboBox1 = nullptr;
  zf::TComboBox* ComboBox2 = nullptr;
  zf::TComboBox* ComboBox3 = nullptr;
  zf::TComboBox* ComboBox4 = nullptr;
  zf::TComboBox* ComboBox6 = nullptr;
  zf::TLabel* Label29 = nullptr;
  serial::TSerialDriver* serDrv = nullptr;

  void BitBtn1Click(zf::TObject* Sender);
  void BitBtn2Click(zf::TObject* Sender);
  void serDrvReceiveData(zf::TObject* Sender, void* DataPtr, uint32_t DataSize);
  void FormClose(zf::TObject* Sender, zf::TCloseAction& Action);
  void Label29Click(zf::TObject* Sender);

  // How the link label's caption is opened: the shell, unless a test puts
  // something else here (links must not leave the machine under test).
  using TOpenLink = std::function<intptr_t(HWND owner, const char* verb, const std::string& file,
                                           const char* params, const char* directory, int show)>;
  TOpenLink OpenLink = zf::ShellExecute;

private:
  void UpdateButtons();
};

// The receive buffer: cleaned characters collected over receive events
// until a frame's worth can be decoded (empty between frames).
const std::string& Unit1_ReceiveBuffer();

// Unit initialization and finalization: they count their calls; the
// finalization also empties the receive buffer.
void Unit1_Init();
void Unit1_Fini();
int Unit1_InitCount();
int Unit1_FiniCount();
