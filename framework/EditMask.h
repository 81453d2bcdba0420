// Edit masks ("999,99;1;0"): the mask text, a save-literals field and the
// character shown for blanks. Mask characters: 9 digit or blank, 0 digit,
// # digit, sign or blank, L/l letter, A/a letter or digit, C/c any character;
// \x is the literal x; every other character is a literal. The model keeps the
// edit text (what the window shows: blanks as the blank character) and which
// input positions are filled, so a typed character equal to the blank
// character stays a character.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace zf {

class TEditMaskModel {
public:
  TEditMaskModel() = default;
  explicit TEditMaskModel(std::string_view editMask) { SetEditMask(editMask); }

  // An empty mask means no mask: every character is accepted and kept.
  void SetEditMask(std::string_view editMask);
  const std::string& EditMask() const { return FEditMask; }
  bool IsMasked() const { return !FSlots.empty(); }
  int MaskLength() const { return static_cast<int>(FSlots.size()); }
  bool SaveLiterals() const { return FSaveLiterals; }
  char BlankChar() const { return FBlank; }

  // What the window shows: literals, filled characters, blanks as BlankChar.
  std::string EditText() const;
  // The text as the program reads it: literals (when saved), filled
  // characters, and a space for each blank position.
  std::string Text() const;
  // Fills the positions from a text laid out like Text (literals in place when
  // they are saved); a space or a character that the position does not accept
  // leaves it blank; characters beyond the mask are dropped.
  void SetText(std::string_view text);
  void Clear();

  // Editing at 0-based positions of EditText. Each returns the caret after it.
  // Typing overwrites the selection's first input position at or after `pos`
  // (after blanking the rest of the selection); literals are skipped, and
  // typing the literal that stands at `pos` moves past it. A character the
  // position does not accept changes nothing (Accepted() says so).
  int TypeChar(int pos, int selLength, char c);
  int Backspace(int pos, int selLength);
  int DeleteChars(int pos, int selLength);
  bool Accepted() const { return FAccepted; }

  // The first input position at or after pos (MaskLength when none).
  int NextInput(int pos) const;

private:
  struct Slot {
    char Mask;     // the mask character, 0 for a literal
    char Literal;  // the literal's character
    bool Upper = false, Lower = false;
  };
  bool Accepts(const Slot& s, char c) const;
  void BlankRange(int from, int to);

  std::string FEditMask;
  std::vector<Slot> FSlots;
  std::string FChars;         // one per slot: the filled character or the literal
  std::vector<bool> FFilled;  // input slots only
  bool FSaveLiterals = true;
  char FBlank = '_';
  bool FAccepted = true;
  std::string FPlain;  // the text when there is no mask
};

}  // namespace zf
