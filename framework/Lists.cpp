#include "Lists.h"

#include <algorithm>

#include "TextCase.h"

namespace zf {

namespace {
[[noreturn]] void ListIndexError(int index) {
  throw EListError("List index out of bounds (" + IntToStr(index) + ")");
}
}  // namespace

void* TList::Get(int index) const {
  if (index < 0 || index >= Count()) ListIndexError(index);
  return FItems[static_cast<size_t>(index)];
}

void TList::Put(int index, void* item) {
  if (index < 0 || index >= Count()) ListIndexError(index);
  FItems[static_cast<size_t>(index)] = item;
}

int TList::Add(void* item) {
  FItems.push_back(item);
  return Count() - 1;
}

void TList::Insert(int index, void* item) {
  if (index < 0 || index > Count()) ListIndexError(index);
  FItems.insert(FItems.begin() + index, item);
}

void TList::Delete(int index) {
  if (index < 0 || index >= Count()) ListIndexError(index);
  FItems.erase(FItems.begin() + index);
}

int TList::IndexOf(const void* item) const {
  auto it = std::find(FItems.begin(), FItems.end(), item);
  return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
}

int TList::Remove(const void* item) {
  int i = IndexOf(item);
  if (i >= 0) Delete(i);
  return i;
}

const TClassInfo& TStrings::StaticClassInfo() {
  return MakeClassInfo<TStrings, TPersistent>("TStrings", [](auto&) {});
}

void TStrings::IndexError(int index) { ListIndexError(index); }

int TStrings::Add(const std::string& s) {
  int n = Count();
  Insert(n, s);
  return n;
}

void TStrings::AddStrings(const TStrings& other) {
  for (int i = 0; i < other.Count(); ++i) Add(other.Get(i));
}

int TStrings::IndexOf(const std::string& s) const {
  for (int i = 0; i < Count(); ++i)
    if (SameTextAscii(Get(i), s)) return i;
  return -1;
}

std::string TStrings::Text() const {
  std::string r;
  for (int i = 0; i < Count(); ++i) {
    r += Get(i);
    r += "\r\n";
  }
  return r;
}

void TStrings::SetText(const std::string& text) {
  std::vector<std::string> lines;
  size_t i = 0, start = 0;
  while (i < text.size()) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.push_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  Assign(lines);
}

void TStrings::Assign(const TPersistent* source) {
  if (auto* s = dynamic_cast<const TStrings*>(source)) {
    if (s == this) return;
    std::vector<std::string> lines;
    for (int i = 0; i < s->Count(); ++i) lines.push_back(s->Get(i));
    Assign(lines);
    return;
  }
  TPersistent::Assign(source);
}

void TStrings::Assign(const std::vector<std::string>& lines) {
  Clear();
  for (const std::string& l : lines) Add(l);
}

const TClassInfo& TStringList::StaticClassInfo() {
  return MakeClassInfo<TStringList, TStrings>("TStringList", [](auto&) {});
}

std::string TStringList::Get(int index) const {
  if (index < 0 || index >= Count()) IndexError(index);
  return FList[static_cast<size_t>(index)];
}

void TStringList::Put(int index, const std::string& s) {
  if (index < 0 || index >= Count()) IndexError(index);
  FList[static_cast<size_t>(index)] = s;
  Changed();
}

void TStringList::Insert(int index, const std::string& s) {
  if (index < 0 || index > Count()) IndexError(index);
  FList.insert(FList.begin() + index, s);
  Changed();
}

void TStringList::Delete(int index) {
  if (index < 0 || index >= Count()) IndexError(index);
  FList.erase(FList.begin() + index);
  Changed();
}

void TStringList::Clear() {
  if (FList.empty()) return;
  FList.clear();
  Changed();
}

void TStringList::Changed() {
  if (OnChange) OnChange(this);
}

}  // namespace zf
