#include "qelCrypt.h"

#include <cstring>

namespace qel {

namespace {

// The initial P-array followed by the four S-boxes.
constexpr uint32_t kInitialTables[18 + 4 * 256] = {
#include "qelCryptTables.inc"
};
static_assert(sizeof kInitialTables == sizeof(TBlowfishState));

inline uint32_t F(const TBlowfishState& st, uint32_t x) {
  return ((st.S[0][x >> 24] + st.S[1][(x >> 16) & 0xFF]) ^ st.S[2][(x >> 8) & 0xFF]) + st.S[3][x & 0xFF];
}

inline uint32_t LoadBE(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline uint32_t LoadLE(const uint8_t* p) {
  return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
}
inline void StoreBE(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline void StoreLE(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// The counter block as an 8-byte big-endian number, byte 7 lowest; wraps at 2^64.
void IncrementCounter(uint8_t (&counter)[8]) {
  for (int i = 7; i >= 0; --i)
    if (++counter[i] != 0) break;
}

}  // namespace

uint32_t ByteSwap32(uint32_t value) {
  return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

void BlowfishBlock(const TBlowfishState& st, uint32_t& l, uint32_t& r, bool forward) {
  const auto q = [&](int i) { return forward ? st.P[i] : st.P[17 - i]; };
  uint32_t a = l ^ q(0);
  uint32_t b = r ^ F(st, a) ^ q(1);
  for (int i = 2; i < 16; i += 2) {
    a ^= F(st, b) ^ q(i);
    b ^= F(st, a) ^ q(i + 1);
  }
  r = a ^ F(st, b) ^ q(16);
  l = b ^ q(17);
}

void BlowfishKey(const uint8_t* password, size_t passwordLength, TBlowfishState& state) {
  std::memcpy(&state, kInitialTables, sizeof state);
  if (password != nullptr && passwordLength > 0) {
    size_t k = 0;
    for (uint32_t& p : state.P) {
      uint32_t word = 0;
      for (size_t j = 0; j < 4; ++j) word = word << 8 | password[(k + j) % passwordLength];
      p ^= word;
      k = (k + 4) % passwordLength;
    }
  }
  uint32_t l = 0, r = 0;
  for (int i = 0; i < 18; i += 2) {
    BlowfishBlock(state, l, r, true);
    state.P[i] = l;
    state.P[i + 1] = r;
  }
  for (auto& box : state.S)
    for (int i = 0; i < 256; i += 2) {
      BlowfishBlock(state, l, r, true);
      box[i] = l;
      box[i + 1] = r;
    }
}

void BlowfishBuffer(void* buffer, uint32_t length, bool encrypt, const std::string& password, uint32_t counterHigh,
                    uint32_t counterLow, bool legacy) {
  TBlowfishState st;
  BlowfishKey(reinterpret_cast<const uint8_t*>(password.data()), password.size(), st);
  uint8_t counter[8];
  StoreLE(counter, counterLow);
  StoreLE(counter + 4, counterHigh);
  const bool counterMode = (counterHigh | counterLow) != 0;

  auto* p = static_cast<uint8_t*>(buffer);
  for (uint32_t n = length / 8; n > 0; --n, p += 8) {
    if (counterMode) {
      IncrementCounter(counter);
      uint32_t l = LoadBE(counter), r = LoadBE(counter + 4);
      BlowfishBlock(st, l, r, encrypt);
      StoreBE(p, LoadBE(p) ^ l);
      StoreBE(p + 4, LoadBE(p + 4) ^ r);
    } else if (legacy) {
      uint32_t l = LoadLE(p + 4), r = LoadLE(p);
      BlowfishBlock(st, l, r, encrypt);
      StoreLE(p + 4, l);
      StoreLE(p, r);
    } else {
      uint32_t l = LoadBE(p), r = LoadBE(p + 4);
      BlowfishBlock(st, l, r, encrypt);
      StoreBE(p, l);
      StoreBE(p + 4, r);
    }
  }
  std::memset(&st, 0, sizeof st);
}

void DecryptStrCtr(std::string& text, const std::string& password, uint32_t counterHigh, uint32_t counterLow) {
  if (text.empty()) return;
  const bool counterMode = (counterHigh | counterLow) != 0;
  BlowfishBuffer(text.data(), static_cast<uint32_t>(text.size()), counterMode, password, counterHigh, counterLow,
                 false);
  const size_t n = static_cast<uint8_t>(text.back());
  if (n < 1 || n > 8 || n > text.size()) return;
  for (size_t i = text.size() - n; i < text.size(); ++i)
    if (static_cast<uint8_t>(text[i]) != n) return;
  text.resize(text.size() - n);
}

void LegacyEncryptStr(std::string& text, const std::string& password) {
  BlowfishBuffer(text.data(), static_cast<uint32_t>(text.size()), true, password, 0, 0, true);
}

void LegacyDecryptStr(std::string& text, const std::string& password) {
  BlowfishBuffer(text.data(), static_cast<uint32_t>(text.size()), false, password, 0, 0, true);
}

std::string Base64Buf(const void* buffer, int32_t length) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (length <= 0 || buffer == nullptr) return {};
  const auto* p = static_cast<const uint8_t*>(buffer);
  const auto n = static_cast<size_t>(length);
  std::string out;
  out.reserve(4 * ((n + 2) / 3));
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = static_cast<uint32_t>(p[i]) << 16 | static_cast<uint32_t>(p[i + 1]) << 8 | p[i + 2];
    out += alphabet[v >> 18];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  if (n - i == 1) {
    const uint32_t v = static_cast<uint32_t>(p[i]) << 16;
    out += alphabet[v >> 18];
    out += alphabet[(v >> 12) & 63];
    out += "==";
  } else if (n - i == 2) {
    const uint32_t v = static_cast<uint32_t>(p[i]) << 16 | static_cast<uint32_t>(p[i + 1]) << 8;
    out += alphabet[v >> 18];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string Base64Str(const std::string& s) {
  return s.size() > 0x7FFFFFFFu ? std::string() : Base64Buf(s.data(), static_cast<int32_t>(s.size()));
}

}  // namespace qel
