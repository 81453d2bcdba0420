#include "Layout.h"

#include <cctype>
#include <charconv>
#include <cstring>

#include "TextCase.h"

namespace zf {

namespace {

// The error of a layout read, once it names layout, object and line.
class ELayoutError : public EReadError {
public:
  using EReadError::EReadError;
  const char* ClassName() const noexcept override { return "EReadError"; }
};

std::string Where(const std::string& layout, const std::string& object, int line, const std::string& what) {
  return layout + ": " + (object.empty() ? std::string("(no object)") : object) + " (line " + IntToStr(line) +
         "): " + what;
}

constexpr int kMaxDepth = 64;

// Code page 1252 characters of 0x80..0x9F by Unicode code point.
constexpr struct { uint16_t Code; uint8_t Byte; } kCp1252High[] = {
    {0x20AC, 0x80}, {0x201A, 0x82}, {0x0192, 0x83}, {0x201E, 0x84}, {0x2026, 0x85}, {0x2020, 0x86},
    {0x2021, 0x87}, {0x02C6, 0x88}, {0x2030, 0x89}, {0x0160, 0x8A}, {0x2039, 0x8B}, {0x0152, 0x8C},
    {0x017D, 0x8E}, {0x2018, 0x91}, {0x2019, 0x92}, {0x201C, 0x93}, {0x201D, 0x94}, {0x2022, 0x95},
    {0x2013, 0x96}, {0x2014, 0x97}, {0x02DC, 0x98}, {0x2122, 0x99}, {0x0161, 0x9A}, {0x203A, 0x9B},
    {0x0153, 0x9C}, {0x017E, 0x9E}, {0x0178, 0x9F}};

class TParser {
public:
  TParser(std::string_view text, const std::string& layout) : FText(text), FLayout(layout) {}

  TLayoutObject ParseRoot() {
    SkipBlanks();
    TLayoutObject root = ParseObject(0);
    SkipBlanks();
    if (FPos < FText.size()) Fail(root.Name, "Text after the end of the root object");
    return root;
  }

private:
  [[noreturn]] void Fail(const std::string& object, const std::string& what) const {
    throw ELayoutError(Where(FLayout, object, FLine, what));
  }

  bool AtEnd() const { return FPos >= FText.size(); }
  char Peek() const { return AtEnd() ? '\0' : FText[FPos]; }

  void SkipBlanks() {
    while (!AtEnd()) {
      char c = FText[FPos];
      if (c == '\n') {
        ++FLine;
        ++FPos;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        ++FPos;
      } else if (c == '/' && FPos + 1 < FText.size() && FText[FPos + 1] == '/') {
        while (!AtEnd() && FText[FPos] != '\n') ++FPos;
      } else {
        break;
      }
    }
  }

  static bool IdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
  static bool IdentChar(char c) { return IdentStart(c) || (c >= '0' && c <= '9'); }

  // An identifier; with `dotted`, parts joined by dots.
  std::string Ident(const std::string& object, bool dotted) {
    SkipBlanks();
    if (!IdentStart(Peek())) Fail(object, "Identifier expected");
    size_t start = FPos;
    for (;;) {
      while (!AtEnd() && IdentChar(FText[FPos])) ++FPos;
      if (dotted && Peek() == '.' && FPos + 1 < FText.size() && IdentStart(FText[FPos + 1])) {
        ++FPos;
        continue;
      }
      break;
    }
    return std::string(FText.substr(start, FPos - start));
  }

  void Expect(const std::string& object, char c) {
    SkipBlanks();
    if (Peek() != c) Fail(object, std::string("'") + c + "' expected");
    ++FPos;
  }

  bool IsKeyword(const char* word) {
    SkipBlanks();
    size_t n = std::strlen(word);
    if (FPos + n > FText.size()) return false;
    if (!SameTextAscii(FText.substr(FPos, n), word)) return false;
    return FPos + n == FText.size() || !IdentChar(FText[FPos + n]);
  }

  TLayoutObject ParseObject(int depth) {
    if (depth > kMaxDepth) Fail("", "Objects nested too deeply");
    if (!IsKeyword("object")) Fail("", "'object' expected");
    TLayoutObject obj;
    obj.Line = FLine;
    FPos += 6;
    obj.Name = Ident("", false);
    Expect(obj.Name, ':');
    obj.ClassName = Ident(obj.Name, false);
    for (;;) {
      SkipBlanks();
      if (AtEnd()) {
        FLine = obj.Line;
        Fail(obj.Name, "Unterminated object: 'end' missing");
      }
      if (IsKeyword("end")) {
        FPos += 3;
        return obj;
      }
      if (IsKeyword("object")) {
        obj.Children.push_back(ParseObject(depth + 1));
        continue;
      }
      TLayoutProperty p;
      p.Line = FLine;
      p.Name = Ident(obj.Name, true);
      Expect(obj.Name, '=');
      p.Value = Value(obj.Name, depth);
      obj.Properties.push_back(std::move(p));
    }
  }

  // One quoted piece or #nnn code, appended to s; false when none stands here.
  bool StringPiece(const std::string& object, std::string& s) {
    char c = Peek();
    if (c == '\'') {
      ++FPos;
      size_t start = FPos;
      std::string raw;
      for (;;) {
        if (AtEnd() || FText[FPos] == '\n' || FText[FPos] == '\r') Fail(object, "Unterminated string");
        if (FText[FPos] == '\'') {
          if (FPos + 1 < FText.size() && FText[FPos + 1] == '\'') {
            raw.append(FText.substr(start, FPos - start + 1));
            FPos += 2;
            start = FPos;
            continue;
          }
          raw.append(FText.substr(start, FPos - start));
          ++FPos;
          break;
        }
        ++FPos;
      }
      std::string cp;
      if (!Utf8ToCp1252(raw, cp)) Fail(object, "Text is not UTF-8 in code page 1252");
      s += cp;
      return true;
    }
    if (c == '#') {
      ++FPos;
      int base = 10;
      if (Peek() == '$') {
        base = 16;
        ++FPos;
      }
      size_t start = FPos;
      while (!AtEnd() && (std::isxdigit(static_cast<unsigned char>(FText[FPos])) != 0) &&
             (base == 16 || (FText[FPos] >= '0' && FText[FPos] <= '9')))
        ++FPos;
      unsigned v = 0;
      auto r = std::from_chars(FText.data() + start, FText.data() + FPos, v, base);
      if (start == FPos || r.ec != std::errc() || v > 255) Fail(object, "Invalid character code");
      s += static_cast<char>(v);
      return true;
    }
    return false;
  }

  std::string StringValue(const std::string& object) {
    std::string s;
    SkipBlanks();
    if (!StringPiece(object, s)) Fail(object, "String expected");
    for (;;) {
      if (StringPiece(object, s)) continue;
      size_t save = FPos;
      int saveLine = FLine;
      SkipBlanks();
      if (Peek() == '+') {
        ++FPos;
        SkipBlanks();
        if (!StringPiece(object, s)) Fail(object, "String expected after '+'");
        continue;
      }
      FPos = save;
      FLine = saveLine;
      return s;
    }
  }

  TPropertyValue Number(const std::string& object) {
    size_t start = FPos;
    bool neg = false;
    if (Peek() == '-' || Peek() == '+') {
      neg = Peek() == '-';
      ++FPos;
    }
    if (Peek() == '$') {
      ++FPos;
      size_t ds = FPos;
      while (!AtEnd() && std::isxdigit(static_cast<unsigned char>(FText[FPos]))) ++FPos;
      uint64_t v = 0;
      auto r = std::from_chars(FText.data() + ds, FText.data() + FPos, v, 16);
      if (ds == FPos || r.ec != std::errc() || v > 0xFFFFFFFFull) Fail(object, "Invalid number");
      // Hexadecimal gives the 32-bit pattern, as colours are written.
      int64_t s = static_cast<int32_t>(static_cast<uint32_t>(v));
      return TPropertyValue::Integer(neg ? -s : s);
    }
    size_t ds = FPos;
    while (!AtEnd() && FText[FPos] >= '0' && FText[FPos] <= '9') ++FPos;
    if (ds == FPos) Fail(object, "Invalid number");
    bool isFloat = false;
    if (Peek() == '.' && FPos + 1 < FText.size() && FText[FPos + 1] >= '0' && FText[FPos + 1] <= '9') {
      isFloat = true;
      ++FPos;
      while (!AtEnd() && FText[FPos] >= '0' && FText[FPos] <= '9') ++FPos;
    }
    if (Peek() == 'e' || Peek() == 'E') {
      isFloat = true;
      ++FPos;
      if (Peek() == '+' || Peek() == '-') ++FPos;
      size_t es = FPos;
      while (!AtEnd() && FText[FPos] >= '0' && FText[FPos] <= '9') ++FPos;
      if (es == FPos) Fail(object, "Invalid number");
    }
    if (IdentChar(Peek())) Fail(object, "Invalid number");
    if (isFloat) {
      double d = 0;
      auto r = std::from_chars(FText.data() + start + (FText[start] == '+' ? 1 : 0), FText.data() + FPos, d);
      if (r.ec != std::errc()) Fail(object, "Invalid number");
      TPropertyValue p;
      p.kind = TPropertyValue::Kind::Float;
      p.Float = d;
      return p;
    }
    int64_t v = 0;
    auto r = std::from_chars(FText.data() + ds, FText.data() + FPos, v);
    if (r.ec != std::errc()) Fail(object, "Invalid number");
    return TPropertyValue::Integer(neg ? -v : v);
  }

  TPropertyValue Value(const std::string& object, int depth) {
    SkipBlanks();
    char c = Peek();
    if (c == '\'' || c == '#') return TPropertyValue::String(StringValue(object));
    if ((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '$') return Number(object);
    if (IdentStart(c)) {
      std::string id = Ident(object, true);
      if (SameTextAscii(id, "True")) return TPropertyValue::Boolean(true);
      if (SameTextAscii(id, "False")) return TPropertyValue::Boolean(false);
      return TPropertyValue::Ident(id);
    }
    if (c == '[') {
      ++FPos;
      TPropertyValue p;
      p.kind = TPropertyValue::Kind::Set;
      SkipBlanks();
      if (Peek() == ']') {
        ++FPos;
        return p;
      }
      for (;;) {
        p.Items.push_back(Ident(object, false));
        SkipBlanks();
        if (Peek() == ',') {
          ++FPos;
          continue;
        }
        Expect(object, ']');
        return p;
      }
    }
    if (c == '(') {
      ++FPos;
      TPropertyValue p;
      p.kind = TPropertyValue::Kind::List;
      for (;;) {
        SkipBlanks();
        if (AtEnd()) Fail(object, "')' expected");
        if (Peek() == ')') {
          ++FPos;
          return p;
        }
        p.Items.push_back(StringValue(object));
      }
    }
    if (c == '{') {
      ++FPos;
      TPropertyValue p;
      p.kind = TPropertyValue::Kind::Binary;
      int half = -1;
      for (;;) {
        SkipBlanks();
        if (AtEnd()) Fail(object, "'}' expected");
        char h = FText[FPos++];
        if (h == '}') break;
        int d = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
        if (d < 0) Fail(object, "Invalid binary data");
        if (half < 0) {
          half = d;
        } else {
          p.Str += static_cast<char>(half * 16 + d);
          half = -1;
        }
      }
      if (half >= 0) Fail(object, "Invalid binary data: odd number of digits");
      return p;
    }
    if (c == '<') {
      ++FPos;
      if (depth > kMaxDepth) Fail(object, "Item lists nested too deeply");
      TPropertyValue p;
      p.kind = TPropertyValue::Kind::Collection;
      for (;;) {
        SkipBlanks();
        if (AtEnd()) Fail(object, "'>' expected");
        if (Peek() == '>') {
          ++FPos;
          return p;
        }
        if (!IsKeyword("item")) Fail(object, "'item' expected");
        FPos += 4;
        std::vector<std::pair<std::string, TPropertyValue>> item;
        for (;;) {
          SkipBlanks();
          if (AtEnd()) Fail(object, "'end' of item expected");
          if (IsKeyword("end")) {
            FPos += 3;
            break;
          }
          std::string name = Ident(object, true);
          Expect(object, '=');
          item.emplace_back(name, Value(object, depth + 1));
        }
        p.Collection.push_back(std::move(item));
      }
    }
    if (AtEnd()) Fail(object, "Value expected");
    Fail(object, "Invalid property value");
  }

  std::string_view FText;
  const std::string& FLayout;
  size_t FPos = 0;
  int FLine = 1;
};

bool IsEventName(const std::string& prop) {
  size_t dot = prop.rfind('.');
  std::string_view last = dot == std::string::npos ? std::string_view(prop) : std::string_view(prop).substr(dot + 1);
  return last.size() > 2 && LowerAscii(last[0]) == 'o' && LowerAscii(last[1]) == 'n' && last[2] >= 'A' &&
         last[2] <= 'Z';
}

class TReader {
public:
  TReader(TComponent& root, const std::string& layout) : FRoot(root), FLayout(layout) {}

  void Read(const TLayoutObject& node) {
    if (!SameTextAscii(node.ClassName, FRoot.ClassName()))
      throw ELayoutError(Where(FLayout, node.Name, node.Line,
                               "Layout of class " + node.ClassName + " read into a " + FRoot.ClassName()));
    FRoot.SetLoading(true);
    try {
      FRoot.SetName(node.Name);
      Apply(FRoot, node);
      for (const TLayoutObject& c : node.Children) Create(FRoot, c);
      for (TComponent* c : FCreated) c->SetLoading(false);
      FRoot.SetLoading(false);
      for (TComponent* c : FCreated) Guard(*c, c->Name(), node.Line, [c] { c->Loaded(); });
      Guard(FRoot, FRoot.Name(), node.Line, [this] { FRoot.Loaded(); });
    } catch (...) {
      Undo();
      throw;
    }
  }

private:
  template <class F>
  void Guard(TComponent&, const std::string& object, int line, F&& f) {
    try {
      f();
    } catch (const ELayoutError&) {
      throw;
    } catch (const Exception& e) {
      throw ELayoutError(Where(FLayout, object, line, e.Message()));
    }
  }

  void Undo() noexcept {
    FRoot.SetLoading(false);
    const TClassInfo& rootInfo = FRoot.ClassInfo();
    for (TComponent* c : FCreated)
      if (const TFieldSetter* f = rootInfo.FindField(c->Name())) (*f)(FRoot, nullptr);
    for (auto it = FCreated.rbegin(); it != FCreated.rend(); ++it) {
      try {
        FRoot.FreeComponent(*it);
      } catch (...) {
        // Freeing goes on for the others.
      }
    }
    FCreated.clear();
  }

  void Apply(TComponent& target, const TLayoutObject& node) {
    const TClassInfo& info = target.ClassInfo();
    for (const TLayoutProperty& p : node.Properties) {
      const TPropertySetter* set = info.FindProperty(p.Name);
      if (!set) throw ELayoutError(Where(FLayout, node.Name, p.Line, "Property " + p.Name + " does not exist"));
      if (p.Value.kind == TPropertyValue::Kind::Ident && IsEventName(p.Name)) {
        const THandlerFactory* h = FRoot.ClassInfo().FindHandler(p.Value.Str);
        if (!h)
          throw ELayoutError(Where(FLayout, node.Name, p.Line,
                                   "Handler " + p.Value.Str + " of " + FRoot.ClassName() + " does not exist"));
        TPropertyValue m;
        m.kind = TPropertyValue::Kind::Method;
        m.HandlerName = p.Value.Str;
        m.Method = (*h)(FRoot);
        Guard(target, node.Name, p.Line, [&] { (*set)(target, m); });
      } else {
        Guard(target, node.Name, p.Line, [&] { (*set)(target, p.Value); });
      }
    }
  }

  void Create(TComponent& parent, const TLayoutObject& node) {
    const TClassInfo* cls = FindClass(node.ClassName);
    if (!cls) throw ELayoutError(Where(FLayout, node.Name, node.Line, "Class " + node.ClassName + " not found"));
    if (!cls->Factory)
      throw ELayoutError(Where(FLayout, node.Name, node.Line, "Class " + node.ClassName + " cannot be created"));
    if (FRoot.FindComponent(node.Name) || SameTextAscii(node.Name, FRoot.Name()))
      throw ELayoutError(Where(FLayout, node.Name, node.Line, "A component named " + node.Name + " already exists"));
    TComponent* c = nullptr;
    Guard(FRoot, node.Name, node.Line, [&] { c = cls->Factory(&FRoot); });
    FCreated.push_back(c);
    c->SetLoading(true);
    c->SetName(node.Name);
    if (const TFieldSetter* f = FRoot.ClassInfo().FindField(node.Name)) {
      if (!(*f)(FRoot, c))
        throw ELayoutError(Where(FLayout, node.Name, node.Line,
                                 "Field " + node.Name + " of " + FRoot.ClassName() + " cannot hold a " + node.ClassName));
    }
    Guard(*c, node.Name, node.Line, [&] { c->SetParentComponent(&parent); });
    Apply(*c, node);
    for (const TLayoutObject& ch : node.Children) Create(*c, ch);
  }

  TComponent& FRoot;
  const std::string& FLayout;
  std::vector<TComponent*> FCreated;
};

}  // namespace

bool Utf8ToCp1252(std::string_view in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size();) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    uint32_t cp;
    size_t n;
    if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; n = 2; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; n = 3; }
    else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; n = 4; }
    else return false;
    if (i + n > in.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      unsigned char d = static_cast<unsigned char>(in[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    i += n;
    if (cp >= 0xA0 && cp <= 0xFF) {
      out += static_cast<char>(cp);
      continue;
    }
    bool found = false;
    for (const auto& e : kCp1252High)
      if (e.Code == cp) {
        out += static_cast<char>(e.Byte);
        found = true;
        break;
      }
    if (!found) return false;
  }
  return true;
}

TLayoutObject ParseLayout(std::string_view text, const std::string& layoutName) {
  TParser p(text, layoutName);
  return p.ParseRoot();
}

void ReadLayout(TComponent& root, const TLayoutObject& layout, const std::string& layoutName) {
  TReader r(root, layoutName);
  r.Read(layout);
}

void ReadLayout(TComponent& root, std::string_view text, const std::string& layoutName) {
  ReadLayout(root, ParseLayout(text, layoutName), layoutName);
}

}  // namespace zf
