// Edit masks and key sequences of any shape keep the model consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "EditMask.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t maskLen = data[0] % 24;
  if (maskLen + 1 > size) return 0;
  std::string mask(reinterpret_cast<const char*>(data + 1), maskLen);
  zf::TEditMaskModel m(mask);
  int pos = 0;
  for (size_t i = 1 + maskLen; i + 1 < size; i += 2) {
    char k = static_cast<char>(data[i]);
    int sel = data[i + 1] % 4;
    switch (data[i + 1] >> 6) {
      case 0: pos = m.TypeChar(pos, sel, k); break;
      case 1: pos = m.Backspace(pos, sel); break;
      case 2: pos = m.DeleteChars(pos, sel); break;
      default: m.SetText(std::string(1, k) + m.Text()); pos = k & 7; break;
    }
    if (m.IsMasked() && m.EditText().size() != static_cast<size_t>(m.MaskLength())) std::abort();
    if (pos < 0) std::abort();
  }
  return 0;
}
