#include "qelStrings.h"

#include <algorithm>
#include <cstdlib>

namespace qel {

namespace {

constexpr std::array<uint8_t, 256> MakeLowerCaseTable() {
  std::array<uint8_t, 256> t{};
  for (unsigned c = 0; c < 256; ++c) t[c] = static_cast<uint8_t>(c);
  for (unsigned c = 'A'; c <= 'Z'; ++c) t[c] = static_cast<uint8_t>(c + 32);
  t[0x8A] = 0x9A;
  t[0x8C] = 0x9C;
  t[0x8E] = 0x9E;
  t[0x9F] = 0xFF;
  for (unsigned c = 0xC0; c <= 0xDE; ++c)
    if (c != 0xD7) t[c] = static_cast<uint8_t>(c + 0x20);
  return t;
}

constexpr std::array<uint8_t, 256> MakeDigitValueTable() {
  std::array<uint8_t, 256> t{};
  for (unsigned c = '0'; c <= '9'; ++c) t[c] = static_cast<uint8_t>(c - '0');
  for (unsigned c = 'A'; c <= 'F'; ++c) t[c] = static_cast<uint8_t>(c - 'A' + 10);
  for (unsigned c = 'a'; c <= 'f'; ++c) t[c] = static_cast<uint8_t>(c - 'a' + 10);
  return t;
}

inline uint8_t Fold(char c) { return LowerCaseTable[static_cast<uint8_t>(c)]; }

inline bool SameChar(char a, char b, bool ignoreCase) { return ignoreCase ? Fold(a) == Fold(b) : a == b; }

inline bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Magnitude of a signed value without overflowing at the lowest value.
inline uint64_t Magnitude(int64_t v) { return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v); }

std::string UnsignedDecimal(uint64_t v) {
  char buf[24];
  char* p = buf + sizeof buf;
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  return std::string(p, buf + sizeof buf);
}

std::string SignedDecimal(int64_t v) {
  std::string digits = UnsignedDecimal(Magnitude(v));
  return v < 0 ? "-" + digits : digits;
}

std::string HexPadded(std::string h, int width, char fill) {
  const int64_t absWidth = width < 0 ? -static_cast<int64_t>(width) : width;
  const int64_t missing = absWidth - static_cast<int64_t>(h.size());
  if (width >= 0 && !IsHexDigit(fill)) {
    std::string r(missing > 0 ? static_cast<size_t>(missing) : 0, fill);
    return r + "$" + h;
  }
  if (missing > 0) {
    if (width > 0)
      h.insert(0, static_cast<size_t>(missing), fill);
    else
      h.append(static_cast<size_t>(missing), fill);
  }
  return "$" + h;
}

int FindStrCore(const std::string& search, const std::string& s, uint32_t from, uint32_t to, bool ignoreCase) {
  if (from == 0 || to == 0) return 0;
  const int32_t r = FindInBuffer(search.c_str(), s.c_str(), static_cast<uint32_t>(search.size()), ignoreCase,
                                 static_cast<uint32_t>(s.size()), from - 1, to - 1);
  return r < 0 ? 0 : r + 1;
}

// 0-based position of the next match at or after `start`, or npos.
size_t FindFrom(const std::string& s, const std::string& search, size_t start, bool ignoreCase) {
  if (start >= s.size() || search.empty()) return std::string::npos;
  const int32_t r = FindInBuffer(search.c_str(), s.c_str(), static_cast<uint32_t>(search.size()), ignoreCase,
                                 static_cast<uint32_t>(s.size()), static_cast<uint32_t>(start), 0xFFFFFFFFu);
  return r < 0 ? std::string::npos : static_cast<size_t>(r);
}

bool Contains(const std::string& text, const std::string& search, bool ignoreCase) {
  return FindFrom(text, search, 0, ignoreCase) != std::string::npos;
}

bool EqualsAs(const std::string& a, const std::string& b, bool ignoreCase) {
  return ignoreCase ? TextEquals(a, b) : a == b;
}

}  // namespace

const std::array<uint8_t, 256> LowerCaseTable = MakeLowerCaseTable();
const std::array<uint8_t, 256> DigitValueTable = MakeDigitValueTable();

// --- trimming and deleting --------------------------------------------------

void TrimBlanks(std::string& s) {
  const int first = FindCharOfSet(NonBlankChars, s, 1, 0xFFFFFFFFu);
  if (first == 0) {
    s.clear();
    return;
  }
  const int last = FindCharOfSet(NonBlankChars, s, 2147483647u, 1);
  s = s.substr(static_cast<size_t>(first - 1), static_cast<size_t>(last - first + 1));
}

std::string TrimBlanksCopy(const std::string& s) {
  std::string r = s;
  TrimBlanks(r);
  return r;
}

bool DeleteCharSet(std::string& s, const TQelCharSet& set) {
  const auto end = std::remove_if(s.begin(), s.end(), [&](char c) { return set.Contains(c); });
  if (end == s.end()) return false;
  s.erase(end, s.end());
  return true;
}

std::string DeletedCopy(const std::string& s, int index, int count) {
  std::string r = s;
  if (index >= 1 && static_cast<size_t>(index) <= r.size() && count > 0)
    r.erase(static_cast<size_t>(index - 1), static_cast<size_t>(count));
  return r;
}

void KeepRange(std::string& s, int index, int count) {
  if (index < 1) index = 1;
  if (count <= 0 || static_cast<size_t>(index) > s.size()) {
    s.clear();
    return;
  }
  s = s.substr(static_cast<size_t>(index - 1), static_cast<size_t>(count));
}

std::string RightChars(const std::string& s, int count) {
  if (count <= 0) return {};
  if (static_cast<size_t>(count) >= s.size()) return s;
  return s.substr(s.size() - static_cast<size_t>(count));
}

void TrimAroundSeparator(std::string& s, char separator) {
  TQelCharSet kept = NonBlankChars;
  kept.Exclude(separator);
  const auto keptAt = [&](size_t i) { return kept.Contains(s[i]); };

  size_t first = 0;
  while (first < s.size() && !keptAt(first)) ++first;
  if (first == s.size()) {
    s.clear();
    return;
  }
  size_t last = s.size() - 1;
  while (!keptAt(last)) --last;
  s = s.substr(first, last - first + 1);

  size_t p = s.find(separator);
  while (p != std::string::npos) {
    size_t next = p + 1;
    while (next < s.size() && !keptAt(next)) ++next;
    s.erase(p + 1, next - (p + 1));
    size_t prevEnd = p;  // one behind the last kept character before the separator
    while (prevEnd > 0 && !keptAt(prevEnd - 1)) --prevEnd;
    s.erase(prevEnd, p - prevEnd);
    p = prevEnd;
    // The character right after the separator is a kept one: skip it too.
    p = p + 2 < s.size() ? s.find(separator, p + 2) : std::string::npos;
  }
}

// --- replacing --------------------------------------------------------------

bool ReplaceCore(std::string& s, const std::string& search, const std::string& replacement, bool ignoreCase,
                 bool rescan) {
  const size_t f = search.size();
  const size_t r = replacement.size();
  if (f == 0) return false;
  if (rescan) {
    // A re-scan resumes inside the inserted replacement; refuse the calls that
    // would then find a match there for ever.
    if (r > f && Contains(replacement.substr(1), search, ignoreCase)) return false;
    if (r == f && EqualsAs(replacement, search, ignoreCase)) return false;
  }

  size_t m = FindFrom(s, search, 0, ignoreCase);
  if (m == std::string::npos) return false;

  if (!rescan) {
    // One pass over the original text, each search right behind the previous match.
    std::string out;
    out.reserve(r > f ? s.size() + (s.size() / f) * (r - f) : s.size());
    size_t done = 0;
    while (m != std::string::npos) {
      out.append(s, done, m - done);
      out.append(replacement);
      done = m + f;
      m = FindFrom(s, search, done, ignoreCase);
    }
    out.append(s, done, std::string::npos);
    s = std::move(out);
    return true;
  }

  // Re-scan: longer replacements resume at their second character, others at
  // their first, so that e.g. two blanks -> one blank leaves no double blank.
  const size_t resume = r > f ? 1 : 0;
  while (m != std::string::npos) {
    s.replace(m, f, replacement);
    m = FindFrom(s, search, m + resume, ignoreCase);
  }
  return true;
}

bool SubstStr(std::string& s, const std::string& search, const std::string& replacement, bool rescan) {
  return ReplaceCore(s, search, replacement, false, rescan);
}

bool SubstText(std::string& s, const std::string& search, const std::string& replacement, bool rescan) {
  return ReplaceCore(s, search, replacement, true, rescan);
}

// --- case -------------------------------------------------------------------

char UpperChar(char c) {
  const auto u = static_cast<uint8_t>(c);
  if ((u >= 'a' && u <= 'z') || u == 0xE4 || u == 0xF6 || u == 0xFC) return static_cast<char>(u - 32);
  return c;
}

std::string UpperStr(const std::string& s) {
  std::string r = s;
  for (char& c : r) c = UpperChar(c);
  return r;
}

char LowerChar(char c) { return static_cast<char>(Fold(c)); }

bool TextEquals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

int CompareNoCase(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int d = static_cast<int>(Fold(a[i])) - static_cast<int>(Fold(b[i]));
    if (d != 0) return d;
  }
  return static_cast<int>(static_cast<int64_t>(a.size()) - static_cast<int64_t>(b.size()));
}

// --- searching --------------------------------------------------------------

int32_t FindInBuffer(const char* search, const char* text, uint32_t searchLength, bool ignoreCase,
                     uint32_t textLength, uint32_t from, uint32_t to) {
  if (search == nullptr || (searchLength == 0 && search[0] == 0)) return -1;
  if (text == nullptr || (textLength == 0 && text[0] == 0)) return -1;
  if (searchLength == 0) searchLength = static_cast<uint32_t>(CStrLen(search));
  if (textLength == 0) textLength = static_cast<uint32_t>(CStrLen(text));
  if (textLength < searchLength) return -1;
  const uint32_t last = textLength - searchLength;

  const auto matchesAt = [&](uint32_t start) {
    if (!SameChar(text[start], search[0], ignoreCase)) return false;
    for (uint32_t i = 1; i < searchLength; ++i)
      if (!SameChar(text[start + i], search[i], ignoreCase)) return false;
    return true;
  };

  if (from > to) {  // backwards
    if (last < to) return -1;
    for (uint32_t start = std::min(from, last);; --start) {
      if (matchesAt(start)) return static_cast<int32_t>(start);
      if (start == to) break;
    }
  } else {
    if (last < from) return -1;
    const uint32_t end = std::min(to, last);
    for (uint32_t start = from;; ++start) {
      if (matchesAt(start)) return static_cast<int32_t>(start);
      if (start == end) break;
    }
  }
  return -1;
}

int FindStr(const std::string& search, const std::string& s, uint32_t from, uint32_t to) {
  return FindStrCore(search, s, from, to, false);
}

int FindText(const std::string& search, const std::string& s, uint32_t from, uint32_t to) {
  return FindStrCore(search, s, from, to, true);
}

bool StartsWithText(const std::string& prefix, const std::string& s) {
  if (s.size() < prefix.size()) return false;
  if (prefix.empty()) return true;
  if (s.size() == prefix.size()) return TextEquals(prefix, s);
  return FindInBuffer(prefix.c_str(), s.c_str(), static_cast<uint32_t>(prefix.size()), true,
                      static_cast<uint32_t>(s.size()), 0, 0) == 0;
}

int FindCharOfSet(const TQelCharSet& set, const std::string& s, uint32_t from, uint32_t to) {
  if (s.empty()) return 0;
  const auto len = static_cast<uint32_t>(s.size());
  // Both bounds are clipped to the string; position 0 is read as the first character.
  const uint32_t a = std::clamp(from, 1u, len);
  const uint32_t b = std::clamp(to, 1u, len);
  if (b < a) {
    for (uint32_t i = a; i >= b; --i)
      if (set.Contains(s[i - 1])) return static_cast<int>(i);
  } else {
    for (uint32_t i = a; i <= b; ++i)
      if (set.Contains(s[i - 1])) return static_cast<int>(i);
  }
  return 0;
}

size_t CStrLen(const char* text) {
  size_t n = 0;
  if (text != nullptr)
    while (text[n] != 0) ++n;
  return n;
}

// --- padding and numbers ----------------------------------------------------

void PadInPlace(std::string& s, int count, bool left, char fill) {
  if (count <= 0) return;
  const auto n = static_cast<size_t>(count);
  if (!left) {
    s.append(n, fill);
  } else if (fill >= '0' && fill <= '9' && !s.empty() && s[0] == '-') {
    s.insert(1, n, fill);
  } else {
    s.insert(0, n, fill);
  }
}

std::string PadStr(const std::string& s, int width, char fill) {
  std::string r = s;
  if (width == 0) return r;
  const int64_t absWidth = width < 0 ? -static_cast<int64_t>(width) : width;
  const int64_t missing = absWidth - static_cast<int64_t>(r.size());
  if (missing > 0) PadInPlace(r, static_cast<int>(missing), width > 0, fill);
  return r;
}

std::string DecStr(int32_t value) { return SignedDecimal(value); }

std::string DecStr64(int64_t value) { return SignedDecimal(value); }

std::string HexStr(uint32_t value) {
  static const char digits[] = "0123456789abcdef";
  char buf[8];
  char* p = buf + sizeof buf;
  do {
    *--p = digits[value & 15];
    value >>= 4;
  } while (value != 0);
  return std::string(p, buf + sizeof buf);
}

std::string HexStr64(uint64_t value) {
  if (value == 0) return "0";
  const auto high = static_cast<uint32_t>(value >> 32);
  std::string low = HexStr(static_cast<uint32_t>(value));
  if (high == 0) return low;
  PadInPlace(low, 8 - static_cast<int>(low.size()), true, '0');
  return HexStr(high) + low;
}

std::string DecStrPadded(int32_t value, int width, char fill) { return PadStr(DecStr(value), width, fill); }

std::string UDecStrPadded(uint32_t value, int width, char fill) { return PadStr(DecStr64(value), width, fill); }

std::string DecStr64Padded(int64_t value, int width, char fill) { return PadStr(DecStr64(value), width, fill); }

std::string HexStrPadded32(uint32_t value, int width, char fill) { return HexPadded(HexStr(value), width, fill); }

std::string HexStrPadded(uint32_t value, int width, char fill) { return HexPadded(HexStr64(value), width, fill); }

std::string HexStr64Padded(uint64_t value, int width, char fill) { return HexPadded(HexStr64(value), width, fill); }

// --- lists --------------------------------------------------------------------

int ItemCount(const std::string& s, char separator) {
  if (s.empty()) return 0;
  return 1 + static_cast<int>(std::count(s.begin(), s.end(), separator));
}

std::string ItemByIndex(const std::string& s, int n, char separator) {
  if (s.empty() || n <= 0) return {};
  size_t start = 0;
  for (int i = 1; i < n; ++i) {
    const size_t p = s.find(separator, start);
    if (p == std::string::npos) return {};
    start = p + 1;
  }
  const size_t end = s.find(separator, start);
  return s.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool HasItemText(const std::string& s, const std::string& item, char separator) {
  if (item.empty()) return false;
  for (size_t p = FindFrom(s, item, 0, true); p != std::string::npos; p = FindFrom(s, item, p + 1, true)) {
    const size_t end = p + item.size();
    const bool startsItem = p == 0 || s[p - 1] == separator;
    const bool endsItem = end == s.size() || s[end] == separator;
    if (startsItem && endsItem) return true;
  }
  return false;
}

// --- other texts --------------------------------------------------------------

std::string ByteSizeText(int64_t value, char decimalSeparator) {
  const uint64_t a = Magnitude(value);
  if (a < 1024) return UnsignedDecimal(a) + " Bytes";
  uint64_t digits;
  const char* unit;
  if (a < 1048576) {
    digits = a * 100 / 1024;
    unit = " KB";
  } else if (a < 1073741824) {
    digits = a / 1024 * 100 / 1024;
    unit = " MB";
  } else {
    digits = a / 1024 / 1024 * 100 / 1024;
    unit = " GB";
  }
  std::string text = UnsignedDecimal(digits);  // at least 100 in every class above bytes
  text.insert(text.size() - 2, 1, decimalSeparator);
  return text + unit;
}

std::string UnscrambleStr(const std::string& scrambled) {
  std::string r = scrambled;
  for (char& c : r) c = static_cast<char>(static_cast<uint8_t>(c) ^ ScrambleKey);
  return r;
}

std::string AnsiToWideBytes(const std::string& s, bool addTerminator) {
  std::string r;
  r.reserve(s.size() * 2 + 2);
  for (char c : s) {
    r.push_back(c);
    r.push_back('\0');
  }
  if (addTerminator) r.append(2, '\0');
  return r;
}

std::string FlattenSystemMessage(std::string message) {
  std::replace(message.begin(), message.end(), '\r', ' ');
  message.erase(std::remove(message.begin(), message.end(), '\n'), message.end());
  return message;
}

std::string UnknownErrorText(uint32_t code) {
  static constexpr TScrambledText kUnknownError("Unknown error");
  return kUnknownError.Plain() + " " + HexStrPadded(code, 1, '0');
}

}  // namespace qel
