#include "SysUtils.h"

#include <charconv>
#include <cstdio>

namespace zf {

void Abort() { throw EAbort("Operation aborted"); }

std::string ExternalExceptionMessage(uint32_t code, uintptr_t address, const std::string& moduleName,
                                     uint32_t accessKind, uintptr_t accessed) {
  auto hex = [](uintptr_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "$%x", static_cast<unsigned>(v));
    return std::string(buf);
  };
  switch (code) {
    case 0xC0000005u: {
      std::string text = "Access violation at address " + hex(address);
      if (!moduleName.empty()) text += " in module '" + moduleName + "'";
      // The system's access kind: 0 read, 8 execution (data execution
      // prevention), anything else a write.
      const char* kind = accessKind == 0 ? "Read" : accessKind == 8 ? "Execution" : "Write";
      return text + ". " + kind + " of address " + hex(accessed);
    }
    case 0xC000008Cu: return "Range check error";
    case 0xC000008Du:
    case 0xC0000093u: return "Floating point underflow";
    case 0xC000008Eu: return "Floating point division by zero";
    case 0xC000008Fu:
    case 0xC0000090u:
    case 0xC0000092u: return "Invalid floating point operation";
    case 0xC0000091u: return "Floating point overflow";
    case 0xC0000094u: return "Division by zero";
    case 0xC0000095u: return "Integer overflow";
    case 0xC0000096u: return "Privileged instruction";
    case 0xC00000FDu: return "Stack overflow";
    case 0xC000013Au: return "Control-C hit";
    default: {
      char buf[16];
      std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(code));
      return std::string("External exception ") + buf;
    }
  }
}

bool TryStrToInt(std::string_view s, int32_t& value) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    neg = s[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return false;
  uint64_t mag = 0;
  for (; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    unsigned d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    mag = mag * base + d;
    if (mag > 0xFFFFFFFFull) return false;
  }
  if (base == 16) {
    // Hexadecimal covers the whole 32-bit pattern, as "$FFFFFFFF" = -1 does.
    uint32_t bits = static_cast<uint32_t>(mag);
    value = static_cast<int32_t>(neg ? 0u - bits : bits);
    return true;
  }
  if (neg ? mag > 0x80000000ull : mag > 0x7FFFFFFFull) return false;
  value = neg ? static_cast<int32_t>(0 - mag) : static_cast<int32_t>(mag);
  return true;
}

int32_t StrToInt(std::string_view s) {
  int32_t v = 0;
  if (!TryStrToInt(s, v)) throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
  return v;
}

int32_t StrToIntDef(std::string_view s, int32_t def) {
  int32_t v = 0;
  return TryStrToInt(s, v) ? v : def;
}

std::string IntToStr(int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

}  // namespace zf
