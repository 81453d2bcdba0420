// Tarvik, the scale simulator: runs the unit table, creates the main form
// from its stored layout and runs the message loop until the form closes.
// It takes nothing from its command line and keeps no settings.
#include <windows.h>

#include "ClipIcon.h"
#include "Forms.h"
#include "GifImg.h"
#include "PicConst.h"
#include "PicUtils.h"
#include "qelExcept.h"
#include "SerialDrv.h"
#include "System.h"
#include "Simulador_Zivo.h"
#include "Simulador_Zivo_Unit.h"
#include "Units.h"

namespace {

// Initialized in this order, finalized in reverse; the reporter's units
// come before every unit that creates or registers anything of the framework.
const zf::TUnitEntry kUnits[] = {
    QEL_REPORTER_UNITS,
    {"PicUtils", pictures::PicUtilsInit, pictures::PicUtilsFini},
    {"PicConst", pictures::RegisterCursors, pictures::UnregisterCursors},
    {"ClipIcon", pictures::RegisterIconFormat, pictures::UnregisterIconFormat},
    {"GifImg", pictures::RegisterGifImage, pictures::UnregisterGifImage},
    {"Simulador_Zivo_Unit", simulator::Simulador_Zivo_Unit_Init, simulator::Simulador_Zivo_Unit_Fini},
    {"Simulador_Zivo", Simulador_Zivo_Init, Simulador_Zivo_Fini},
    {"Tarvik", nullptr, nullptr},
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  zf::TUnitTable units(kUnits);
  zf::ProgramUnits = &units;
  units.Initialize();
  zf::RegisterClass(serial::TSerialDriver::StaticClassInfo());
  zf::Application.Initialize();
  TSimulador_Zivo_Frm* Simulador_Zivo_Frm = nullptr;
  zf::Application.CreateForm(Simulador_Zivo_Frm);
  zf::Application.Run();
  // The program's end: units finalized, then the process exits (ExitCode 0).
  zf::Halt0();
}
