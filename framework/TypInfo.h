// Run-time names of enumeration values: stored layouts name values, code uses ordinals.
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace zf {

class TEnumInfo {
public:
  TEnumInfo(std::string_view typeName, std::initializer_list<std::string_view> names)
      : FTypeName(typeName), FNames(names) {}
  std::string_view TypeName() const { return FTypeName; }
  int Count() const { return static_cast<int>(FNames.size()); }
  // "" for an ordinal outside the type.
  std::string_view NameOf(int ordinal) const {
    return ordinal >= 0 && ordinal < Count() ? FNames[static_cast<size_t>(ordinal)] : std::string_view();
  }
  // -1 for a name that is not a value of the type; names compare case-insensitively (ASCII).
  int ValueOf(std::string_view name) const;

private:
  std::string_view FTypeName;
  std::vector<std::string_view> FNames;
};

}  // namespace zf
