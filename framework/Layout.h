// Stored form layouts: the text format, its parser and the reader that builds a
// component tree from it.
//
//   object Form1: TForm1            the root names the class being read into
//     Caption = 'Comunica'#231#227'o'   strings: '...' with '' for a quote, #nnn codes,
//     Left = 10                          joined by + across lines; UTF-8 in quotes
//     Visible = True                     becomes code page 1252
//     Position = poDesktopCenter         identifiers: enumeration values, handlers
//     Font.Style = [fsBold, fsUnderline] sets
//     Items.Strings = ('a' 'b')          string lists
//     Picture.Data = {0A54...}           binary data as hexadecimal digits
//     Columns = <item Width = 3 end>     item lists
//     OnClick = BitBtn1Click             a handler of the root's class
//     object BitBtn1: TBitBtn            children: created owned by the root, with
//       ...                              the enclosing object as their parent
//     end
//   end
//
// Every error names the layout, the object and the line and is raised as
// EReadError; a failed read frees every component it created.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Classes.h"

namespace zf {

struct TLayoutProperty {
  std::string Name;  // may be dotted: "Font.Style"
  int Line = 0;
  TPropertyValue Value;
};

struct TLayoutObject {
  std::string Name;
  std::string ClassName;
  int Line = 0;
  std::vector<TLayoutProperty> Properties;
  std::vector<TLayoutObject> Children;
};

// Parses a layout's text. Syntax errors raise EReadError
// "<layout>: <object> (line <n>): <what>" (object "" before the first object line).
TLayoutObject ParseLayout(std::string_view text, const std::string& layoutName);

// Reads a layout into `root` (whose class must be the root object's class):
// sets the root's properties, creates each child with its class's factory
// (owner: root; parent: the enclosing object, through SetParentComponent), stores
// it into the root's field of that name, sets its properties, binds On...
// handlers of the root's class and finally calls Loaded on the root and every
// created component in creation order. Unknown classes and properties, bad values
// and handlers that do not exist raise EReadError naming layout, object and line;
// every component created by the read is freed again and the root's fields are
// cleared before the error goes on.
void ReadLayout(TComponent& root, const TLayoutObject& layout, const std::string& layoutName);
void ReadLayout(TComponent& root, std::string_view text, const std::string& layoutName);

// Code page 1252 for UTF-8 text; false when a character has no cp1252 code or
// the bytes are not UTF-8.
bool Utf8ToCp1252(std::string_view utf8, std::string& out);

}  // namespace zf
