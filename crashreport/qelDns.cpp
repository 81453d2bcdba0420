// Mail-exchanger lookup: query packets, reply parsing, the server query round
// and the walk from the root servers.
#include "qelDns.h"

#include <chrono>

namespace qel {

namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxNameWire = 255;
constexpr int kMaxPointerJumps = 64;
constexpr int kMaxReferralRounds = 10;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void Put16(std::vector<uint8_t>& v, size_t pos, uint16_t value) {
  v[pos] = static_cast<uint8_t>(value >> 8);
  v[pos + 1] = static_cast<uint8_t>(value);
}

// Name read with the bytes in place bounded by `limit` (a record's end) and
// the bytes reached through pointers bounded by the message.
bool ReadNameBounded(const uint8_t* data, size_t length, size_t limit, size_t& pos, std::string& name) {
  name.clear();
  size_t p = pos;
  size_t bound = limit < length ? limit : length;
  size_t wire = 1;  // the final zero byte
  int jumps = 0;
  bool jumped = false;
  for (;;) {
    if (p >= bound) return false;
    const uint8_t n = data[p];
    if (n == 0) {
      if (!jumped) pos = p + 1;
      break;
    }
    if (n >= 0xC0) {
      if (p + 1 >= bound) return false;
      const size_t target = static_cast<size_t>(((n & 0x3F) << 8) | data[p + 1]);
      // Only backwards: every jump lands below the previous one, so no loop can form.
      if (target >= p || ++jumps > kMaxPointerJumps) return false;
      if (!jumped) pos = p + 2;
      jumped = true;
      p = target;
      bound = length;
      continue;
    }
    if (n >= 0x40) return false;  // extended and reserved label types
    wire += n + 1u;
    if (wire > kMaxNameWire || p + 1 + n > bound) return false;
    if (!name.empty()) name += '.';
    name.append(reinterpret_cast<const char*>(data + p + 1), n);
    p += 1 + n;
  }
  return true;
}

struct TRecord {
  uint16_t Type = 0;
  uint16_t Class = 0;
  size_t DataStart = 0;
  size_t DataEnd = 0;
};

bool ReadRecord(const uint8_t* data, size_t length, size_t& pos, TRecord& rec) {
  std::string owner;
  if (!ReadDnsName(data, length, pos, owner)) return false;
  if (length - pos < 10) return false;
  rec.Type = Get16(data + pos);
  rec.Class = Get16(data + pos + 2);
  const size_t dataLength = Get16(data + pos + 8);
  rec.DataStart = pos + 10;
  if (length - rec.DataStart < dataLength) return false;
  rec.DataEnd = rec.DataStart + dataLength;
  pos = rec.DataEnd;
  return true;
}

// The data name of an MX or NS record; false when the record is malformed.
bool RecordName(const uint8_t* data, size_t length, const TRecord& rec, std::string& name) {
  size_t start = rec.DataStart;
  if (rec.Type == DnsTypeMX) {
    if (rec.DataEnd - rec.DataStart < 3) return false;
    start += 2;  // preference: the first record wins, it is not compared
  }
  return ReadNameBounded(data, length, rec.DataEnd, start, name);
}

bool ReadSection(const uint8_t* data, size_t length, size_t& pos, unsigned count, uint16_t type,
                 std::vector<std::string>& names) {
  for (unsigned i = 0; i < count; ++i) {
    TRecord rec;
    if (!ReadRecord(data, length, pos, rec)) return false;
    if (rec.Type != type || rec.Class != 1) continue;
    std::string name;
    if (!RecordName(data, length, rec, name)) return false;
    if (!name.empty()) names.push_back(std::move(name));
  }
  return true;
}

bool IsUsable(const TDnsReply& reply) { return !reply.Answers.empty() || !reply.Authority.empty(); }

}  // namespace

std::vector<uint8_t> BuildDnsQuery(const std::string& name, uint16_t type, uint16_t id) {
  std::string n = name;
  if (!n.empty() && n.back() == '.') n.pop_back();
  if (n.empty() || n.size() > 253) return {};
  std::vector<uint8_t> q(kHeaderSize);
  Put16(q, 0, id);
  Put16(q, 2, 0x0100);  // standard query, recursion desired
  Put16(q, 4, 1);
  size_t start = 0;
  for (;;) {
    const size_t dot = n.find('.', start);
    const size_t end = dot == std::string::npos ? n.size() : dot;
    const size_t label = end - start;
    if (label == 0 || label > 63) return {};
    q.push_back(static_cast<uint8_t>(label));
    q.insert(q.end(), n.begin() + static_cast<std::ptrdiff_t>(start), n.begin() + static_cast<std::ptrdiff_t>(end));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  q.push_back(0);
  q.resize(q.size() + 4);
  Put16(q, q.size() - 4, type);
  Put16(q, q.size() - 2, 1);  // class IN
  return q;
}

bool ReadDnsName(const uint8_t* data, size_t length, size_t& pos, std::string& name) {
  return ReadNameBounded(data, length, length, pos, name);
}

bool ParseDnsReply(const uint8_t* data, size_t length, uint16_t id, uint16_t type, TDnsReply& reply) {
  reply = {};
  if (data == nullptr || length < kHeaderSize) return false;
  if (Get16(data) != id || (data[2] & 0x80) == 0 || (data[3] & 0x0F) != 0) return false;
  const unsigned questions = Get16(data + 4);
  const unsigned answers = Get16(data + 6);
  const unsigned authority = Get16(data + 8);
  size_t pos = kHeaderSize;
  for (unsigned i = 0; i < questions; ++i) {
    std::string qname;
    if (!ReadDnsName(data, length, pos, qname) || length - pos < 4) return false;
    pos += 4;
  }
  TDnsReply r;
  if (!ReadSection(data, length, pos, answers, type, r.Answers)) return false;
  if (type == DnsTypeNS && !ReadSection(data, length, pos, authority, DnsTypeNS, r.Authority)) return false;
  reply = std::move(r);
  return true;
}

std::string MailDomain(const std::string& address) {
  const size_t at = address.find('@');
  std::string domain = at == std::string::npos ? address : address.substr(at + 1);
  if (!domain.empty() && domain.back() == '>') domain.pop_back();
  return domain;
}

std::string ShortDomain(const std::string& domain) {
  int dots = 0;
  for (size_t i = domain.size(); i-- > 0;) {
    if (domain[i] == '.' && ++dots == 3) return domain.substr(i + 1);
  }
  return domain;
}

std::vector<std::string> SplitNameServerValue(const std::string& value) {
  const char sep = value.find(',') != std::string::npos ? ',' : ' ';
  std::vector<std::string> servers;
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find(sep, start);
    if (end == std::string::npos) end = value.size();
    std::string item = value.substr(start, end - start);
    const size_t first = item.find_first_not_of(" \t");
    if (first != std::string::npos) servers.push_back(item.substr(first, item.find_last_not_of(" \t") - first + 1));
    start = end + 1;
  }
  return servers;
}

TDnsReply QueryDnsServers(TDnsTransport& transport, const TDnsConfig& config, const std::string& name,
                          const std::vector<std::string>& servers, uint16_t type) {
  const std::vector<uint8_t> query = BuildDnsQuery(name, type);
  if (query.empty() || !transport.Open()) return {};
  std::vector<uint32_t> asked;
  for (const std::string& server : servers) {
    uint32_t address = 0;
    if (!transport.Resolve(server, address)) continue;
    if (transport.SendTo(address, config.Port, query.data(), query.size())) asked.push_back(address);
  }
  using TClock = std::chrono::steady_clock;
  const auto deadline = TClock::now() + std::chrono::milliseconds(uint64_t{config.ReplyTimeoutMs} * asked.size());
  size_t expected = asked.size();
  TDnsReply result;
  uint8_t buffer[DnsMaxMessage];
  while (expected > 0) {
    const auto now = TClock::now();
    if (now >= deadline) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    const unsigned wait = static_cast<unsigned>(left < config.ReplyTimeoutMs ? left : config.ReplyTimeoutMs);
    size_t received = 0;
    uint32_t from = 0;
    uint16_t fromPort = 0;
    const auto got = transport.ReceiveFrom(buffer, sizeof buffer, wait, received, from, fromPort);
    if (got == TDnsTransport::TReceive::Timeout) break;
    if (got == TDnsTransport::TReceive::Error) {
      // An error (e.g. a port-unreachable report) stands for one server's answer.
      --expected;
      continue;
    }
    bool fromAsked = fromPort == config.Port;
    if (fromAsked) {
      fromAsked = false;
      for (uint32_t a : asked) fromAsked = fromAsked || a == from;
    }
    if (!fromAsked) continue;  // not a reply to us: keep waiting, the deadline still holds
    TDnsReply reply;
    if (!ParseDnsReply(buffer, received, DnsQueryId, type, reply)) {
      if (received >= 2 && buffer[0] == (DnsQueryId >> 8) && buffer[1] == (DnsQueryId & 0xFF)) --expected;
      continue;
    }
    if (IsUsable(reply)) {
      result = std::move(reply);
      break;
    }
    --expected;
  }
  transport.Close();
  return result;
}

std::string FindMailExchanger(TDnsTransport& transport, const TDnsConfig& config, const std::string& address,
                              const std::vector<std::string>& nameServers) {
  const std::string domain = MailDomain(address);
  const std::string shortDomain = ShortDomain(domain);
  auto firstMx = [&](const std::vector<std::string>& servers) -> std::string {
    TDnsReply r = QueryDnsServers(transport, config, domain, servers, DnsTypeMX);
    if (r.Answers.empty() && shortDomain != domain) r = QueryDnsServers(transport, config, shortDomain, servers, DnsTypeMX);
    return r.Answers.empty() ? std::string() : r.Answers.front();
  };
  if (domain.empty()) return {};
  if (!nameServers.empty()) return firstMx(nameServers);

  TDnsReply root = QueryDnsServers(transport, config, shortDomain, config.RootServers, DnsTypeNS);
  if (root.Authority.empty()) return {};
  TDnsReply step = QueryDnsServers(transport, config, shortDomain, root.Authority, DnsTypeNS);
  std::vector<std::string> answers = step.Answers;
  std::vector<std::string> referral = step.Authority;
  std::vector<std::string> latestAuthority = !referral.empty() ? referral : root.Authority;
  for (int round = 0; round < kMaxReferralRounds && answers.empty() && !referral.empty(); ++round) {
    step = QueryDnsServers(transport, config, shortDomain, referral, DnsTypeNS);
    answers = step.Answers;
    referral = step.Authority;
    if (!referral.empty()) latestAuthority = referral;
  }
  if (answers.empty()) answers = latestAuthority;
  return firstMx(answers);
}

}  // namespace qel
