// Text routines of the crash-report library: trimming, replacing, case folding,
// searching, padding, number formatting, separated lists and byte sizes.
// Strings hold code page 1252 bytes; positions are 1-based, 0 means "not found".
// Search bounds are unsigned: -1 means "to the end", 2147483647 "from the end".
// Nothing here raises an exception of its own.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qel {

// 256-bit character set, bit n = character code n.
struct TQelCharSet {
  std::array<uint8_t, 32> Bits{};

  constexpr bool Contains(char c) const {
    const auto u = static_cast<uint8_t>(c);
    return (Bits[u >> 3] >> (u & 7)) & 1;
  }
  constexpr void Include(char c) {
    const auto u = static_cast<uint8_t>(c);
    Bits[u >> 3] = static_cast<uint8_t>(Bits[u >> 3] | (1u << (u & 7)));
  }
  constexpr void Exclude(char c) {
    const auto u = static_cast<uint8_t>(c);
    Bits[u >> 3] = static_cast<uint8_t>(Bits[u >> 3] & ~(1u << (u & 7)));
  }
  static constexpr TQelCharSet Range(unsigned first, unsigned last) {
    TQelCharSet s;
    for (unsigned c = first; c <= last && c < 256; ++c) s.Include(static_cast<char>(c));
    return s;
  }
};

inline constexpr TQelCharSet NonBlankChars = TQelCharSet::Range(33, 255);
inline constexpr TQelCharSet BlankOrControlChars = TQelCharSet::Range(0, 32);

// Code page 1252 lower-case folding used by every case-insensitive routine.
extern const std::array<uint8_t, 256> LowerCaseTable;
// '0'..'9' -> 0..9, 'A'..'F' and 'a'..'f' -> 10..15, everything else 0.
extern const std::array<uint8_t, 256> DigitValueTable;

// --- trimming and deleting --------------------------------------------------
void TrimBlanks(std::string& s);
std::string TrimBlanksCopy(const std::string& s);
bool DeleteCharSet(std::string& s, const TQelCharSet& set);
std::string DeletedCopy(const std::string& s, int index, int count);
void KeepRange(std::string& s, int index, int count);
std::string RightChars(const std::string& s, int count);
void TrimAroundSeparator(std::string& s, char separator);

// --- replacing --------------------------------------------------------------
// Replaces every occurrence; true when at least one replacement was made.
// A re-scan that could never end (the replacement re-creates the search text
// inside itself) is refused: false, s untouched.
bool ReplaceCore(std::string& s, const std::string& search, const std::string& replacement, bool ignoreCase,
                 bool rescan);
bool SubstStr(std::string& s, const std::string& search, const std::string& replacement, bool rescan);
bool SubstText(std::string& s, const std::string& search, const std::string& replacement, bool rescan);

// --- case -------------------------------------------------------------------
char UpperChar(char c);
std::string UpperStr(const std::string& s);
char LowerChar(char c);
bool TextEquals(const std::string& a, const std::string& b);
int CompareNoCase(const std::string& a, const std::string& b);

// --- searching --------------------------------------------------------------
// 0-based start of the match or -1; a length of 0 means "up to the zero byte".
int32_t FindInBuffer(const char* search, const char* text, uint32_t searchLength, bool ignoreCase,
                     uint32_t textLength, uint32_t from, uint32_t to);
int FindStr(const std::string& search, const std::string& s, uint32_t from, uint32_t to);
int FindText(const std::string& search, const std::string& s, uint32_t from, uint32_t to);
bool StartsWithText(const std::string& prefix, const std::string& s);
int FindCharOfSet(const TQelCharSet& set, const std::string& s, uint32_t from, uint32_t to);
size_t CStrLen(const char* text);

// --- padding and numbers ----------------------------------------------------
void PadInPlace(std::string& s, int count, bool left, char fill);
std::string PadStr(const std::string& s, int width, char fill);
std::string DecStr(int32_t value);
std::string DecStr64(int64_t value);
std::string HexStr(uint32_t value);
std::string HexStr64(uint64_t value);
std::string DecStrPadded(int32_t value, int width, char fill);
std::string UDecStrPadded(uint32_t value, int width, char fill);
std::string DecStr64Padded(int64_t value, int width, char fill);
std::string HexStrPadded32(uint32_t value, int width, char fill);
std::string HexStrPadded(uint32_t value, int width, char fill);
std::string HexStr64Padded(uint64_t value, int width, char fill);
// No character is rejected: unknown ones count as digit 0 and overflow wraps.
// Inline: map readers call it for every field of their line tables.
inline int32_t ParseIntBuf(bool hexadecimal, const char* buffer, int32_t length) {
  if (buffer == nullptr || length <= 0) return 0;
  const uint32_t base = hexadecimal ? 16 : 10;
  const bool negative = buffer[0] == '-';
  uint32_t value = negative ? 0 : DigitValueTable[static_cast<uint8_t>(buffer[0])];
  for (int32_t i = 1; i < length; ++i) value = value * base + DigitValueTable[static_cast<uint8_t>(buffer[i])];
  if (negative) value = 0 - value;
  return static_cast<int32_t>(value);
}

// --- lists separated by one character ----------------------------------------
int ItemCount(const std::string& s, char separator);
std::string ItemByIndex(const std::string& s, int n, char separator);
bool HasItemText(const std::string& s, const std::string& item, char separator);

// --- other texts --------------------------------------------------------------
// Byte count as text with the given decimal separator ("1,50 KB").
std::string ByteSizeText(int64_t value, char decimalSeparator);
std::string UnscrambleStr(const std::string& scrambled);
std::string AnsiToWideBytes(const std::string& s, bool addTerminator);

// A system message made one line: CR becomes a blank, LF goes.
std::string FlattenSystemMessage(std::string message);
// What ErrorText gives when the system has no message for the code.
std::string UnknownErrorText(uint32_t code);

// Scrambled at compile time so that the names do not stand readable in the binary.
inline constexpr uint8_t ScrambleKey = 0xA7;
template <size_t N>
struct TScrambledText {
  char Data[N - 1];
  consteval TScrambledText(const char (&text)[N]) : Data{} {
    for (size_t i = 0; i + 1 < N; ++i) Data[i] = static_cast<char>(static_cast<uint8_t>(text[i]) ^ ScrambleKey);
  }
  std::string Scrambled() const { return std::string(Data, N - 1); }
  std::string Plain() const { return UnscrambleStr(Scrambled()); }
};

// Windows only: the thread locale's decimal separator (cached), and the system's
// message for an error code (see qelStringsWin.cpp).
char LocaleDecimalSep();
std::string ByteSizeText(int64_t value);
std::string ErrorText(uint32_t code);

}  // namespace qel
