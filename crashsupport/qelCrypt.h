// Blowfish (16 rounds) over buffers in three modes, string routines on top of
// it, and Base64. No key, password or counter is kept here: every call keys a
// fresh copy of the tables and the keyed state dies with the call.
#pragma once
#include <cstdint>
#include <string>

namespace qel {

struct TBlowfishState {
  uint32_t P[18];
  uint32_t S[4][256];
};

uint32_t ByteSwap32(uint32_t value);

// Keys `state` from the password; every byte is used, cyclically. An empty
// password contributes no key bytes (the P-array keeps its initial values
// before the schedule's chain runs).
void BlowfishKey(const uint8_t* password, size_t passwordLength, TBlowfishState& state);
// Encrypts (forward) or decrypts (backward) one block held as two halves.
void BlowfishBlock(const TBlowfishState& state, uint32_t& l, uint32_t& r, bool forward);

// Runs the cipher in place over the whole 8-byte blocks of the buffer; the
// last length mod 8 bytes stay as they are. A non-zero counter (given as its
// high and low halves) selects counter mode, else the legacy little-endian
// block mode when `legacy` is set, else big-endian ECB.
void BlowfishBuffer(void* buffer, uint32_t length, bool encrypt, const std::string& password,
                    uint32_t counterHigh, uint32_t counterLow, bool legacy);

// Decrypts in place (counter mode when the counter is non-zero, else ECB) and
// strips padding: n = last byte, 1..8 and not above the length, the last n
// bytes all equal to n.
void DecryptStrCtr(std::string& text, const std::string& password, uint32_t counterHigh, uint32_t counterLow);
void LegacyEncryptStr(std::string& text, const std::string& password);
void LegacyDecryptStr(std::string& text, const std::string& password);

// RFC 4648 Base64, standard alphabet, "=" padding, no line breaks.
std::string Base64Buf(const void* buffer, int32_t length);
std::string Base64Str(const std::string& s);

}  // namespace qel
