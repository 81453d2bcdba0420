#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Recepcao.h"
#include "FrameBytes.h"
#include "SysUtils.h"

using namespace reader;
using namespace reader::testing;

namespace {

struct TLists : IFrameLists {
  int clears = 0;
  std::vector<std::string> received, decoded;
  void ClearLists() override {
    ++clears;
    received.clear();
    decoded.clear();
  }
  void AddReceived(const std::string& l) override { received.push_back(l); }
  void AddDecoded(const std::string& l) override { decoded.push_back(l); }
};

std::vector<std::string> ExpectedLines(const std::string& status1, const std::string& display,
                                       const std::string& flags1, const std::string& status2,
                                       const std::string& flags2, const std::string& peso,
                                       const std::string& formatted, const std::string& tara) {
  auto tf = [](char c) { return std::string(c == '1' ? "True" : "False"); };
  return {"STATUS1 = " + status1, "  Display = " + display, "  Peso Negativo = " + tf(flags1[0]),
          "  Sobre Carga = " + tf(flags1[1]), "  Saturação = " + tf(flags1[2]),
          "  Sensor Movimento = " + tf(flags1[3]), "", "STATUS2 = " + status2, "  TR1 = " + tf(flags2[0]),
          "  TR2 = " + tf(flags2[1]), "  TR3 = " + tf(flags2[2]), "  SP1 = " + tf(flags2[3]),
          "  SP2 = " + tf(flags2[4]), "  SP3 = " + tf(flags2[5]), "", "Peso = " + peso,
          "Peso Formatado = " + formatted, "Tara = " + tara};
}

struct Reader {
  std::string buffer;
  TLists lists;
  char sep = ',';
  void Feed(const std::string& chunk) { Receive_Chunk(buffer, chunk.data(), chunk.size(), sep, lists); }
};

const std::string kWorked = Frame(0x84, 0x80, "12345", "00000");

TEST(Receive, WorkedExampleInOneChunk) {
  ASSERT_EQ(kWorked, Bytes({0x02, 0x84, 0x80, '1', '2', '3', '4', '5', '0', '0', '0', '0', '0', 0x03, 0x04}));
  Reader r;
  r.Feed(kWorked);
  EXPECT_EQ(r.lists.clears, 1);
  EXPECT_EQ(r.lists.received, std::vector<std::string>{kWorked.substr(1)});
  EXPECT_EQ(r.lists.decoded, ExpectedLines("010000100", "0,01", "0000", "010000000", "000000", "12345", "123,45",
                                           "00000"));
  EXPECT_EQ(r.buffer, "");
}

TEST(Receive, FlagsAndFactorsAsSent) {
  // Negative + motion, x1; overload + saturation, x0.1; all STATUS2 bits.
  Reader r;
  r.Feed(Frame(0x99, 0x80, "01234", "00100"));
  EXPECT_EQ(r.lists.decoded, ExpectedLines("010011001", "1", "1001", "010000000", "000000", "01234", "1234",
                                           "00100"));
  r.Feed(Frame(0xE2, 0xFE, "01234", "00007"));
  EXPECT_EQ(r.lists.decoded, ExpectedLines("011100010", "0,1", "0110", "011111110", "111111", "01234", "123,4",
                                           "00007"));
  EXPECT_EQ(r.lists.clears, 2);
}

TEST(Receive, FrameSplitOverTwoChunksDecodesOnceAfterTheSecond) {
  Reader r;
  r.Feed(kWorked.substr(0, 8));
  EXPECT_EQ(r.lists.clears, 0);
  EXPECT_EQ(r.buffer.size(), 7u);
  r.Feed(kWorked.substr(8));
  EXPECT_EQ(r.lists.clears, 1);
  EXPECT_EQ(r.lists.decoded.back(), "Tara = 00000");
  EXPECT_EQ(r.buffer, "");
}

TEST(Receive, CheckByteOfCarriageReturnStillDecodes) {
  std::string f = kWorked;
  f.back() = '\x0D';
  Reader r;
  r.Feed(f);
  EXPECT_EQ(r.lists.clears, 1);
  EXPECT_EQ(r.lists.received.at(0).size(), 13u);
  EXPECT_EQ(r.lists.decoded.at(16), "Peso Formatado = 123,45");
}

TEST(Receive, TwoFramesInOneChunkListOnlyTheFirst) {
  Reader r;
  r.Feed(kWorked + Frame(0x81, 0x80, "00042", "00001"));
  EXPECT_EQ(r.lists.clears, 1);
  EXPECT_EQ(r.lists.decoded.at(15), "Peso = 12345");
  EXPECT_EQ(r.buffer, "");
  // Nothing of the second frame waits for the next chunk.
  r.Feed(Frame(0x81, 0x80, "00007", "00000"));
  EXPECT_EQ(r.lists.decoded.at(15), "Peso = 00007");
}

TEST(Receive, BlankTareFrameWaitsAndDecodesShiftedWithTheNextFramesStart) {
  Reader r;
  const std::string shortFrame = Frame(0x84, 0x80, "12345", "");
  ASSERT_EQ(shortFrame, Bytes({0x02, 0x84, 0x80, '1', '2', '3', '4', '5', 0x03, 0x34}));
  r.Feed(shortFrame);
  EXPECT_EQ(r.lists.clears, 0);
  EXPECT_EQ(r.buffer.size(), 9u);
  r.Feed(Frame(0x81, 0x80, "00042", "00001"));
  EXPECT_EQ(r.lists.clears, 1);
  // 9 waiting + 14 new: the whole 23 characters are listed, fields read from the first.
  EXPECT_EQ(r.lists.received.at(0), shortFrame.substr(1) + Frame(0x81, 0x80, "00042", "00001").substr(1));
  EXPECT_EQ(r.lists.decoded.at(15), "Peso = 12345");
  EXPECT_EQ(r.lists.decoded.at(17), Bytes({'T', 'a', 'r', 'a', ' ', '=', ' ', 0x03, '4', 0x81, 0x80, '0'}));
  EXPECT_EQ(r.buffer, "");
}

TEST(Receive, FactorUsesTheSystemSeparatorOnOutput) {
  Reader r;
  r.sep = '.';
  r.Feed(Frame(0x82, 0x80, "01234", "00000"));
  EXPECT_EQ(r.lists.decoded.at(16), "Peso Formatado = 123.4");
  r.Feed(kWorked);
  EXPECT_EQ(r.lists.decoded.at(16), "Peso Formatado = 123.45");
}

TEST(Receive, WeightThatIsNoNumberRaisesAfterPesoLineAndTheNextFrameDecodes) {
  Reader r;
  EXPECT_THROW(r.Feed(Frame(0x84, 0x80, "12A45", "00000")), zf::EConvertError);
  ASSERT_EQ(r.lists.decoded.size(), 16u);
  EXPECT_EQ(r.lists.decoded.back(), "Peso = 12A45");
  EXPECT_EQ(r.buffer, "") << "the buffer is emptied even when decoding raises";
  r.Feed(kWorked);
  EXPECT_EQ(r.lists.decoded.size(), 18u);
  EXPECT_EQ(r.lists.decoded.at(16), "Peso Formatado = 123,45");
}

TEST(Receive, TextThatIsNoFrameRaisesAndEmptiesTheBuffer) {
  // Text that is no frame: its weight characters "CDEFG" are no number.
  Reader r;
  EXPECT_THROW(r.Feed(std::string("ABCDEFGHIJKLM")), zf::EConvertError);
  EXPECT_EQ(r.buffer, "");
  EXPECT_EQ(r.lists.received, std::vector<std::string>{"ABCDEFGHIJKLM"});
}

TEST(PesoFormatado, ProductInShortestGeneralForm) {
  struct Case {
    const char *peso, *display;
    char sep;
    const char* out;
  };
  const Case cases[] = {
      {"12345", "0,01", ',', "123,45"}, {"01234", "0,1", ',', "123,4"},  {"01234", "0,1", '.', "123.4"},
      {"12345", "1", ',', "12345"},     {"00000", "0,01", ',', "0"},     {"00010", "0,01", ',', "0,1"},
      {"99999", "0,01", '.', "999.99"}, {"00100", "000", ',', "0"},      {"00002", "111", ',', "222"},
      {"1E-10", "0,01", ',', "1E-12"},  {" 1234", "0,1", ',', "123,4"}, {"-1234", "0,01", ',', "-12,34"},
      {"1,5", "1", ',', "1,5"},
  };
  for (const Case& c : cases) EXPECT_EQ(Peso_Formatado(c.peso, c.display, c.sep), c.out) << c.peso << " " << c.display;
  for (const char* bad : {"12A45", "", "     ", "1.5", "1,2,3", "E5", "1E", "+", "0x10", "$1F"}) {
    EXPECT_THROW(Peso_Formatado(bad, "1", ','), zf::EConvertError) << bad;
  }
  // On a dot system the comma of a weight is no separator.
  EXPECT_THROW(Peso_Formatado("1,5", "1", '.'), zf::EConvertError);
  EXPECT_THROW(Peso_Formatado("00001", "$10", ','), zf::EConvertError);
}

}  // namespace
