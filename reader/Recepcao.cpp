#include "Recepcao.h"

#include <charconv>
#include <cstdint>

#include "SysUtils.h"
#include "ZIVO_Unit.h"

namespace reader {

namespace {

constexpr size_t kFrameChars = 13;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Text to number as the run-time library reads it: blanks around, a sign,
// digits with at most one `sep`, an optional exponent. Nothing else.
double TextToFloat(const std::string& text, char sep) {
  size_t i = 0, end = text.size();
  while (i < end && IsBlank(text[i])) ++i;
  while (end > i && IsBlank(text[end - 1])) --end;
  std::string plain;
  if (i < end && (text[i] == '+' || text[i] == '-')) plain += text[i++];
  size_t digits = 0;
  bool point = false;
  for (; i < end; ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      plain += c;
      ++digits;
    } else if (c == sep && !point) {
      plain += '.';
      point = true;
    } else {
      break;
    }
  }
  bool ok = digits > 0;
  if (ok && i < end && (text[i] == 'e' || text[i] == 'E')) {
    plain += 'e';
    ++i;
    if (i < end && (text[i] == '+' || text[i] == '-')) plain += text[i++];
    size_t expDigits = 0;
    for (; i < end && text[i] >= '0' && text[i] <= '9'; ++i, ++expDigits) plain += text[i];
    ok = expDigits > 0;
  }
  double value = 0;
  if (ok && i == end) {
    const char* first = plain.data() + (plain[0] == '+' ? 1 : 0);
    const auto r = std::from_chars(first, plain.data() + plain.size(), value);
    ok = r.ec == std::errc() && r.ptr == plain.data() + plain.size();
  } else {
    ok = false;
  }
  if (!ok) throw zf::EConvertError("'" + text + "' is not a valid floating point value");
  return value;
}

// Fifteen significant digits, general form; the exponent as "E-5" / "E20".
std::string FloatToText(double value, char sep) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  std::string s(buf, r.ptr);
  std::string out;
  const size_t e = s.find('e');
  const std::string mantissa = s.substr(0, e);
  for (const char c : mantissa) out += c == '.' ? sep : c;
  if (e != std::string::npos) {
    out += 'E';
    size_t k = e + 1;
    if (s[k] == '-') out += '-';
    if (s[k] == '-' || s[k] == '+') ++k;
    while (k + 1 < s.size() && s[k] == '0') ++k;
    out += s.substr(k);
  }
  return out;
}

const char* BoolText(bool b) { return b ? "True" : "False"; }

// Empties the buffer on every way out of the decoding.
class TEmptyOnExit {
public:
  explicit TEmptyOnExit(std::string& s) : FText(s) {}
  ~TEmptyOnExit() { FText.clear(); }
  TEmptyOnExit(const TEmptyOnExit&) = delete;
  TEmptyOnExit& operator=(const TEmptyOnExit&) = delete;

private:
  std::string& FText;
};

}  // namespace

std::string Peso_Formatado(const std::string& Peso, const std::string& display, char decimalSeparator) {
  const double weight = TextToFloat(Peso, decimalSeparator);
  const double factor = TextToFloat(display, ',');
  return FloatToText(weight * factor, decimalSeparator);
}

void Receive_Chunk(std::string& buffer, const void* data, size_t size, char decimalSeparator, IFrameLists& lists) {
  const std::string s = Remove_Invalidos(std::string(static_cast<const char*>(data), size));
  if (buffer.size() < kFrameChars) buffer += s;
  if (buffer.size() < kFrameChars) return;

  TEmptyOnExit emptied(buffer);
  lists.ClearLists();
  lists.AddReceived(buffer);

  std::string STATUS1, STATUS2, Peso, Tara, CK_SUM, display;
  bool peso_negativo, sensor_movimento, saturacao, sobrecarga, TR1, TR2, TR3, SP1, SP2, SP3;
  Trata_Buffer(buffer, STATUS1, STATUS2, Peso, Tara, CK_SUM);
  Trata_STATUS1(STATUS1, display, peso_negativo, sensor_movimento, saturacao, sobrecarga);
  Trata_STATUS2(STATUS2, TR1, TR2, TR3, SP1, SP2, SP3);

  lists.AddDecoded("STATUS1 = 0" + STATUS1);
  lists.AddDecoded("  Display = " + display);
  lists.AddDecoded(std::string("  Peso Negativo = ") + BoolText(peso_negativo));
  lists.AddDecoded(std::string("  Sobre Carga = ") + BoolText(sobrecarga));
  lists.AddDecoded(std::string("  Saturação = ") + BoolText(saturacao));
  lists.AddDecoded(std::string("  Sensor Movimento = ") + BoolText(sensor_movimento));
  lists.AddDecoded("");
  lists.AddDecoded("STATUS2 = 0" + STATUS2);
  lists.AddDecoded(std::string("  TR1 = ") + BoolText(TR1));
  lists.AddDecoded(std::string("  TR2 = ") + BoolText(TR2));
  lists.AddDecoded(std::string("  TR3 = ") + BoolText(TR3));
  lists.AddDecoded(std::string("  SP1 = ") + BoolText(SP1));
  lists.AddDecoded(std::string("  SP2 = ") + BoolText(SP2));
  lists.AddDecoded(std::string("  SP3 = ") + BoolText(SP3));
  lists.AddDecoded("");
  lists.AddDecoded("Peso = " + Peso);
  lists.AddDecoded("Peso Formatado = " + Peso_Formatado(Peso, display, decimalSeparator));
  lists.AddDecoded("Tara = " + Tara);
}

}  // namespace reader
