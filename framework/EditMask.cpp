#include "EditMask.h"

#include <algorithm>

namespace zf {

namespace {
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z')) return true;
  // Code page 1252 letters: the accented ranges, without the multiplication and division signs.
  return (u >= 0xC0 && u != 0xD7 && u != 0xF7) || u == 0x8A || u == 0x8C || u == 0x8E || u == 0x9A ||
         u == 0x9C || u == 0x9E || u == 0x9F;
}
bool IsOptional(char m) { return m == '9' || m == '#' || m == 'l' || m == 'a' || m == 'c'; }
bool IsMaskChar(char m) {
  return m == '9' || m == '0' || m == '#' || m == 'L' || m == 'l' || m == 'A' || m == 'a' || m == 'C' || m == 'c';
}
char ToUpper1252(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if (u >= 'a' && u <= 'z') return static_cast<char>(u - 32);
  if (u >= 0xE0 && u != 0xF7 && u != 0xFF) return static_cast<char>(u - 32);
  return c;
}
char ToLower1252(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if (u >= 'A' && u <= 'Z') return static_cast<char>(u + 32);
  if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return static_cast<char>(u + 32);
  return c;
}
}  // namespace

void TEditMaskModel::SetEditMask(std::string_view editMask) {
  // Filled characters move over to the new mask in order.
  std::string carried;
  if (IsMasked()) {
    for (size_t i = 0; i < FSlots.size(); ++i)
      if (FSlots[i].Mask && FFilled[i]) carried += FChars[i];
  } else {
    carried = FPlain;
  }
  FEditMask = std::string(editMask);
  FSlots.clear();
  FChars.clear();
  FFilled.clear();
  FSaveLiterals = true;
  FBlank = '_';
  FPlain.clear();

  // The fields ";save;blank" stand at the end; a "\;" in the mask is a literal.
  std::string_view mask = editMask;
  auto lastSep = [](std::string_view s) -> size_t {
    for (size_t i = s.size(); i-- > 0;)
      if (s[i] == ';' && !(i > 0 && s[i - 1] == '\\')) return i;
    return std::string_view::npos;
  };
  size_t s2 = lastSep(mask);
  if (s2 != std::string_view::npos) {
    std::string_view tail = mask.substr(s2 + 1);
    std::string_view head = mask.substr(0, s2);
    size_t s1 = lastSep(head);
    if (s1 != std::string_view::npos) {
      // mask;save;blank
      FSaveLiterals = !(head.substr(s1 + 1) == "0");
      if (!tail.empty()) FBlank = tail[0];
      mask = head.substr(0, s1);
    } else {
      // mask;save
      FSaveLiterals = tail != "0";
      mask = head;
    }
  }
  bool upper = false, lower = false;
  for (size_t i = 0; i < mask.size(); ++i) {
    char c = mask[i];
    if (c == '\\' && i + 1 < mask.size()) {
      FSlots.push_back(Slot{0, mask[++i]});
    } else if (c == '>') {
      if (i + 1 < mask.size() && mask[i + 1] == '<') {
        upper = lower = false;
        ++i;
      } else {
        upper = true;
        lower = false;
      }
    } else if (c == '<') {
      lower = true;
      upper = false;
    } else if (c == '!') {
      // Leading-blank handling does not change what is stored.
    } else if (IsMaskChar(c)) {
      FSlots.push_back(Slot{c, 0, upper, lower});
    } else {
      FSlots.push_back(Slot{0, c});
    }
  }
  FChars.resize(FSlots.size());
  FFilled.assign(FSlots.size(), false);
  for (size_t i = 0; i < FSlots.size(); ++i) FChars[i] = FSlots[i].Mask ? FBlank : FSlots[i].Literal;

  if (!IsMasked()) {
    FPlain = carried;
    return;
  }
  size_t k = 0;
  for (size_t i = 0; i < FSlots.size() && k < carried.size(); ++i) {
    if (!FSlots[i].Mask) continue;
    char ch = carried[k++];
    if (Accepts(FSlots[i], ch)) {
      FChars[i] = FSlots[i].Upper ? ToUpper1252(ch) : FSlots[i].Lower ? ToLower1252(ch) : ch;
      FFilled[i] = true;
    }
  }
}

bool TEditMaskModel::Accepts(const Slot& s, char c) const {
  switch (s.Mask) {
    case '9': case '0': return IsDigit(c);
    case '#': return IsDigit(c) || c == '+' || c == '-';
    case 'L': case 'l': return IsLetter(c);
    case 'A': case 'a': return IsLetter(c) || IsDigit(c);
    case 'C': case 'c': return static_cast<unsigned char>(c) >= 0x20 && c != 0x7F;
    default: return false;
  }
}

std::string TEditMaskModel::EditText() const {
  if (!IsMasked()) return FPlain;
  return FChars;
}

std::string TEditMaskModel::Text() const {
  if (!IsMasked()) return FPlain;
  std::string r;
  for (size_t i = 0; i < FSlots.size(); ++i) {
    if (!FSlots[i].Mask) {
      if (FSaveLiterals) r += FChars[i];
    } else {
      r += FFilled[i] ? FChars[i] : ' ';
    }
  }
  return r;
}

void TEditMaskModel::SetText(std::string_view text) {
  if (!IsMasked()) {
    FPlain = std::string(text);
    return;
  }
  Clear();
  size_t k = 0;
  for (size_t i = 0; i < FSlots.size() && k < text.size(); ++i) {
    if (!FSlots[i].Mask) {
      if (FSaveLiterals) ++k;  // the literal's place in the text
      continue;
    }
    char ch = text[k++];
    if (ch != ' ' && Accepts(FSlots[i], ch)) {
      FChars[i] = FSlots[i].Upper ? ToUpper1252(ch) : FSlots[i].Lower ? ToLower1252(ch) : ch;
      FFilled[i] = true;
    }
  }
}

void TEditMaskModel::Clear() {
  if (!IsMasked()) {
    FPlain.clear();
    return;
  }
  BlankRange(0, MaskLength());
}

void TEditMaskModel::BlankRange(int from, int to) {
  for (int i = std::max(from, 0); i < to && i < MaskLength(); ++i) {
    if (!FSlots[static_cast<size_t>(i)].Mask) continue;
    FChars[static_cast<size_t>(i)] = FBlank;
    FFilled[static_cast<size_t>(i)] = false;
  }
}

int TEditMaskModel::NextInput(int pos) const {
  int n = MaskLength();
  for (int i = std::max(pos, 0); i < n; ++i)
    if (FSlots[static_cast<size_t>(i)].Mask) return i;
  return n;
}

int TEditMaskModel::TypeChar(int pos, int selLength, char c) {
  FAccepted = true;
  if (!IsMasked()) {
    size_t p = static_cast<size_t>(std::clamp(pos, 0, static_cast<int>(FPlain.size())));
    size_t n = static_cast<size_t>(std::clamp(selLength, 0, static_cast<int>(FPlain.size() - p)));
    FPlain.replace(p, n, 1, c);
    return static_cast<int>(p) + 1;
  }
  int n = MaskLength();
  pos = std::clamp(pos, 0, n);
  if (pos < n && !FSlots[static_cast<size_t>(pos)].Mask && FSlots[static_cast<size_t>(pos)].Literal == c) {
    BlankRange(pos, pos + selLength);
    return NextInput(pos + 1);
  }
  int p = NextInput(pos);
  if (p >= n) {
    FAccepted = false;
    return pos;
  }
  const Slot& s = FSlots[static_cast<size_t>(p)];
  bool blank = c == ' ' && IsOptional(s.Mask);
  if (!blank && !Accepts(s, c)) {
    FAccepted = false;
    return pos;
  }
  BlankRange(pos, pos + selLength);
  if (blank) {
    FChars[static_cast<size_t>(p)] = FBlank;
    FFilled[static_cast<size_t>(p)] = false;
  } else {
    FChars[static_cast<size_t>(p)] = s.Upper ? ToUpper1252(c) : s.Lower ? ToLower1252(c) : c;
    FFilled[static_cast<size_t>(p)] = true;
  }
  return NextInput(p + 1);
}

int TEditMaskModel::Backspace(int pos, int selLength) {
  FAccepted = true;
  if (!IsMasked()) {
    int len = static_cast<int>(FPlain.size());
    pos = std::clamp(pos, 0, len);
    if (selLength > 0) {
      FPlain.erase(static_cast<size_t>(pos), static_cast<size_t>(std::min(selLength, len - pos)));
      return pos;
    }
    if (pos == 0) return 0;
    FPlain.erase(static_cast<size_t>(pos - 1), 1);
    return pos - 1;
  }
  pos = std::clamp(pos, 0, MaskLength());
  if (selLength > 0) {
    BlankRange(pos, pos + selLength);
    return pos;
  }
  for (int q = pos - 1; q >= 0; --q) {
    if (FSlots[static_cast<size_t>(q)].Mask) {
      BlankRange(q, q + 1);
      return q;
    }
  }
  return pos;
}

int TEditMaskModel::DeleteChars(int pos, int selLength) {
  FAccepted = true;
  if (!IsMasked()) {
    int len = static_cast<int>(FPlain.size());
    pos = std::clamp(pos, 0, len);
    FPlain.erase(static_cast<size_t>(pos), static_cast<size_t>(std::min(std::max(selLength, 1), len - pos)));
    return pos;
  }
  pos = std::clamp(pos, 0, MaskLength());
  if (selLength > 0) {
    BlankRange(pos, pos + selLength);
  } else {
    int q = NextInput(pos);
    BlankRange(q, q + 1);
  }
  return pos;
}

}  // namespace zf
