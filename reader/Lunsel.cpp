// Lunsel, the scale reader: runs the unit table, creates the main form from
// its stored layout and runs the message loop until the form closes. It
// takes nothing from its command line and keeps no settings.
#include <windows.h>

#include "Forms.h"
#include "qelExcept.h"
#include "SerialDrv.h"
#include "System.h"
#include "Unit1.h"
#include "Units.h"
#include "ZIVO_Unit.h"

namespace {

// Initialized in this order, finalized in reverse; the reporter's units
// come before every unit that creates or registers anything of the framework.
const zf::TUnitEntry kUnits[] = {
    QEL_REPORTER_UNITS,
    {"ZIVO_Unit", reader::ZIVO_Unit_Init, reader::ZIVO_Unit_Fini},
    {"Unit1", Unit1_Init, Unit1_Fini},
    {"Lunsel", nullptr, nullptr},
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  zf::TUnitTable units(kUnits);
  zf::ProgramUnits = &units;
  units.Initialize();
  zf::RegisterClass(serial::TSerialDriver::StaticClassInfo());
  zf::Application.Initialize();
  TForm1* Form1 = nullptr;
  zf::Application.CreateForm(Form1);
  zf::Application.Run();
  // The program's end: units finalized, then the process exits (ExitCode 0).
  zf::Halt0();
}
