// Base64 text of arbitrary bytes, decoded again by a strict reference decoder;
// the string ciphers over arbitrary texts, passwords and counters.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "qelCrypt.h"

namespace {

int Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict RFC 4648 decoding; aborts on anything the encoder must never produce.
std::string Decode(const std::string& text) {
  if (text.size() % 4 != 0) std::abort();
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int pad = (text[i + 3] == '=') + (text[i + 2] == '=');
    if (pad > 0 && !last) std::abort();
    if (pad == 1 && text[i + 3] != '=') std::abort();
    uint32_t v = 0;
    for (int k = 0; k < 4 - pad; ++k) {
      const int d = Value(text[i + static_cast<size_t>(k)]);
      if (d < 0) std::abort();
      v |= static_cast<uint32_t>(d) << (18 - 6 * k);
    }
    if (pad == 2 && (v & 0xFFFF) != 0) std::abort();  // unused bits must be zero
    if (pad == 1 && (v & 0xFF) != 0) std::abort();
    out += static_cast<char>(v >> 16);
    if (pad < 2) out += static_cast<char>(v >> 8);
    if (pad < 1) out += static_cast<char>(v);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string encoded = qel::Base64Str(input);
  if (encoded.size() != 4 * ((size + 2) / 3) || Decode(encoded) != input) std::abort();

  // First byte: password length; then password, 8 counter bytes, the text.
  if (size < 9) return 0;
  const size_t pwLen = std::min<size_t>(data[0] % 32, size - 9);
  const std::string password = input.substr(1, pwLen);
  uint32_t high = 0, low = 0;
  for (int i = 0; i < 4; ++i) {
    high = high << 8 | data[1 + pwLen + static_cast<size_t>(i)];
    low = low << 8 | data[5 + pwLen + static_cast<size_t>(i)];
  }
  const std::string text = input.substr(9 + pwLen);

  std::string legacy = text;
  qel::LegacyEncryptStr(legacy, password);
  qel::LegacyDecryptStr(legacy, password);
  if (legacy != text) std::abort();

  // DecryptStrCtr gives the deciphered text, less at most 8 bytes of valid padding.
  std::string full = text;
  const bool counter = (high | low) != 0;
  if (!full.empty())
    qel::BlowfishBuffer(full.data(), static_cast<uint32_t>(full.size()), counter, password, high, low, false);
  std::string stripped = text;
  qel::DecryptStrCtr(stripped, password, high, low);
  if (full.compare(0, stripped.size(), stripped) != 0) std::abort();
  const size_t removed = full.size() - stripped.size();
  if (removed > 8 || (removed > 0 && static_cast<uint8_t>(full.back()) != removed)) std::abort();
  for (size_t i = stripped.size(); i < full.size(); ++i)
    if (static_cast<uint8_t>(full[i]) != removed) std::abort();
  return 0;
}
