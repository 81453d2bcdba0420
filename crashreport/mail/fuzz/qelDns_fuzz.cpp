// DNS replies from the network: the parser must stay inside the message and
// end on every input (pointer loops included).
#include <cstddef>
#include <cstdint>
#include <string>

#include "qelDns.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > qel::DnsMaxMessage) size = qel::DnsMaxMessage;
  for (const uint16_t type : {qel::DnsTypeMX, qel::DnsTypeNS}) {
    qel::TDnsReply reply;
    if (qel::ParseDnsReply(data, size, qel::DnsQueryId, type, reply)) {
      for (const std::string& n : reply.Answers)
        if (n.size() > 254) __builtin_trap();
    }
  }
  if (size > 0) {
    size_t pos = data[0] % size;
    std::string name;
    if (qel::ReadDnsName(data, size, pos, name) && (pos > size || name.size() > 254)) __builtin_trap();
  }
  return 0;
}
