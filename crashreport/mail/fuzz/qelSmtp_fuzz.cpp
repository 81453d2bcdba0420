// Server replies from the network, handed over in pieces of fuzzed sizes:
// reading must end, stay bounded and never read past what arrived. The data
// transparency of a fuzzed body is checked on the way.
#include <cstddef>
#include <cstdint>
#include <string>

#include "qelSmtp.h"

namespace {

class TFuzzSocket : public qel::TMailSocket {
public:
  TFuzzSocket(const uint8_t* data, size_t size) : Data_(data), Size_(size) {}
  bool Send(const char*, size_t) override { return true; }
  TReceive Receive(char* buffer, size_t capacity, unsigned, size_t& received) override {
    if (Pos_ >= Size_) return TReceive::Closed;
    size_t n = 1 + Data_[Pos_++] % 64;
    if (n > Size_ - Pos_) n = Size_ - Pos_;
    if (n > capacity) n = capacity;
    if (n == 0) return TReceive::Closed;
    for (size_t i = 0; i < n; ++i) buffer[i] = static_cast<char>(Data_[Pos_ + i]);
    Pos_ += n;
    received = n;
    return TReceive::Data;
  }

private:
  const uint8_t* Data_;
  size_t Size_;
  size_t Pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzSocket socket(data, size);
  qel::TSmtpReader reader{socket, 0, {}};
  bool auth = false;
  for (int i = 0; i < 8 && qel::SmtpReply(reader, "250", &auth); ++i) {
  }
  const std::string body(reinterpret_cast<const char*>(data), size);
  const std::string wire = qel::DataTransparent(body);
  // No line of the data may be a lone "." (it would end the mail), and no bare CR or LF is left.
  if (wire == "." || wire.find("\r\n.\r\n") != std::string::npos || wire.rfind(".\r\n", 0) == 0) __builtin_trap();
  for (size_t p = 0; p < wire.size(); ++p) {
    if (wire[p] == '\r' && (p + 1 >= wire.size() || wire[p + 1] != '\n')) __builtin_trap();
    if (wire[p] == '\n' && (p == 0 || wire[p - 1] != '\r')) __builtin_trap();
  }
  return 0;
}
