#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Recepcao.h"
#include "FrameBytes.h"
#include "SysUtils.h"
#include "ZIVO_Unit.h"

using namespace reader;
using namespace reader::testing;

namespace {

// The frame of precision x0.01, no flags, weight 123,45, tare 00000.
const std::string kWorkedFrame = Bytes({0x02, 0x84, 0x80, '1', '2', '3', '4', '5', '0', '0', '0', '0', '0', 0x03, 0x04});

struct TDecoded {
  std::string STATUS1, STATUS2, Peso, Tara, CK_SUM, display;
  bool peso_negativo = false, sensor_movimento = false, saturacao = false, sobrecarga = false;
  bool TR1 = false, TR2 = false, TR3 = false, SP1 = false, SP2 = false, SP3 = false;
};

TDecoded DecodeAll(const std::string& received) {
  TDecoded d;
  Trata_Buffer(Remove_Invalidos(received), d.STATUS1, d.STATUS2, d.Peso, d.Tara, d.CK_SUM);
  Trata_STATUS1(d.STATUS1, d.display, d.peso_negativo, d.sensor_movimento, d.saturacao, d.sobrecarga);
  Trata_STATUS2(d.STATUS2, d.TR1, d.TR2, d.TR3, d.SP1, d.SP2, d.SP3);
  return d;
}

TEST(Decoding, WorkedExampleThroughAllFourRoutines) {
  const std::string cleaned = Remove_Invalidos(kWorkedFrame);
  EXPECT_EQ(cleaned, Bytes({0x84, 0x80, '1', '2', '3', '4', '5', '0', '0', '0', '0', '0', 0x03, 0x04}));
  const TDecoded d = DecodeAll(kWorkedFrame);
  EXPECT_EQ(d.STATUS1, "10000100");
  EXPECT_EQ(d.STATUS2, "10000000");
  EXPECT_EQ(d.Peso, "12345");
  EXPECT_EQ(d.Tara, "00000");
  EXPECT_EQ(d.CK_SUM, Bytes({0x04}));
  EXPECT_EQ(d.display, "0,01");
  EXPECT_FALSE(d.peso_negativo || d.sensor_movimento || d.saturacao || d.sobrecarga);
  EXPECT_FALSE(d.TR1 || d.TR2 || d.TR3 || d.SP1 || d.SP2 || d.SP3);
}

TEST(Decoding, RemoveInvalidosKeepsEverythingButTheFiveControlBytes) {
  EXPECT_EQ(Remove_Invalidos(Bytes({0x02, 0x41, 0x0D, 0x0A, 0x42, 0x11, 0x00, 0x03})), Bytes({'A', 'B', 0x03}));
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string kept = Remove_Invalidos(all);
  EXPECT_EQ(kept.size(), 251u);
  for (char c : {'\x00', '\x02', '\x0A', '\x0D', '\x11'}) EXPECT_EQ(kept.find(c), std::string::npos);
  EXPECT_EQ(Remove_Invalidos(""), "");
}

TEST(Decoding, LongTextIsCleanedOverItsWholeLength) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += i % 3 == 0 ? '\x0D' : static_cast<char>('a' + i % 26);
  const std::string cleaned = Remove_Invalidos(text);
  EXPECT_EQ(cleaned.size(), 200u);
  EXPECT_EQ(cleaned.back(), static_cast<char>('a' + 299 % 26));
  EXPECT_EQ(cleaned.find('\x0D'), std::string::npos);
}

TEST(Decoding, CheckByteThatIsAControlByteGoesWithTheCleaning) {
  for (int ck : {0x02, 0x0A, 0x0D, 0x11, 0x00}) {
    std::string frame = kWorkedFrame;
    frame.back() = static_cast<char>(ck);
    const std::string cleaned = Remove_Invalidos(frame);
    EXPECT_EQ(cleaned.size(), 13u) << ck;
    const TDecoded d = DecodeAll(frame);
    EXPECT_EQ(d.CK_SUM, "") << ck;
    EXPECT_EQ(d.Peso, "12345") << ck;
    EXPECT_EQ(d.Tara, "00000") << ck;
  }
}

TEST(Decoding, StatusBitsAndDisplayFactor) {
  struct Case {
    int status1, status2;
    const char* display;
    bool neg, mov, sat, over;  // STATUS1 flags
    bool tr1, tr2, tr3, sp1, sp2, sp3;
  };
  const Case cases[] = {
      {0x81, 0x80, "1", false, false, false, false, false, false, false, false, false, false},
      {0x82, 0x80, "0,1", false, false, false, false, false, false, false, false, false, false},
      {0x84, 0x80, "0,01", false, false, false, false, false, false, false, false, false, false},
      {0x87, 0x80, "111", false, false, false, false, false, false, false, false, false, false},
      {0x80, 0x80, "000", false, false, false, false, false, false, false, false, false, false},
      {0x83, 0x80, "011", false, false, false, false, false, false, false, false, false, false},
      {0x89, 0x90, "1", true, false, false, false, true, false, false, false, false, false},
      {0x91, 0xA0, "1", false, true, false, false, false, true, false, false, false, false},
      {0xA1, 0xC0, "1", false, false, true, false, false, false, true, false, false, false},
      {0xC1, 0x82, "1", false, false, false, true, false, false, false, true, false, false},
      {0x99, 0x84, "1", true, true, false, false, false, false, false, false, true, false},
      {0xFA, 0x88, "0,1", true, true, true, true, false, false, false, false, false, true},
      {0xFC, 0xFE, "0,01", true, true, true, true, true, true, true, true, true, true},
  };
  for (const Case& c : cases) {
    std::string frame = kWorkedFrame;
    frame[1] = static_cast<char>(c.status1);
    frame[2] = static_cast<char>(c.status2);
    const TDecoded d = DecodeAll(frame);
    SCOPED_TRACE(::testing::Message() << std::hex << c.status1 << "/" << c.status2);
    EXPECT_EQ(d.STATUS1, Int_To_Bin(c.status1, 7));
    EXPECT_EQ(d.display, c.display);
    EXPECT_EQ(d.peso_negativo, c.neg);
    EXPECT_EQ(d.sensor_movimento, c.mov);
    EXPECT_EQ(d.saturacao, c.sat);
    EXPECT_EQ(d.sobrecarga, c.over);
    EXPECT_EQ(d.TR1, c.tr1);
    EXPECT_EQ(d.TR2, c.tr2);
    EXPECT_EQ(d.TR3, c.tr3);
    EXPECT_EQ(d.SP1, c.sp1);
    EXPECT_EQ(d.SP2, c.sp2);
    EXPECT_EQ(d.SP3, c.sp3);
  }
}

TEST(Decoding, ShortBufferGivesShortFieldsAndNoReadPastTheEnd) {
  struct Case {
    std::string buffer, STATUS1, STATUS2, Peso, Tara, CK_SUM;
  };
  const Case cases[] = {
      {"", "", "", "", "", ""},
      {Bytes({0x84}), "10000100", "", "", "", ""},
      {Bytes({0x84, 0x80, '1', '2'}), "10000100", "10000000", "12", "", ""},
      {Bytes({0x84, 0x80, '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', 0x03}), "10000100", "10000000", "12345",
       "67890", ""},
  };
  for (const Case& c : cases) {
    std::string s1 = "x", s2 = "x", peso = "x", tara = "x", ck = "x";
    Trata_Buffer(c.buffer, s1, s2, peso, tara, ck);
    EXPECT_EQ(s1, c.STATUS1);
    EXPECT_EQ(s2, c.STATUS2);
    EXPECT_EQ(peso, c.Peso);
    EXPECT_EQ(tara, c.Tara);
    EXPECT_EQ(ck, c.CK_SUM);
  }
}

TEST(Decoding, BitTextsThatAreNotBitsRaiseTheConversionError) {
  std::string display;
  bool a, b, c, d, e, f;
  // A flag position (character 2..5) that holds neither "0" nor "1".
  for (const char* text : {"1x000100", "10?00100", "100 0100", "1000T100", "10002100"}) {
    EXPECT_THROW(Trata_STATUS1(text, display, a, b, c, d), zf::EConvertError) << text;
  }
  // Precision characters 6..8 that do not form a number, or are missing.
  for (const char* text : {"100001x0", "10000+-1", "10000", ""}) {
    EXPECT_THROW(Trata_STATUS1(text, display, a, b, c, d), zf::EConvertError) << text;
  }
  for (const char* text : {"1x000000", "10000020", "1000", ""}) {
    EXPECT_THROW(Trata_STATUS2(text, a, b, c, d, e, f), zf::EConvertError) << text;
  }
  // Characters 1 and 8 of STATUS2 and character 1 of STATUS1 are not looked at.
  EXPECT_NO_THROW(Trata_STATUS2("x000000y", a, b, c, d, e, f));
  EXPECT_NO_THROW(Trata_STATUS1("x0000100", display, a, b, c, d));
  EXPECT_EQ(display, "0,01");
}

}  // namespace
