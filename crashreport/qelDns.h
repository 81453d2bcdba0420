// A minimal resolver for one purpose: the mail exchanger of a recipient's
// domain. Queries go over UDP to the machine's DNS servers or, when there are
// none, from the root servers through the referrals. The packet work is
// portable; the transport is a small seam (Winsock on Windows, POSIX sockets
// on the host) so the whole logic runs in host tests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qel {

inline constexpr uint16_t DnsTypeNS = 2;
inline constexpr uint16_t DnsTypeMX = 15;
inline constexpr uint16_t DnsQueryId = 1;
inline constexpr size_t DnsMaxMessage = 512;

// Query packet for `name` (dots between labels, an optional trailing dot).
// Empty when a label is empty or longer than 63 bytes or the name is longer
// than 253 bytes: such a name cannot be asked for.
std::vector<uint8_t> BuildDnsQuery(const std::string& name, uint16_t type, uint16_t id = DnsQueryId);

struct TDnsReply {
  std::vector<std::string> Answers;    // data names of the answer records of the asked type
  std::vector<std::string> Authority;  // NS data names of the authority records
};

// Reads one reply. False (and nothing found) when it is not an answer to our
// query: shorter than a header, another ID, not a response, a non-zero
// response code, a question that does not parse, or a record that runs past
// the message. Only records of the asked type are read as answers (a CNAME or
// SOA is never taken for an MX); authority records are read as NS only.
bool ParseDnsReply(const uint8_t* data, size_t length, uint16_t id, uint16_t type, TDnsReply& reply);

// Reads a (possibly compressed) name at `pos`. Every byte read lies below
// `length`; pointers must point backwards (so no loop can form) and at most
// 64 are followed; names longer than 255 bytes and label types 0x40..0xBF are
// rejected. On success `pos` is the position after the name as written there.
bool ReadDnsName(const uint8_t* data, size_t length, size_t& pos, std::string& name);

// "Name <user@mail.example.com>" -> "mail.example.com".
std::string MailDomain(const std::string& address);
// The last three labels of a domain; the domain itself when it has fewer.
std::string ShortDomain(const std::string& domain);
// A registry value of name servers: separated by "," when it holds one, else by blanks.
std::vector<std::string> SplitNameServerValue(const std::string& value);

// The datagram seam. Servers are IPv4 addresses in host byte order.
class TDnsTransport {
public:
  enum class TReceive { Datagram, Timeout, Error };
  virtual ~TDnsTransport() = default;
  // A UDP socket bound to any address and port 0.
  virtual bool Open() = 0;
  // A dotted address, else the first address of a host-name lookup.
  virtual bool Resolve(const std::string& host, uint32_t& address) = 0;
  virtual bool SendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t length) = 0;
  virtual TReceive ReceiveFrom(uint8_t* buffer, size_t capacity, unsigned timeoutMs, size_t& received,
                               uint32_t& fromAddress, uint16_t& fromPort) = 0;
  virtual void Close() = 0;
};

struct TDnsConfig {
  uint16_t Port = 53;
  unsigned ReplyTimeoutMs = 5000;  // per expected datagram
  // Where the walk starts when the machine has no DNS server.
  std::vector<std::string> RootServers = {"198.41.0.4", "199.9.14.201"};
};

// Sends one query to every server at once and takes the first reply that
// yields a name. Only replies from a server that was asked (port 53) count.
// Waiting is bounded by ReplyTimeoutMs per datagram sent, however many
// foreign datagrams arrive.
TDnsReply QueryDnsServers(TDnsTransport& transport, const TDnsConfig& config, const std::string& name,
                          const std::vector<std::string>& servers, uint16_t type);

// The mail exchanger of the address's domain: asked of `nameServers`, or by
// the walk from the root servers when that list is empty. Empty when none.
std::string FindMailExchanger(TDnsTransport& transport, const TDnsConfig& config, const std::string& address,
                              const std::vector<std::string>& nameServers);

}  // namespace qel
