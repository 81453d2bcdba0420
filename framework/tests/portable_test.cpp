// Lists, streams, edit masks, layouts and JPEG decoding, without windows.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

extern "C" {
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
}

#include "EditMask.h"
#include "JpegDecode.h"
#include "Layout.h"
#include "Lists.h"
#include "Streams.h"

using namespace zf;

namespace {

TEST(Lists, IndexErrorsAndText) {
  TStringList l;
  int changes = 0;
  l.OnChange = [&](TObject*) { ++changes; };
  l.SetText("a\r\nb\nc\rlast");
  EXPECT_EQ(l.Lines(), (std::vector<std::string>{"a", "b", "c", "last"}));
  EXPECT_EQ(l.Text(), "a\r\nb\r\nc\r\nlast\r\n");
  EXPECT_GT(changes, 0);
  EXPECT_EQ(l.IndexOf("LAST"), 3);
  try {
    l.Get(4);
    ADD_FAILURE();
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (4)");
  }
  EXPECT_THROW(l.Insert(-1, "x"), EListError);
  TList p;
  int a = 0, b = 0;
  p.Add(&a);
  p.Insert(0, &b);
  EXPECT_EQ(p.IndexOf(&a), 1);
  EXPECT_EQ(p.Remove(&b), 0);
  EXPECT_THROW(p.Delete(1), EListError);
}

TEST(Streams, ReadErrorAndPositions) {
  TMemoryStream m;
  m.WriteBuffer("hello", 5);
  EXPECT_EQ(m.Position(), 5);
  m.SetPosition(1);
  char buf[8] = {};
  m.ReadBuffer(buf, 3);
  EXPECT_STREQ(buf, "ell");
  try {
    m.ReadBuffer(buf, 2);
    ADD_FAILURE();
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "Stream read error");
  }
  m.Seek(-2, TSeekOrigin::soEnd);
  EXPECT_EQ(m.ReadRest(), "lo");
  m.SetPosition(10);  // past the end: writing fills with zeros
  m.WriteBuffer("!", 1);
  EXPECT_EQ(m.Size(), 11);
  EXPECT_EQ(m.Bytes()[7], '\0');
  EXPECT_THROW(TFileStream("/nonexistent/dir/x", TFileMode::fmOpenRead), EFOpenError);
}

// --- edit masks --------------------------------------------------------------

struct MaskCase {
  const char* mask;
  const char* start;  // Text set first ("" = none)
  const char* keys;   // typed from `pos`; '<' backspace, '~' delete
  int pos;
  const char* editText;
  const char* text;
  int caret;
};

TEST(EditMask, TypingTextAndCaretTable) {
  const MaskCase cases[] = {
      {"999,99;1;0", "   ,  ", "", 0, "000,00", "   ,  ", 0},
      {"999,99;1;0", "", "12345", 0, "123,45", "123,45", 6},
      {"999,99;1;0", "", "1", 3, "000,10", "   ,1 ", 5},  // at the literal: goes on after it
      {"999,99;1;0", "", ",5", 3, "000,50", "   ,5 ", 5},  // typing the literal moves past it
      {"999,99;1;0", "", ",", 1, "000,00", "   ,  ", 1},  // but not to a literal further on
      {"999,99;1;0", "", "12a3", 0, "123,00", "123,  ", 4},  // a letter is refused
      {"999,99;1;0", "", "1234567", 0, "123,45", "123,45", 6},  // full: the rest is dropped
      {"999,99;1;0", "", "100", 0, "100,00", "100,  ", 4},  // typed zeros are not blanks
      {"999,99;1;0", "123,45", "<", 6, "123,40", "123,4 ", 5},
      {"999,99;1;0", "123,45", "<<", 4, "100,45", "1  ,45", 1},  // backspace skips the literal
      {"999,99;1;0", "123,45", "~", 0, "023,45", " 23,45", 0},
      {"99999;1;0", "", "42", 0, "42000", "42   ", 2},
      {"9999,9;1;0", "", "12345", 0, "1234,5", "1234,5", 6},
      {"ccccc;1;0", "     ", "", 0, "00000", "     ", 0},
      {"ccccc;1;0", "000000", "", 0, "00000", "00000", 0},
      {"ccccc;1;0", "", "a b", 0, "a0b00", "a b  ", 3},
      {"00/00;0;_", "", "1234", 0, "12/34", "1234", 5},  // literals not saved
      {">LL-9;1;_", "", "ab7", 0, "AB-7", "AB-7", 4},
      {"\\99;1;_", "", "5", 0, "95", "95", 2},  // an escaped mask character is a literal
  };
  for (const MaskCase& c : cases) {
    SCOPED_TRACE(std::string(c.mask) + " keys '" + c.keys + "'");
    TEditMaskModel m(c.mask);
    if (*c.start) m.SetText(c.start);
    int pos = c.pos;
    for (const char* k = c.keys; *k; ++k) {
      if (*k == '<') pos = m.Backspace(pos, 0);
      else if (*k == '~') pos = m.DeleteChars(pos, 0);
      else pos = m.TypeChar(pos, 0, *k);
    }
    EXPECT_EQ(m.EditText(), c.editText);
    EXPECT_EQ(m.Text(), c.text);
    EXPECT_EQ(pos, c.caret);
  }
}

TEST(EditMask, ChangingTheMaskKeepsFittingCharactersAndClearBlanks) {
  TEditMaskModel m("999,99;1;0");
  m.SetText("123,45");
  m.SetEditMask("99999;1;0");
  EXPECT_EQ(m.Text(), "12345");
  m.SetEditMask("9999,9;1;0");
  EXPECT_EQ(m.Text(), "1234,5");
  m.Clear();
  EXPECT_EQ(m.EditText(), "0000,0");
  EXPECT_EQ(m.Text(), "    , ");
  EXPECT_EQ(m.MaskLength(), 6);
  // A selection is blanked before typing.
  m.SetText("9876,5");
  int caret = m.TypeChar(1, 3, '1');
  EXPECT_EQ(m.EditText(), "9100,5");
  EXPECT_EQ(caret, 2);
  // Without a mask everything is plain text.
  TEditMaskModel plain("");
  plain.SetText("ab");
  EXPECT_EQ(plain.TypeChar(1, 0, 'x'), 2);
  EXPECT_EQ(plain.Text(), "axb");
}

// --- layouts -----------------------------------------------------------------

int g_alive = 0;
std::vector<std::string> g_loaded;

enum class TShade : uint8_t { shLight, shDark, shBlack };
const TEnumInfo ShadeInfo("TShade", {"shLight", "shDark", "shBlack"});
using TPingEvent = std::function<void(TObject* Sender, int n)>;

class TPart : public TComponent {
public:
  explicit TPart(TComponent* owner) : TComponent(owner) { ++g_alive; }
  ~TPart() override { --g_alive; }
  static const TClassInfo& StaticClassInfo() {
    return MakeClassInfo<TPart, TComponent>("TPart", [](TPublisher<TPart>& p) {
      p.Integer("Size", &TPart::SetSize);
      p.String("Caption", &TPart::SetCaption);
      p.Boolean("Shown", &TPart::SetShown);
      p.Enum("Shade", &TPart::SetShade, ShadeInfo);
      p.Set("Shades", &TPart::SetShades, ShadeInfo);
      p.Strings("Items.Strings", &TPart::Items);
      p.Binary("Blob.Data", &TPart::SetBlob);
      p.Event("OnPing", &TPart::SetOnPing);
      p.Custom("Columns", [](TPart& t, const TPropertyValue& v) {
        if (v.kind != TPropertyValue::Kind::Collection) throw EPropertyError("Invalid property value");
        t.Columns = v.Collection.size();
      });
      p.Creatable();
    });
  }
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  void SetParentComponent(TComponent* p) override { Parent = p; }
  void Loaded() override { g_loaded.push_back(Name()); }
  void SetSize(int v) { Size = v; }
  void SetCaption(const std::string& v) { Caption = v; }
  void SetShown(bool v) { Shown = v; }
  void SetShade(TShade v) { Shade = v; }
  void SetShades(uint32_t v) { Shades = v; }
  TStringList& Items() { return FItems; }
  void SetBlob(const std::string& v) { Blob = v; }
  void SetOnPing(const TPingEvent& e) { OnPing = e; }

  int Size = 0;
  std::string Caption, Blob;
  bool Shown = false;
  TShade Shade = TShade::shLight;
  uint32_t Shades = 0;
  size_t Columns = 0;
  TStringList FItems;
  TPingEvent OnPing;
  TComponent* Parent = nullptr;
};

class TOther : public TComponent {
public:
  using TComponent::TComponent;
  static const TClassInfo& StaticClassInfo() {
    return MakeClassInfo<TOther, TComponent>("TOther", [](TPublisher<TOther>& p) { p.Creatable(); });
  }
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
};

class TRootForm : public TComponent {
public:
  using TComponent::TComponent;
  static const TClassInfo& StaticClassInfo() {
    return MakeClassInfo<TRootForm, TComponent>("TRootForm", [](TPublisher<TRootForm>& p) {
      p.Field("Part1", &TRootForm::Part1);
      p.Field("Inner", &TRootForm::Inner);
      p.Handler<TPingEvent>("Part1Ping", &TRootForm::Part1Ping);
      p.Handler<std::function<void(TObject*)>>("WrongShape", &TRootForm::WrongShape);
    });
  }
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  void Part1Ping(TObject* Sender, int n) { Pings += n; LastSender = Sender; }
  void WrongShape(TObject*) {}
  TPart* Part1 = nullptr;
  TPart* Inner = nullptr;
  int Pings = 0;
  TObject* LastSender = nullptr;
};

void RegisterTestClasses() {
  RegisterClass(TPart::StaticClassInfo());
  RegisterClass(TOther::StaticClassInfo());
}

const char kGoodLayout[] = R"(object Root1: TRootForm
  object Part1: TPart
    Size = -42
    Caption = 'Comunica)" "\xC3\xA7\xC3\xA3" R"(o ' + 'it''s'#13#10'x'#$41
    Shown = True
    Shade = shDark
    Shades = [shLight, shBlack]
    Items.Strings = (
      'DISPLAY x 1'
      'DISPLAY x 0.1'
      '')
    Blob.Data = {
      0A0b FF
      00}
    OnPing = Part1Ping
    Columns = <
      item
        Size = 3
      end
      item
      end>
    object Inner: TPart
      Caption = ''
    end
  end
  object Spare: TOther
  end
end
)";

TEST(Layout, EveryValueKindReachesItsProperty) {
  RegisterTestClasses();
  g_loaded.clear();
  TRootForm root(nullptr);
  ReadLayout(root, kGoodLayout, "TROOTFORM");
  ASSERT_NE(root.Part1, nullptr);
  ASSERT_NE(root.Inner, nullptr);
  EXPECT_EQ(root.Name(), "Root1");
  TPart& p = *root.Part1;
  EXPECT_EQ(p.Size, -42);
  EXPECT_EQ(p.Caption, "Comunica\xE7\xE3o it's\r\nxA");  // UTF-8 in quotes became code page 1252
  EXPECT_TRUE(p.Shown);
  EXPECT_EQ(p.Shade, TShade::shDark);
  EXPECT_EQ(p.Shades, 0b101u);
  EXPECT_EQ(p.FItems.Lines(), (std::vector<std::string>{"DISPLAY x 1", "DISPLAY x 0.1", ""}));
  EXPECT_EQ(p.Blob, std::string("\x0A\x0B\xFF\x00", 4));
  EXPECT_EQ(p.Columns, 2u);
  ASSERT_TRUE(p.OnPing);
  p.OnPing(&p, 5);
  EXPECT_EQ(root.Pings, 5);
  EXPECT_EQ(root.LastSender, &p);
  // Owned by the root; parent = the enclosing object.
  EXPECT_EQ(root.Inner->Owner(), &root);
  EXPECT_EQ(root.Inner->Parent, &p);
  EXPECT_EQ(p.Parent, &root);
  EXPECT_EQ(root.ComponentCount(), 3);
  EXPECT_NE(root.FindComponent("Spare"), nullptr);
  EXPECT_EQ(g_loaded, (std::vector<std::string>{"Part1", "Inner"}));
  EXPECT_FALSE(p.ComponentState().Has(csLoading));
}

TEST(Layout, MalformedLayoutsNameObjectAndLineAndLeaveNothingBehind) {
  RegisterTestClasses();
  struct Case { const char* text; const char* message; };
  const Case cases[] = {
      {"object Root1: TRootForm\n  object Part1: TNoSuch\n  end\nend\n",
       "TEST: Part1 (line 2): Class TNoSuch not found"},
      {"object Root1: TRootForm\n  object Part1: TPart\n    Size = 1\n    Colour = 3\n  end\nend\n",
       "TEST: Part1 (line 4): Property Colour does not exist"},
      {"object Root1: TRootForm\n  object Part1: TPart\n    Shade = shPink\n  end\nend\n",
       "TEST: Part1 (line 3): Invalid property value 'shPink' for TShade"},
      {"object Root1: TRootForm\n  object Part1: TPart\n    Size = 'big'\n  end\nend\n",
       "TEST: Part1 (line 3): Invalid property value"},
      {"object Root1: TRootForm\n  object Part1: TPart\n    Size = 12x\n  end\nend\n",
       "TEST: Part1 (line 3): Invalid number"},
      {"object Root1: TRootForm\n  object Part1: TPart\n    object Inner: TPart\n      Size = 1\n  end\nend\n",
       "TEST: Root1 (line 1): Unterminated object: 'end' missing"},
      {"object Root1: TRootForm\n  object Part1: TPart\n    OnPing = NoHandler\n  end\nend\n",
       "TEST: Part1 (line 3): Handler NoHandler of TRootForm does not exist"},
      {"object Root1: TRootForm\n  object Part1: TPart\n    OnPing = WrongShape\n  end\nend\n",
       "TEST: Part1 (line 3): Handler 'WrongShape' does not fit the event"},
      {"object Root1: TRootForm\n  object Part1: TOther\n  end\nend\n",
       "TEST: Part1 (line 2): Field Part1 of TRootForm cannot hold a TOther"},
      {"object Root1: TRootForm\n  object Spare: TOther\n  end\n  object spare: TOther\n  end\nend\n",
       "TEST: spare (line 4): A component named spare already exists"},
      {"object Root1: TRootForm\n  object Part1: TPart\n    Caption = 'open\n  end\nend\n",
       "TEST: Part1 (line 3): Unterminated string"},
      {"object Root1: TRootForm\n  object Part1: TPart\n    Caption = #300\n  end\nend\n",
       "TEST: Part1 (line 3): Invalid character code"},
      {"object Root1: TRootForm\n  object Part1: TPart\n    Caption = '\xE2\x82\xAC\xE2\x88\x9E'\n  end\nend\n",
       "TEST: Part1 (line 3): Text is not UTF-8 in code page 1252"},
      {"object Root1: TRootForm\n  object Part1: TPart\n    Blob.Data = {ABC}\n  end\nend\n",
       "TEST: Part1 (line 3): Invalid binary data: odd number of digits"},
      {"object Root1: TOtherRoot\nend\n", "TEST: Root1 (line 1): Layout of class TOtherRoot read into a TRootForm"},
      {"object Root1: TRootForm\nend\nend\n", "TEST: Root1 (line 3): Text after the end of the root object"},
      {"", "TEST: (no object) (line 1): 'object' expected"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    g_alive = 0;
    TRootForm root(nullptr);
    try {
      ReadLayout(root, c.text, "TEST");
      ADD_FAILURE() << "no error";
    } catch (const EReadError& e) {
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_STREQ(e.ClassName(), "EReadError");
    }
    EXPECT_EQ(root.ComponentCount(), 0);
    EXPECT_EQ(root.Part1, nullptr);
    EXPECT_EQ(root.Inner, nullptr);
    EXPECT_EQ(g_alive, 0);
  }
}

TEST(Layout, DeepNestingIsAnErrorNotACrash) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "object A" + std::to_string(i) + ": TPart\n";
  try {
    ParseLayout(text, "DEEP");
    ADD_FAILURE();
  } catch (const EReadError& e) {
    EXPECT_NE(e.Message().find("nested too deeply"), std::string::npos) << e.Message();
  }
}

// --- JPEG ----------------------------------------------------------------------

std::string ReadFileBytes(const std::string& name) {
  std::ifstream f(name, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// A binary PPM (P6, maxval 255) as written by djpeg.
TJpegPixels ReadPpm(const std::string& name) {
  std::string d = ReadFileBytes(name);
  std::istringstream in(d);
  std::string magic;
  int w = 0, h = 0, maxval = 0;
  in >> magic >> w >> h >> maxval;
  in.get();
  TJpegPixels p;
  p.Width = w;
  p.Height = h;
  p.Rgb = d.substr(static_cast<size_t>(in.tellg()));
  EXPECT_EQ(magic, "P6");
  EXPECT_EQ(p.Rgb.size(), static_cast<size_t>(w) * h * 3);
  return p;
}

TEST(Jpeg, DecodesLikeTheReferenceTool) {
  // The picture was made by ImageMagick and decoded by djpeg (islow IDCT, the
  // library default, as ours): the same integer IDCT gives the same pixels;
  // two levels are allowed for a build whose library rounds its upsampling differently.
  for (const char* name : {"gradient", "photo420", "gray"}) {
    SCOPED_TRACE(name);
    std::string jpg = ReadFileBytes(std::string(ZIVO_FIXTURES) + "/" + name + ".jpg");
    ASSERT_FALSE(jpg.empty());
    TJpegPixels ours = DecodeJpeg(jpg);
    TJpegPixels ref = ReadPpm(std::string(ZIVO_FIXTURES) + "/" + name + ".ppm");
    ASSERT_EQ(ours.Width, ref.Width);
    ASSERT_EQ(ours.Height, ref.Height);
    ASSERT_EQ(ours.Rgb.size(), ref.Rgb.size());
    int maxDiff = 0;
    for (size_t i = 0; i < ours.Rgb.size(); ++i)
      maxDiff = std::max(maxDiff, std::abs(static_cast<unsigned char>(ours.Rgb[i]) - static_cast<unsigned char>(ref.Rgb[i])));
    EXPECT_LE(maxDiff, 2);
    std::printf("%s: %dx%d, largest difference to djpeg %d\n", name, ours.Width, ours.Height, maxDiff);
  }
}

TEST(Jpeg, CorruptDataGivesTheLibraryErrorNumber) {
  std::string jpg = ReadFileBytes(std::string(ZIVO_FIXTURES) + "/gradient.jpg");
  ASSERT_GT(jpg.size(), 200u);
  struct Case { std::string data; int code; };
  std::string noSoi = jpg;
  noSoi[1] = 'X';
  std::string headerOnly = jpg.substr(0, 2);
  std::string badSof = jpg;
  // Zero the image width in the frame header: "Empty JPEG image".
  size_t sof = badSof.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  badSof[sof + 7] = 0;
  badSof[sof + 8] = 0;
  const Case cases[] = {{noSoi, JERR_NO_SOI}, {headerOnly, JERR_NO_IMAGE}, {badSof, JERR_EMPTY_IMAGE},
                        {"", JERR_NO_SOI}};
  for (const Case& c : cases) {
    try {
      DecodeJpeg(c.data);
      ADD_FAILURE() << "no error for code " << c.code;
    } catch (const EInvalidGraphic& e) {
      EXPECT_EQ(e.Message(), "JPEG error #" + std::to_string(c.code));
    }
  }
}

}  // namespace
