#include "qelCrypt.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

using namespace qel;

namespace {

std::string Hex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

std::string ToHex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Ecb(std::string block, const std::string& key, bool encrypt) {
  BlowfishBuffer(block.data(), static_cast<uint32_t>(block.size()), encrypt, key, 0, 0, false);
  return block;
}

// The counter block as the caller's two halves give it, plus `steps`, as an
// 8-byte big-endian number (byte 7 lowest).
std::string CounterBlock(uint32_t high, uint32_t low, uint64_t steps) {
  std::string b(8, '\0');
  for (int i = 0; i < 4; ++i) {
    b[static_cast<size_t>(i)] = static_cast<char>(low >> (8 * i));
    b[static_cast<size_t>(4 + i)] = static_cast<char>(high >> (8 * i));
  }
  uint64_t v = 0;
  for (unsigned char c : b) v = v << 8 | c;
  v += steps;
  for (int i = 7; i >= 0; --i, v >>= 8) b[static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
  return b;
}

std::string Random(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

}  // namespace

TEST(Blowfish, PublishedEcbVectors) {
  // key, clear text, cipher text (big-endian blocks)
  const char* vectors[][3] = {
      {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
      {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
      {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
      {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
      {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
      {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
      {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
      {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
      {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
      {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
      {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
      {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
      {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
      {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
      {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
      {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
      {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
      {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
      {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
      {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
      {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
      {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
      {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
      {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
      {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
      {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
      {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
      {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
      {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
      {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
      {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
      {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
      {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
  };
  for (const auto& v : vectors) {
    const std::string key = Hex(v[0]);
    EXPECT_EQ(ToHex(Ecb(Hex(v[1]), key, true)), v[2]) << "key " << v[0];
    EXPECT_EQ(ToHex(Ecb(Hex(v[2]), key, false)), v[1]) << "key " << v[0];
  }
}

TEST(Blowfish, PublishedVariableKeyVectors) {
  const std::string key = Hex("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677");
  const char* expected[] = {
      "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05", "B39E44481BDB1E6E",
      "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82", "15750E7A4F4EC577", "122BA70B3AB64AE0",
      "3A833C9AFFC537F6", "9409DA87A90F6BF2", "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F",
      "93142887EE3BE15C", "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
      "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080",
  };
  for (size_t len = 1; len <= 24; ++len)
    EXPECT_EQ(ToHex(Ecb(Hex("FEDCBA9876543210"), key.substr(0, len), true)), expected[len - 1]) << "key length " << len;
  // Every password byte counts: no cut at 56 bytes.
  std::string longKey(72, '\0');
  for (size_t i = 0; i < longKey.size(); ++i) longKey[i] = static_cast<char>(i);
  EXPECT_NE(Ecb("12345678", longKey, true), Ecb("12345678", longKey.substr(0, 56), true));
}

TEST(Blowfish, LegacyModeIsEcbOnTheReversedBlock) {
  std::mt19937 rng(5);
  const auto reverse8 = [](std::string s) {
    for (size_t at = 0; at + 8 <= s.size(); at += 8) std::reverse(s.begin() + static_cast<std::ptrdiff_t>(at), s.begin() + static_cast<std::ptrdiff_t>(at + 8));
    return s;
  };
  for (int round = 0; round < 50; ++round) {
    const std::string key = Random(rng, 1 + rng() % 20);
    const std::string data = Random(rng, 8 * (1 + rng() % 4));
    std::string legacy = data;
    LegacyEncryptStr(legacy, key);
    EXPECT_EQ(legacy, reverse8(Ecb(reverse8(data), key, true)));
    EXPECT_NE(legacy, Ecb(data, key, true));
    LegacyDecryptStr(legacy, key);
    EXPECT_EQ(legacy, data);
  }
  // A block symmetric under the reversal encrypts alike in both modes.
  std::string symmetric = Hex("0102030404030201");
  const std::string ecb = Ecb(symmetric, "pw", true);
  LegacyEncryptStr(symmetric, "pw");
  EXPECT_EQ(ToHex(symmetric), ToHex(reverse8(ecb)));
}

TEST(Blowfish, OnlyWholeBlocksChange) {
  for (bool legacy : {false, true})
    for (uint32_t low : {0u, 7u}) {
      std::string buf = "abcdefghijkl";  // 12 bytes
      BlowfishBuffer(buf.data(), 12, true, "secret", 0, low, legacy);
      EXPECT_EQ(buf.substr(8), "ijkl");
      EXPECT_NE(buf.substr(0, 8), "abcdefgh");
    }
  std::string seven = "abcdefg";
  LegacyEncryptStr(seven, "secret");
  EXPECT_EQ(seven, "abcdefg");
  LegacyDecryptStr(seven, "secret");
  EXPECT_EQ(seven, "abcdefg");
  DecryptStrCtr(seven, "secret", 0, 1);
  EXPECT_EQ(seven, "abcdefg");
  DecryptStrCtr(seven, "secret", 0, 0);
  EXPECT_EQ(seven, "abcdefg");
}

TEST(Blowfish, CounterModeKeystream) {
  const std::string key = "mail password key";
  const struct {
    uint32_t high, low;
  } counters[] = {{0, 1}, {0x01020304, 0x05060708}, {0xFFFFFFFF, 0x11223344}, {0xFFFFFFFF, 0xFFFFFFFF}, {0x12, 0xFFFFFFFF}};
  for (const auto& c : counters) {
    SCOPED_TRACE(testing::Message() << std::hex << c.high << " " << c.low);
    std::string stream(40, '\0');
    BlowfishBuffer(stream.data(), 40, true, key, c.high, c.low, false);
    for (uint64_t i = 0; i < 5; ++i)
      EXPECT_EQ(ToHex(stream.substr(i * 8, 8)), ToHex(Ecb(CounterBlock(c.high, c.low, i + 1), key, true))) << i;
    // XOR with the same keystream again restores the data.
    std::string data = "The quick brown fox jumps over the lazy dog.";
    const std::string original = data;
    BlowfishBuffer(data.data(), static_cast<uint32_t>(data.size()), true, key, c.high, c.low, false);
    EXPECT_NE(data, original);
    BlowfishBuffer(data.data(), static_cast<uint32_t>(data.size()), true, key, c.high, c.low, false);
    EXPECT_EQ(data, original);
  }
  // The carry runs from byte 7 towards byte 0; all ones wrap to the zero block.
  EXPECT_EQ(ToHex(CounterBlock(0xFFFFFFFF, 0x11223344, 1)), "4433221200000000");
  EXPECT_EQ(ToHex(CounterBlock(0xFFFFFFFF, 0xFFFFFFFF, 1)), "0000000000000000");
  std::string wrapped(8, '\0');
  BlowfishBuffer(wrapped.data(), 8, true, key, 0xFFFFFFFF, 0xFFFFFFFF, false);
  EXPECT_EQ(wrapped, Ecb(std::string(8, '\0'), key, true));
}

TEST(Blowfish, DecryptStrCtrStripsValidPaddingOnly) {
  const struct {
    const char* tailHex;
    size_t removed;
  } cases[] = {
      {"030303", 3}, {"030203", 0}, {"09", 0}, {"01", 1}, {"00", 0}, {"0808080808080808", 8}, {"0708080808080808", 0}, {"07070707070707", 7},
  };
  const std::string key = "k";
  for (uint32_t low : {0u, 99u})
    for (const auto& c : cases) {
      const std::string tail = Hex(c.tailHex);
      std::string plain = std::string(16 - tail.size(), 'p') + tail;
      std::string text = plain;
      if (low != 0)
        BlowfishBuffer(text.data(), 16, true, key, 0, low, false);
      else
        text = Ecb(text, key, true);
      DecryptStrCtr(text, key, 0, low);
      EXPECT_EQ(text, plain.substr(0, 16 - c.removed)) << c.tailHex << " counter " << low;
    }
  // An 8-byte text that is all padding comes back empty.
  std::string pad = Ecb(std::string(8, '\x08'), key, true);
  DecryptStrCtr(pad, key, 0, 0);
  EXPECT_EQ(pad, "");
  // Too short to be decrypted: the pad count is checked against the length.
  std::string shortText = "\x05\x05";
  DecryptStrCtr(shortText, key, 0, 1);
  EXPECT_EQ(shortText, "\x05\x05");
  std::string empty;
  DecryptStrCtr(empty, key, 0, 1);
  EXPECT_EQ(empty, "");
}

TEST(Blowfish, EmptyPasswordKeysWithNoKeyBytes) {
  std::string a = "0123456789abcdef";
  LegacyEncryptStr(a, "");
  EXPECT_NE(a, "0123456789abcdef");
  // No key bytes: like a password that changes no P-array bit.
  std::string b = "0123456789abcdef";
  LegacyEncryptStr(b, std::string(1, '\0'));
  EXPECT_EQ(a, b);
  LegacyDecryptStr(a, "");
  EXPECT_EQ(a, "0123456789abcdef");
  std::string c = Ecb("12345678", "", true);
  EXPECT_EQ(Ecb(c, "", false), "12345678");
  DecryptStrCtr(c, "", 0, 1);
  EXPECT_EQ(c.size(), 8u);
}

TEST(Blowfish, ByteSwap32) {
  EXPECT_EQ(ByteSwap32(0x11223344u), 0x44332211u);
  EXPECT_EQ(ByteSwap32(0xFF000000u), 0x000000FFu);
}

TEST(Base64, Rfc4648Vectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFF\xFE\xFD", "//79"},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(Base64Str(in), out);
    EXPECT_EQ(Base64Buf(in.data(), static_cast<int32_t>(in.size())), out);
  }
  EXPECT_EQ(Base64Buf("abc", 0), "");
  EXPECT_EQ(Base64Buf("abc", -3), "");
  EXPECT_EQ(Base64Buf(nullptr, 5), "");
}

TEST(Base64, AgreesWithCoreutils) {
  char dirTemplate[] = "/tmp/qelcrypt_test.XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);
  std::mt19937 rng(17);
  std::vector<size_t> sizes;
  for (size_t n = 1; n <= 70; ++n) sizes.push_back(n);
  sizes.push_back(100000);
  for (size_t n : sizes) {
    const std::string data = Random(rng, n);
    const std::string path = dir + "/in";
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(n));
    FILE* p = popen(("base64 -w0 '" + path + "'").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string expected;
    char buf[4096];
    for (size_t got; (got = fread(buf, 1, sizeof buf, p)) > 0;) expected.append(buf, got);
    ASSERT_EQ(pclose(p), 0);
    const std::string encoded = Base64Str(data);
    EXPECT_EQ(encoded.size(), 4 * ((n + 2) / 3));
    ASSERT_EQ(encoded, expected) << n << " bytes";
  }
  std::system(("rm -rf '" + dir + "'").c_str());
}
