// Operating-system facts that do not need the system itself: the version
// classifier behind OsInfo, version texts, tick arithmetic, the export-name
// demangler and the bytes of the method thunk. Portable; qelTools.h adds the
// Windows side.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace qel {

enum TOSKind : uint8_t {
  osNone = 0,
  osWin95 = 1,
  osWin95OSR2 = 2,
  osWin98 = 3,
  osWin98SE = 4,
  osWinME = 5,
  osWin9xNew = 6,
  osWinNT3 = 7,
  osWinNT4 = 8,
  osWin2000 = 9,
  osWinXP = 10,
  osWin2003 = 11,
  osWinNTNew = 12,
};

// The Windows version and its name, as OsInfo caches it.
struct TOS {
  uint32_t MajorVersion = 0;
  uint32_t MinorVersion = 0;
  uint32_t BuildNumber = 0;      // on Windows 9x only the low 16 bits of the system's field
  std::string ServicePackText;   // the system's CSD text
  bool Is9x = false;             // platform id 1
  uint8_t Kind9x = 0;            // Kind when Is9x, else 0
  bool IsNT = false;             // platform id 2
  uint8_t KindNT = 0;            // Kind when IsNT, else 0
  uint8_t Kind = osNone;         // TOSKind
  uint32_t ServicePack = 0;      // service-pack number on NT, else 0
  std::string Name;
};

// "None", "Windows 95" ... "Windows NT New"; "None" for values beyond the list.
const char* OsKindName(uint8_t kind);

// Fills a TOS from what the system's version record says (platform id 1 = 9x, 2 = NT).
TOS ClassifyOs(uint32_t platformId, uint32_t major, uint32_t minor, uint32_t build, const std::string& csd);

// "5.1.2600.0": the four 16-bit parts of a 64-bit file version, highest first.
std::string FileVersionText(uint64_t version);

// Milliseconds from t0 to now as 32-bit tick counts; a wrap of the counter counts right.
constexpr uint32_t TicksBetween(uint32_t t0, uint32_t now) { return now - t0; }

// Turns a compiler's export name into unit and routine text:
//   "@System@Move$qqrpxvpvi"  -> unit "System",  name "Move"
//   "@Classes@TList@$bctr$qqrv" -> unit "Classes", name "TList.Create"
// and for our own compiler's exports "_ZN2ns4funcEv" -> "ns.func()",
// "name@12" and "@name@12" -> "name". True when the name was a mangled one;
// "::" becomes "." in every case.
bool DemangleExportName(std::string& name, std::string& unit);

// The 17 bytes of a stub at stubAddress that calls code with object inserted as
// the first stack argument (pop eax; push object; push eax; jmp [stub+13]; dd code).
using TMethodThunkBytes = std::array<uint8_t, 17>;
TMethodThunkBytes MethodThunkBytes(uint32_t object, uint32_t code, uint32_t stubAddress);

}  // namespace qel
