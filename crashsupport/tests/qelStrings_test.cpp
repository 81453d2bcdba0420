#include "qelStrings.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "qelTypes.h"

using namespace qel;

namespace {

constexpr uint32_t kToEnd = 0xFFFFFFFFu;   // -1
constexpr uint32_t kFromEnd = 2147483647u;  // searches backwards from the last character

std::string Bytes(std::initializer_list<int> codes) {
  std::string s;
  for (int c : codes) s += static_cast<char>(c);
  return s;
}

// Independent statement of the code page 1252 lower-case folding.
uint8_t ExpectedLower(unsigned c) {
  if (c >= 'A' && c <= 'Z') return static_cast<uint8_t>(c + 32);
  switch (c) {
    case 0x8A: return 0x9A;  // S caron
    case 0x8C: return 0x9C;  // OE
    case 0x8E: return 0x9E;  // Z caron
    case 0x9F: return 0xFF;  // Y diaeresis
  }
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<uint8_t>(c + 32);  // Latin-1 capitals, not the x sign
  return static_cast<uint8_t>(c);
}

// Naive 1-based search with the library's conventions, for comparison.
int NaiveFind(const std::string& pat, const std::string& s, uint32_t from, uint32_t to, bool ic) {
  if (from == 0 || to == 0 || pat.empty() || s.empty() || s.size() < pat.size()) return 0;
  const int64_t last = static_cast<int64_t>(s.size() - pat.size());  // 0-based
  const auto eq = [&](int64_t at) {
    for (size_t i = 0; i < pat.size(); ++i) {
      char a = s[static_cast<size_t>(at) + i], b = pat[i];
      if (ic ? LowerCaseTable[static_cast<uint8_t>(a)] != LowerCaseTable[static_cast<uint8_t>(b)] : a != b) return false;
    }
    return true;
  };
  const int64_t f = static_cast<int64_t>(from) - 1, t = static_cast<int64_t>(to) - 1;
  if (f > t) {
    for (int64_t at = std::min(f, last); at >= t; --at)
      if (eq(at)) return static_cast<int>(at + 1);
  } else {
    for (int64_t at = f; at <= std::min(t, last); ++at)
      if (eq(at)) return static_cast<int>(at + 1);
  }
  return 0;
}

// Naive replace: rescan resumes at the inserted replacement's first (r <= f)
// or second (r > f) character; otherwise non-overlapping over the original.
bool NaiveReplace(std::string& s, const std::string& f, const std::string& r, bool ic, bool rescan) {
  const auto find = [&](const std::string& text, size_t from) -> size_t {
    int p = NaiveFind(f, text, static_cast<uint32_t>(from + 1), kToEnd, ic);
    return p == 0 ? std::string::npos : static_cast<size_t>(p - 1);
  };
  size_t m = find(s, 0);
  if (m == std::string::npos) return false;
  if (!rescan) {
    std::string out;
    size_t done = 0;
    while (m != std::string::npos) {
      out += s.substr(done, m - done) + r;
      done = m + f.size();
      m = done < s.size() ? find(s, done) : std::string::npos;
    }
    s = out + s.substr(done);
    return true;
  }
  while (m != std::string::npos) {
    s = s.substr(0, m) + r + s.substr(m + f.size());
    size_t next = m + (r.size() > f.size() ? 1 : 0);
    m = next < s.size() ? find(s, next) : std::string::npos;
  }
  return true;
}

std::string RandomText(std::mt19937& rng, size_t maxLen, const std::string& alphabet) {
  std::uniform_int_distribution<size_t> len(0, maxLen), pick(0, alphabet.size() - 1);
  std::string s(len(rng), ' ');
  for (char& c : s) c = alphabet[pick(rng)];
  return s;
}

}  // namespace

TEST(QelException, CarriesItsMessage) {
  try {
    throw QelException::CreateWithMessage("Stream write error.");
  } catch (const std::exception& e) {
    const auto* q = dynamic_cast<const QelException*>(&e);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->Message(), "Stream write error.");
    EXPECT_STREQ(q->ClassName(), "QelException");
  }
}

TEST(CaseTables, LowerCaseTableMatchesCodePage1252ForAllCodes) {
  for (unsigned c = 0; c < 256; ++c) {
    EXPECT_EQ(LowerCaseTable[c], ExpectedLower(c)) << "code " << c;
    EXPECT_EQ(static_cast<uint8_t>(LowerChar(static_cast<char>(c))), ExpectedLower(c)) << "code " << c;
  }
}

TEST(CaseTables, UpperCharKnowsOnly29Codes) {
  int changed = 0;
  for (unsigned c = 0; c < 256; ++c) {
    const auto u = static_cast<uint8_t>(UpperChar(static_cast<char>(c)));
    const bool expected = (c >= 'a' && c <= 'z') || c == 0xE4 || c == 0xF6 || c == 0xFC;
    EXPECT_EQ(u, expected ? c - 32 : c) << "code " << c;
    changed += u != c;
  }
  EXPECT_EQ(changed, 29);
  EXPECT_EQ(UpperStr(Bytes({0xE4, 'b', 0xE7})), Bytes({0xC4, 'B', 0xE7}));
}

TEST(CaseTables, DigitValues) {
  for (unsigned c = 0; c < 256; ++c) {
    int expected = 0;
    if (c >= '0' && c <= '9') expected = static_cast<int>(c - '0');
    if (c >= 'A' && c <= 'F') expected = static_cast<int>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') expected = static_cast<int>(c - 'a' + 10);
    EXPECT_EQ(DigitValueTable[c], expected) << "code " << c;
  }
}

TEST(Compare, TextEqualsAndCompareNoCase) {
  EXPECT_TRUE(TextEquals("Abc", "aBC"));
  EXPECT_FALSE(TextEquals("abc", "abcd"));
  EXPECT_TRUE(TextEquals(Bytes({0xC4, 0x8A}), Bytes({0xE4, 0x9A})));
  EXPECT_FALSE(TextEquals(Bytes({0xD7}), Bytes({0xF7})));
  EXPECT_LT(CompareNoCase("abc", "ABD"), 0);
  EXPECT_EQ(CompareNoCase("ab", "ABC"), -1);
  EXPECT_EQ(CompareNoCase("ABC", "abc"), 0);
  EXPECT_EQ(CompareNoCase(Bytes({0xFF}), "a"), 0xFF - 'a');  // unsigned bytes
}

struct FindCase {
  const char* search;
  std::string text;
  uint32_t from, to;
  bool ignoreCase;
  int expected;
};

TEST(Find, ExamplesAndConventions) {
  const FindCase cases[] = {
      {"b", "abcb", 1, kToEnd, false, 2},
      {"b", "abcb", kFromEnd, 1, false, 4},
      {"b", "abcb", 0, kToEnd, false, 0},
      {"b", "abcb", 1, 0, false, 0},
      {"", "abcb", 1, kToEnd, false, 0},
      {"b", "", 1, kToEnd, false, 0},
      {"b", "abcb", 3, kToEnd, false, 4},
      {"b", "abcb", 3, 3, false, 0},
      {"b", "abcb", 3, 1, false, 2},
      {"abcbx", "abcb", 1, kToEnd, false, 0},
      {"AB", "xab", 1, kToEnd, true, 2},
      {"AB", "xab", 1, kToEnd, false, 0},
      {"\xC4", "\xE4", 1, kToEnd, true, 1},
      {"\xD8", "\xF8", 1, kToEnd, true, 1},
      {"\xD7", "\xF7", 1, kToEnd, true, 0},
      {"\xD7", "\xD7", 1, kToEnd, true, 1},
  };
  for (const auto& c : cases) {
    const int got = c.ignoreCase ? FindText(c.search, c.text, c.from, c.to) : FindStr(c.search, c.text, c.from, c.to);
    EXPECT_EQ(got, c.expected) << c.search << " in " << c.text << " from " << c.from << " to " << c.to;
  }
}

TEST(Find, AgreesWithNaiveSearchForEveryBound) {
  std::mt19937 rng(1234);
  const std::vector<uint32_t> special = {0, 1, 2, kFromEnd, kToEnd, kToEnd - 1};
  for (int round = 0; round < 400; ++round) {
    const std::string s = RandomText(rng, 12, "abAB\xC4\xE4");
    const std::string pat = RandomText(rng, 3, "abAB\xC4\xE4");
    std::vector<uint32_t> bounds = special;
    for (uint32_t i = 1; i <= s.size() + 2; ++i) bounds.push_back(i);
    for (uint32_t from : bounds)
      for (uint32_t to : bounds)
        for (bool ic : {false, true}) {
          const int got = ic ? FindText(pat, s, from, to) : FindStr(pat, s, from, to);
          ASSERT_EQ(got, NaiveFind(pat, s, from, to, ic))
              << "'" << pat << "' in '" << s << "' from " << from << " to " << to << " ic " << ic;
        }
  }
}

TEST(Find, BufferWithZeroLengthCountsToTheTerminator) {
  EXPECT_EQ(FindInBuffer("lo", "hello", 0, false, 0, 0, kToEnd), 3);
  EXPECT_EQ(FindInBuffer("lo", "hello", 2, false, 3, 0, kToEnd), -1);  // only "hel" is searched
  EXPECT_EQ(FindInBuffer(nullptr, "hello", 1, false, 5, 0, kToEnd), -1);
  EXPECT_EQ(FindInBuffer("h", nullptr, 1, false, 5, 0, kToEnd), -1);
  EXPECT_EQ(CStrLen("abc"), 3u);
  EXPECT_EQ(CStrLen(""), 0u);
}

TEST(Find, StartsWithText) {
  EXPECT_TRUE(StartsWithText("", "abc"));
  EXPECT_TRUE(StartsWithText("AB", "abc"));
  EXPECT_TRUE(StartsWithText("ABC", "abc"));
  EXPECT_FALSE(StartsWithText("abcd", "abc"));
  EXPECT_FALSE(StartsWithText("bc", "abc"));
  EXPECT_FALSE(StartsWithText("x", ""));
}

TEST(Find, CharOfSetScansBothWaysAndClips) {
  const std::string s = "  ab c  ";
  EXPECT_EQ(FindCharOfSet(NonBlankChars, s, 1, kToEnd), 3);
  EXPECT_EQ(FindCharOfSet(NonBlankChars, s, kFromEnd, 1), 6);
  EXPECT_EQ(FindCharOfSet(NonBlankChars, s, 5, 8), 6);
  EXPECT_EQ(FindCharOfSet(NonBlankChars, s, 5, 1), 4);
  EXPECT_EQ(FindCharOfSet(NonBlankChars, s, 7, 8), 0);
  EXPECT_EQ(FindCharOfSet(BlankOrControlChars, s, 3, kToEnd), 5);
  EXPECT_EQ(FindCharOfSet(NonBlankChars, "", 1, kToEnd), 0);
}

TEST(Trim, BlanksAndControlCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"  abc  ", "abc"}, {"\t\r\nx y\x01", "x y"}, {"   ", ""}, {"", ""}, {"\xA0q\xFF", "\xA0q\xFF"}};
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(TrimBlanksCopy(in), out);
    std::string s = in;
    TrimBlanks(s);
    EXPECT_EQ(s, out);
  }
}

TEST(Trim, AroundSeparator) {
  const std::tuple<std::string, char, std::string> cases[] = {
      {"  a , ,b ;", ',', "a,b ;"},
      {" x ,  y ", ',', "x,y"},
      {" , ", ',', ""},
      {"a;b", ',', "a;b"},
      {"a ;\t; b;c", ';', "a;b;c"},
  };
  for (const auto& [in, sep, out] : cases) {
    std::string s = in;
    TrimAroundSeparator(s, sep);
    EXPECT_EQ(s, out) << "'" << in << "'";
  }
}

TEST(Delete, CharSetCopyRangeRight) {
  std::string s = "a b\tc";
  EXPECT_TRUE(DeleteCharSet(s, BlankOrControlChars));
  EXPECT_EQ(s, "abc");
  EXPECT_FALSE(DeleteCharSet(s, BlankOrControlChars));
  EXPECT_EQ(DeletedCopy("abcdef", 2, 3), "aef");
  EXPECT_EQ(DeletedCopy("abcdef", 5, 10), "abcd");
  EXPECT_EQ(DeletedCopy("abcdef", 0, 2), "abcdef");
  EXPECT_EQ(DeletedCopy("abcdef", 7, 2), "abcdef");
  std::string k = "abcdef";
  KeepRange(k, 2, 3);
  EXPECT_EQ(k, "bcd");
  k = "abcdef";
  KeepRange(k, 5, 10);
  EXPECT_EQ(k, "ef");
  k = "abc";
  KeepRange(k, 4, 1);
  EXPECT_EQ(k, "");
  EXPECT_EQ(RightChars("abcdef", 2), "ef");
  EXPECT_EQ(RightChars("ab", 5), "ab");
  EXPECT_EQ(RightChars("ab", 0), "");
}

TEST(Replace, Examples) {
  struct Case {
    std::string s, f, r;
    bool ignoreCase, rescan, replaced;
    std::string out;
  };
  const Case cases[] = {
      {"aaa", "a", "bb", false, false, true, "bbbbbb"},
      {"aaa", "x", "y", false, false, false, "aaa"},
      {"a    b  c", "  ", " ", false, true, true, "a b c"},  // re-scan leaves no double blank
      {"a    b", "  ", " ", false, false, true, "a  b"},
      {"Hello HELLO", "hello", "bye", true, false, true, "bye bye"},
      {"Hello HELLO", "hello", "bye", false, false, false, "Hello HELLO"},
      {"abc", "", "x", false, false, false, "abc"},
      {"abab", "ab", "", false, true, true, ""},
  };
  for (const auto& c : cases) {
    std::string s = c.s;
    EXPECT_EQ(ReplaceCore(s, c.f, c.r, c.ignoreCase, c.rescan), c.replaced) << c.s << " " << c.f;
    EXPECT_EQ(s, c.out) << c.s << " " << c.f;
  }
  std::string s = "x.y";
  EXPECT_TRUE(SubstStr(s, ".", "::", false));
  EXPECT_EQ(s, "x::y");
  EXPECT_TRUE(SubstText(s, "X", "z", false));
  EXPECT_EQ(s, "z::y");
}

TEST(Replace, EndlessRescanIsRefused) {
  const std::tuple<std::string, std::string, bool> refused[] = {
      {"a", "aa", false},   // replacement contains the search text from its second character
      {"ab", "xab", false},
      {"ab", "XAB", true},  // the same, folded
      {"ab", "ab", false},  // same length and equal
      {"ab", "AB", true},
  };
  for (const auto& [f, r, ic] : refused) {
    std::string s = "xxabab";
    EXPECT_FALSE(ReplaceCore(s, f, r, ic, true)) << f << " -> " << r;
    EXPECT_EQ(s, "xxabab");
    EXPECT_TRUE(ReplaceCore(s, f, r, ic, false)) << "without re-scan the same call ends";
  }
  std::string s = "aab";
  EXPECT_TRUE(SubstStr(s, "ab", "abx", true));  // contains it only from its first character: ends
  EXPECT_EQ(s, "aabx");
}

TEST(Replace, AgreesWithNaiveReplace) {
  std::mt19937 rng(99);
  for (int round = 0; round < 3000; ++round) {
    const std::string s0 = RandomText(rng, 14, "abA ");
    std::string f = RandomText(rng, 3, "abA ");
    if (f.empty()) f.push_back('a');
    const std::string r = RandomText(rng, 4, "abA ");
    for (bool ic : {false, true})
      for (bool rescan : {false, true}) {
        std::string expected = s0;
        std::string got = s0;
        const bool refused = rescan && ((r.size() > f.size() && NaiveFind(f, r.substr(1), 1, kToEnd, ic) != 0) ||
                                        (r.size() == f.size() && (ic ? TextEquals(r, f) : r == f)));
        const bool want = refused ? false : NaiveReplace(expected, f, r, ic, rescan);
        if (refused) expected = s0;
        ASSERT_EQ(ReplaceCore(got, f, r, ic, rescan), want) << s0 << " " << f << "->" << r << " " << ic << rescan;
        ASSERT_EQ(got, expected) << "'" << s0 << "' '" << f << "'->'" << r << "' ic " << ic << " rescan " << rescan;
      }
  }
}

TEST(Pad, PadStrAndPadInPlace) {
  const std::tuple<std::string, int, char, std::string> cases[] = {
      {"ab", 4, ' ', "  ab"}, {"ab", -4, '.', "ab.."}, {"ab", 0, ' ', "ab"},  {"abcd", 2, ' ', "abcd"},
      {"-7", 4, '0', "-007"}, {"-7", 4, ' ', "  -7"},  {"-7", -4, '0', "-700"}, {"", 2, 'x', "xx"},
  };
  for (const auto& [s, w, c, out] : cases) EXPECT_EQ(PadStr(s, w, c), out) << s << " " << w;
  std::string s = "x";
  PadInPlace(s, -3, true, '0');
  EXPECT_EQ(s, "x");
}

TEST(Numbers, DecimalFormatting) {
  EXPECT_EQ(DecStr(0), "0");
  EXPECT_EQ(DecStr(-42), "-42");
  EXPECT_EQ(DecStr(INT32_MAX), "2147483647");
  EXPECT_EQ(DecStr(INT32_MIN), "-2147483648");
  EXPECT_EQ(DecStr64(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(DecStr64(INT64_MAX), "9223372036854775807");
  EXPECT_EQ(DecStrPadded(-42, 5, '0'), "-0042");
  EXPECT_EQ(DecStrPadded(-42, 5, ' '), "  -42");
  EXPECT_EQ(DecStrPadded(7, -3, '.'), "7..");
  EXPECT_EQ(DecStrPadded(INT32_MIN, 13, '0'), "-002147483648");
  EXPECT_EQ(UDecStrPadded(0xFFFFFFFFu, 12, ' '), "  4294967295");
  EXPECT_EQ(DecStr64Padded(INT64_MIN, 1, '0'), "-9223372036854775808");
  EXPECT_EQ(DecStr64Padded(-5, 4, '0'), "-005");
}

TEST(Numbers, HexFormatting) {
  EXPECT_EQ(HexStr(0), "0");
  EXPECT_EQ(HexStr(0xDEADBEEFu), "deadbeef");
  EXPECT_EQ(HexStr64(0), "0");
  EXPECT_EQ(HexStr64(0x10000000Aull), "10000000a");
  EXPECT_EQ(HexStr64(0xFFFFFFFFFFFFFFFFull), "ffffffffffffffff");
  EXPECT_EQ(HexStr64(0xABCull), "abc");
  const std::tuple<uint32_t, int, char, std::string> cases[] = {
      {255, 4, '0', "$00ff"}, {255, 4, ' ', "  $ff"},  {255, -4, '0', "$ff00"}, {0xabc, 6, ' ', "   $abc"},
      {0xabc, 6, '0', "$000abc"}, {0xabc, -6, '0', "$abc000"}, {0, 1, '0', "$0"}, {0x1f, 1, '0', "$1f"},
      {0x40123a, 8, '0', "$0040123a"}, {0xabc, -6, ' ', "$abc   "}, {0xabc, 0, ' ', "$abc"}, {0xabc, 2, 'x', "$abc"},
      {0x12, 4, 'a', "$aa12"},
  };
  for (const auto& [v, w, c, out] : cases) {
    EXPECT_EQ(HexStrPadded(v, w, c), out) << v << " " << w << " '" << c << "'";
    EXPECT_EQ(HexStrPadded32(v, w, c), out) << v << " " << w << " '" << c << "'";
    EXPECT_EQ(HexStr64Padded(v, w, c), out) << v << " " << w << " '" << c << "'";
  }
  EXPECT_EQ(HexStr64Padded(0x123456789ull, 12, '0'), "$000123456789");
  EXPECT_EQ(HexStr64Padded(0x8000000000000000ull, 1, '0'), "$8000000000000000");
}

TEST(Numbers, ParseIntBuf) {
  const std::tuple<bool, std::string, int32_t, int32_t> cases[] = {
      {true, "-1A", 3, -26},
      {false, "12x", 3, 120},
      {false, "1A", 2, 20},  // hex letters keep their value: nothing is rejected
      {false, "123", 2, 12},
      {false, "7", 1, 7},
      {false, "-", 1, 0},
      {true, "ffffffff", 8, -1},
      {true, "100000001", 9, 1},  // wraps
      {false, "-2147483648", 11, INT32_MIN},
      {false, "9", 0, 0},  // length 0 reads nothing
      {false, "9", -5, 0},
  };
  for (const auto& [hex, text, len, out] : cases) EXPECT_EQ(ParseIntBuf(hex, text.c_str(), len), out) << text;
  EXPECT_EQ(ParseIntBuf(false, nullptr, 3), 0);
}

TEST(Lists, ItemsSeparatedByOneCharacter) {
  EXPECT_EQ(ItemCount("", ';'), 0);
  EXPECT_EQ(ItemCount("a;;b", ';'), 3);
  EXPECT_EQ(ItemCount("a", ';'), 1);
  EXPECT_EQ(ItemCount(";", ';'), 2);
  const std::tuple<std::string, int, std::string> items[] = {
      {"a;;b", 1, "a"}, {"a;;b", 2, ""}, {"a;;b", 3, "b"}, {"a;;b", 4, ""}, {"a;;b", 0, ""}, {"", 1, ""},
      {";x", 2, "x"},  {"x;", 2, ""},
  };
  for (const auto& [s, n, out] : items) EXPECT_EQ(ItemByIndex(s, n, ';'), out) << s << " " << n;
  EXPECT_TRUE(HasItemText("ab;b;c", "B", ';'));
  EXPECT_FALSE(HasItemText("abc", "b", ';'));
  EXPECT_TRUE(HasItemText("ab;xab;AB", "ab", ';'));
  EXPECT_FALSE(HasItemText("abc;xab", "ab", ';'));
  EXPECT_TRUE(HasItemText("ab", "ab", ';'));
  EXPECT_FALSE(HasItemText("a;b", "", ';'));
  EXPECT_FALSE(HasItemText("a;b", "a;b;c", ';'));
}

TEST(Texts, ByteSizeTextClassBoundaries) {
  const std::pair<int64_t, std::string> cases[] = {
      {0, "0 Bytes"},
      {1000, "1000 Bytes"},
      {1023, "1023 Bytes"},
      {-1023, "1023 Bytes"},
      {1024, "1,00 KB"},
      {1536, "1,50 KB"},
      {-2048, "2,00 KB"},
      {1048575, "1023,99 KB"},
      {1048576, "1,00 MB"},
      {5000000, "4,76 MB"},
      {1073741823, "1023,99 MB"},
      {1073741824, "1,00 GB"},
      {-1073741824, "1,00 GB"},
      {INT64_MAX, "8589934591,99 GB"},
      {INT64_MIN, "8589934592,00 GB"},
  };
  for (const auto& [v, out] : cases) EXPECT_EQ(ByteSizeText(v, ','), out) << v;
  EXPECT_EQ(ByteSizeText(1536, '.'), "1.50 KB");
}

TEST(Texts, UnscrambleAndWiden) {
  const std::string plain = "netmsg.dll";
  std::string scrambled = plain;
  for (char& c : scrambled) c = static_cast<char>(c ^ ScrambleKey);
  EXPECT_EQ(UnscrambleStr(scrambled), plain);
  static constexpr TScrambledText stored("Unknown");
  EXPECT_NE(stored.Scrambled(), "Unknown");
  EXPECT_EQ(stored.Plain(), "Unknown");

  EXPECT_EQ(AnsiToWideBytes("A\xE9", false), Bytes({'A', 0, 0xE9, 0}));
  EXPECT_EQ(AnsiToWideBytes("A", true), Bytes({'A', 0, 0, 0}));
  EXPECT_EQ(AnsiToWideBytes("", true), Bytes({0, 0}));
}

TEST(Texts, ErrorTextCore) {
  EXPECT_EQ(FlattenSystemMessage("The system cannot find the file specified.\r\n"),
            "The system cannot find the file specified. ");
  EXPECT_EQ(FlattenSystemMessage("a\r\nb\nc\rd"), "a bc d");
  EXPECT_EQ(UnknownErrorText(31), "Unknown error $1f");
  EXPECT_EQ(UnknownErrorText(0xC0000005u), "Unknown error $c0000005");
}
