// Portable part of qelTools: version classifier, version texts, demangler, thunk bytes.
#include "qelToolsOs.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

#include "qelStrings.h"

namespace qel {

namespace {

constexpr const char* kKindNames[] = {
    "None",         "Windows 95",   "Windows 95 OSR-2", "Windows 98",   "Windows 98 SE",
    "Windows ME",   "Windows 9x New", "Windows NT 3",   "Windows NT 4", "Windows 2000",
    "Windows XP",   "Windows 2003", "Windows NT New",
};

uint8_t Kind9x(uint32_t major, uint32_t minor, uint32_t build) {
  if (major < 4) return osNone;
  if (major > 4) return osWin9xNew;
  if (minor < 10) return build <= 1000 ? osWin95 : osWin95OSR2;
  if (minor == 10) {
    if (build > 2700) return osWinME;
    return build <= 2000 ? osWin98 : osWin98SE;
  }
  return minor <= 90 ? osWinME : osWin9xNew;
}

uint8_t KindNT(uint32_t major, uint32_t minor) {
  if (major < 4) return osWinNT3;
  if (major == 4) return osWinNT4;
  if (major == 5) {
    switch (minor) {
      case 0: return osWin2000;
      case 1: return osWinXP;
      case 2: return osWin2003;
      default: return osWinNTNew;
    }
  }
  return osWinNTNew;
}

bool IsDigits(const std::string& s, size_t from) {
  if (from >= s.size()) return false;
  for (size_t i = from; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// Names our own compiler exports: C++ names through the C++ run-time's demangler,
// stdcall "name@N" and fastcall "@name@N" stripped of their decoration.
bool DemangleOwnCompilerName(std::string& name) {
  size_t skip = 0;
  if (name.rfind("_Z", 0) == 0) skip = 0;
  else if (name.rfind("__Z", 0) == 0) skip = 1;  // i686 symbol tables add an underscore
  else skip = std::string::npos;
  if (skip != std::string::npos) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> plain(
        abi::__cxa_demangle(name.c_str() + skip, nullptr, nullptr, &status), &std::free);
    if (status != 0 || !plain) return false;
    name = plain.get();
    SubstStr(name, "::", ".", false);
    return true;
  }
  const size_t at = name.rfind('@');
  if (at == std::string::npos || at == 0 || !IsDigits(name, at + 1)) return false;
  if (name[0] == '@') {
    if (name.find('@', 1) != at) return false;  // more than one part: the other compiler's form
    name = name.substr(1, at - 1);
  } else {
    name.resize(at);
  }
  return !name.empty();
}

}  // namespace

const char* OsKindName(uint8_t kind) {
  return kind < std::size(kKindNames) ? kKindNames[kind] : kKindNames[0];
}

TOS ClassifyOs(uint32_t platformId, uint32_t major, uint32_t minor, uint32_t build, const std::string& csd) {
  TOS os;
  os.MajorVersion = major;
  os.MinorVersion = minor;
  os.BuildNumber = build;
  os.ServicePackText = csd.substr(0, 128);
  os.Is9x = platformId == 1;
  os.IsNT = platformId == 2;
  if (os.Is9x) {
    os.BuildNumber = build & 0xFFFF;
    os.Kind = Kind9x(major, minor, os.BuildNumber);
    os.Kind9x = os.Kind;
  } else if (os.IsNT) {
    os.Kind = KindNT(major, minor);
    os.KindNT = os.Kind;
    // "Service Pack N": the number starts at the 14th character.
    const std::string& sp = os.ServicePackText;
    if (sp.size() > 13)
      os.ServicePack = static_cast<uint32_t>(ParseIntBuf(false, sp.data() + 13, static_cast<int32_t>(sp.size() - 13)));
  }
  os.Name = OsKindName(os.Kind);
  if (os.IsNT && !os.ServicePackText.empty()) os.Name += " " + os.ServicePackText;
  return os;
}

std::string FileVersionText(uint64_t version) {
  std::string text;
  for (int shift = 48; shift >= 0; shift -= 16) {
    if (!text.empty()) text += '.';
    text += std::to_string(static_cast<unsigned>((version >> shift) & 0xFFFF));
  }
  return text;
}

bool DemangleExportName(std::string& name, std::string& unit) {
  unit.clear();
  SubstStr(name, "::", ".", false);
  if (DemangleOwnCompilerName(name)) return true;
  if (name.empty() || name[0] != '@') return false;

  // Positions below are 0-based; lead is the at sign in front of the unit.
  // Template names "@%Class$args%@Routine$params": the routine after "%@" is
  // the tail, cut at its own "$" like the name itself.
  std::string tail;
  bool templateName = false, tailDestructor = false;
  if (name.size() > 1 && name[1] == '%') {
    for (size_t i = name.size() - 1; i >= 3; --i) {
      if (name[i - 1] == '%' && name[i] == '@') {
        tail.assign(1, '.');
        tail.append(name, i + 1, std::string::npos);
        const size_t dollar = tail.find('$');
        if (dollar != std::string::npos) {
          tailDestructor = dollar + 2 < tail.size() && tail[dollar + 2] == 'd';
          tail.resize(dollar);
        }
        templateName = true;
        break;
      }
    }
  }
  size_t lead = 0;
  if (name.size() > 6 && name[1] == '_' && name[2] == '$') {
    // Prefixed names: "@_$...$@Unit@Routine..." - the unit follows the prefix.
    const size_t dollar = name.find('$', 4);
    if (dollar != std::string::npos && dollar + 1 < name.size() && name[dollar + 1] == '@') lead = dollar + 1;
  }
  bool unitFound = false, endedAtDollar = false, destructor = false;
  for (size_t i = lead + 2; i < name.size(); ++i) {
    if (name[i] == '@') {
      if (!unitFound) {
        unit = name.substr(lead + 1, i - lead - 1);
        unitFound = true;
      }
      name[i] = '.';
    } else if (name[i] == '$') {
      destructor = templateName ? tailDestructor : i + 2 < name.size() && name[i + 2] == 'd';
      name.resize(i);
      name += tail;
      endedAtDollar = true;
      break;
    }
  }
  if (unitFound && name.size() > lead + unit.size() + 2) {
    name.erase(0, lead + unit.size() + 2);
  } else {
    unit.clear();
    if (endedAtDollar) name.erase(0, 1);
  }
  if (!name.empty() && name[0] == '%') name.erase(0, 1);
  if (!name.empty() && name[0] == '.') name[0] = '@';
  if (!name.empty() && name.back() == '.') name += destructor ? "Destroy" : "Create";
  TrimBlanks(name);
  if (!name.empty() && name.back() == '.') name += '?';
  return true;
}

TMethodThunkBytes MethodThunkBytes(uint32_t object, uint32_t code, uint32_t stubAddress) {
  TMethodThunkBytes b{};
  auto put32 = [&b](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  b[0] = 0x58;  // pop eax: the return address
  b[1] = 0x68;  // push object
  put32(2, object);
  b[6] = 0x50;  // push eax: the return address back on top
  b[7] = 0xFF;  // jmp dword [stub + 13]
  b[8] = 0x25;
  put32(9, stubAddress + 13);
  put32(13, code);
  return b;
}

}  // namespace qel
