#include "TypInfo.h"

#include "TextCase.h"

namespace zf {

int TEnumInfo::ValueOf(std::string_view name) const {
  for (size_t i = 0; i < FNames.size(); ++i)
    if (SameTextAscii(FNames[i], name)) return static_cast<int>(i);
  return -1;
}

}  // namespace zf
