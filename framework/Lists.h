// Lists: an untyped pointer list and string lists with the change notification
// that controls use to mirror their items into a window.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Classes.h"

namespace zf {

// A list of pointers that it does not own; a bad index raises EListError
// "List index out of bounds (<index>)".
class TList {
public:
  int Count() const { return static_cast<int>(FItems.size()); }
  void* Get(int index) const;
  void* operator[](int index) const { return Get(index); }
  void Put(int index, void* item);
  int Add(void* item);
  void Insert(int index, void* item);
  void Delete(int index);
  int IndexOf(const void* item) const;
  int Remove(const void* item);  // index it had, -1 when absent
  void Clear() { FItems.clear(); }

private:
  std::vector<void*> FItems;
};

// The abstract string list. Indexes are 0-based; a bad index raises EListError
// "List index out of bounds (<index>)".
class TStrings : public TPersistent {
public:
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }

  virtual int Count() const = 0;
  virtual std::string Get(int index) const = 0;
  virtual void Put(int index, const std::string& s) = 0;
  virtual void Insert(int index, const std::string& s) = 0;
  virtual void Delete(int index) = 0;
  virtual void Clear() = 0;

  std::string operator[](int index) const { return Get(index); }
  std::string Strings(int index) const { return Get(index); }
  int Add(const std::string& s);
  void AddStrings(const TStrings& other);
  int IndexOf(const std::string& s) const;  // case-insensitive (ASCII), -1 when absent
  // All lines, each followed by CR LF.
  std::string Text() const;
  // Splits at CR LF, LF or CR; a last line without a line break counts.
  void SetText(const std::string& text);
  // Replaces the contents with those of another TStrings.
  void Assign(const TPersistent* source) override;
  void Assign(const std::vector<std::string>& lines);

protected:
  [[noreturn]] static void IndexError(int index);
};

// The string list that keeps its strings itself. OnChange fires after every change.
class TStringList : public TStrings {
public:
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }

  int Count() const override { return static_cast<int>(FList.size()); }
  std::string Get(int index) const override;
  void Put(int index, const std::string& s) override;
  void Insert(int index, const std::string& s) override;
  void Delete(int index) override;
  void Clear() override;
  const std::vector<std::string>& Lines() const { return FList; }

  std::function<void(TObject* Sender)> OnChange;

private:
  void Changed();
  std::vector<std::string> FList;
};

}  // namespace zf
