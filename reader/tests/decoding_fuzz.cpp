// Received bytes of any kind through the reader's whole decoding: the only
// failure allowed is the conversion error.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Recepcao.h"
#include "SysUtils.h"

namespace {

struct TNoLists : reader::IFrameLists {
  size_t lines = 0;
  void ClearLists() override {}
  void AddReceived(const std::string& l) override { lines += l.size(); }
  void AddDecoded(const std::string& l) override { lines += l.size(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::string buffer;  // lasts from one input to the next, as between receive events
  TNoLists lists;
  // The first byte splits the input into two chunks and picks the separator.
  const size_t cut = size > 0 ? data[0] % (size + 1) : 0;
  const char sep = size > 0 && (data[0] & 1) ? '.' : ',';
  for (const auto& [p, n] : {std::pair{data, cut}, std::pair{data + cut, size - cut}}) {
    try {
      reader::Receive_Chunk(buffer, p, n, sep, lists);
    } catch (const zf::EConvertError&) {
      if (!buffer.empty()) __builtin_trap();
    }
    if (buffer.size() >= 13) __builtin_trap();
  }
  return 0;
}
