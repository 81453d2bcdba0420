// The reporter's parsers of system-provided bytes: process-information
// records, a module image's import directory and stored type names. The first
// byte picks the parser; the rest is its input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "qelExceptProcessCore.h"
#include "qelExceptThreadsCore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* input = data + 1;
  const size_t length = size - 1;
  switch (data[0] % 3) {
    case 0:
      for (const auto* layout : {&qel::kProcessInfoNt4, &qel::kProcessInfo32, &qel::kProcessInfo64})
        (void)qel::ParseProcessThreadIds(input, length, length > 0 ? input[0] : 0, *layout);
      break;
    case 1: {
      const uint64_t function = length >= 4 ? static_cast<uint64_t>(input[0]) | static_cast<uint64_t>(input[1]) << 8 |
                                                  static_cast<uint64_t>(input[2]) << 16 |
                                                  static_cast<uint64_t>(input[3]) << 24
                                            : 0;
      (void)qel::FindImportSlots(input, length, function);
      break;
    }
    default: {
      const std::string text(reinterpret_cast<const char*>(input), length);
      (void)qel::ClassNameOfTypeName(text.c_str(), text.size() + 1);
      (void)qel::ClassNameOfTypeName(reinterpret_cast<const char*>(input), length);
      break;
    }
  }
  return 0;
}
