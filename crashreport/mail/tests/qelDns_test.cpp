// Query packets, reply parsing (well-formed and hostile), and the query round
// and root walk over a scripted in-memory transport: nothing here touches a network.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <map>

#include "DnsMessage.h"
#include "qelDns.h"

using namespace qel;
using dnstest::TBytes;

namespace {

TDnsReply Parse(const TBytes& b, uint16_t type = DnsTypeMX) {
  TDnsReply r;
  r.Answers.push_back("stale");
  ParseDnsReply(b.data(), b.size(), DnsQueryId, type, r);
  return r;
}

dnstest::TReply MxReply(const std::string& exchanger) {
  dnstest::TReply r;
  r.Answers.push_back({dnstest::Pointer(dnstest::kQuestionOffset), DnsTypeMX, dnstest::MxData(dnstest::Name(exchanger))});
  return r;
}

}  // namespace

TEST(DnsQuery, Layout) {
  const TBytes q = BuildDnsQuery("mail.example.com", DnsTypeMX);
  const TBytes expected = {0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 4, 'm', 'a', 'i', 'l', 7, 'e', 'x', 'a', 'm', 'p',
                           'l', 'e', 3, 'c', 'o', 'm', 0, 0, 15, 0, 1};
  EXPECT_EQ(q, expected);
  EXPECT_EQ(q.size(), std::string("mail.example.com").size() + 1 + 17);
  EXPECT_EQ(BuildDnsQuery("mail.example.com.", DnsTypeMX), expected);
  const TBytes ns = BuildDnsQuery("example.com", DnsTypeNS);
  EXPECT_EQ(ns[ns.size() - 3], DnsTypeNS);
}

TEST(DnsQuery, NamesThatCannotBeAsked) {
  const std::string label63(63, 'a');
  std::string long253;
  while (long253.size() < 253) long253 += (long253.empty() ? "" : ".") + std::string(61, 'b');
  long253.resize(253);
  EXPECT_FALSE(BuildDnsQuery(label63 + ".com", DnsTypeMX).empty());
  EXPECT_FALSE(BuildDnsQuery(long253, DnsTypeMX).empty());
  for (const std::string& bad : {std::string(), std::string("."), std::string("a..b"), std::string(".a"),
                                 label63 + "a.com", long253 + "c"}) {
    EXPECT_TRUE(BuildDnsQuery(bad, DnsTypeMX).empty()) << bad;
  }
}

TEST(DnsReply, CompressedNamesAreExpanded) {
  dnstest::TReply r;
  // mx1.<question> written as a label and a pointer, mx2 as a pointer to mx1's data name.
  TBytes mx1 = {3, 'm', 'x', '1'};
  const TBytes back = dnstest::Pointer(dnstest::kQuestionOffset);
  mx1.insert(mx1.end(), back.begin(), back.end());
  r.Answers.push_back({back, DnsTypeMX, dnstest::MxData(mx1)});
  const uint16_t mx1Name = static_cast<uint16_t>(12 + 13 + 4 + 2 + 10 + 2);
  r.Answers.push_back({back, DnsTypeMX, dnstest::MxData(dnstest::Pointer(mx1Name), 20)});
  const TDnsReply p = Parse(r.Bytes());
  EXPECT_EQ(p.Answers, (std::vector<std::string>{"mx1.example.com", "mx1.example.com"}));
}

TEST(DnsReply, OnlyRecordsOfTheAskedTypeCount) {
  dnstest::TReply r;
  const TBytes back = dnstest::Pointer(dnstest::kQuestionOffset);
  r.Answers.push_back({back, 5, dnstest::Name("alias.example.net")});               // CNAME
  r.Answers.push_back({back, 6, dnstest::Name("ns.example.com") /* SOA-like */});  // SOA
  r.Answers.push_back({back, DnsTypeMX, dnstest::MxData(dnstest::Name("mx.example.net"))});
  r.Authority.push_back({back, DnsTypeNS, dnstest::Name("ns1.example.com")});
  EXPECT_EQ(Parse(r.Bytes()).Answers, std::vector<std::string>{"mx.example.net"});
  EXPECT_TRUE(Parse(r.Bytes()).Authority.empty());  // authority is read for NS queries only

  dnstest::TReply ns;
  ns.QuestionType = DnsTypeNS;
  ns.Authority.push_back({back, DnsTypeNS, dnstest::Name("a.gtld.test")});
  ns.Authority.push_back({back, 6, dnstest::Name("soa.gtld.test")});
  const TDnsReply p = Parse(ns.Bytes(), DnsTypeNS);
  EXPECT_TRUE(p.Answers.empty());
  EXPECT_EQ(p.Authority, std::vector<std::string>{"a.gtld.test"});
}

TEST(DnsReply, HostileRepliesGiveNothing) {
  const TBytes good = MxReply("mx.example.com").Bytes();
  ASSERT_EQ(Parse(good).Answers, std::vector<std::string>{"mx.example.com"});
  const size_t answerName = 12 + 13 + 4;       // owner of the answer record
  const size_t mxName = answerName + 2 + 10 + 2;  // data name after the preference

  struct TCase {
    const char* What;
    std::function<void(TBytes&)> Spoil;
  };
  const TCase cases[] = {
      {"shorter than a header", [](TBytes& b) { b.resize(11); }},
      {"empty", [](TBytes& b) { b.clear(); }},
      {"another identifier", [](TBytes& b) { b[1] = 2; }},
      {"not a response", [](TBytes& b) { b[2] &= 0x7F; }},
      {"name error", [](TBytes& b) { b[3] |= 3; }},
      {"server failure", [](TBytes& b) { b[3] |= 2; }},
      {"pointer to itself", [&](TBytes& b) { b[answerName] = 0xC0, b[answerName + 1] = static_cast<uint8_t>(answerName); }},
      {"pointer forwards", [&](TBytes& b) { b[answerName + 1] = static_cast<uint8_t>(mxName); }},
      {"pointer loop in data",
       [&](TBytes& b) { b[mxName] = 0xC0, b[mxName + 1] = static_cast<uint8_t>(mxName); }},
      {"pointer past the end", [&](TBytes& b) { b[answerName] = 0xFF, b[answerName + 1] = 0xFF; }},
      {"label type 0x40", [&](TBytes& b) { b[mxName] = 0x41; }},
      {"label type 0x80", [&](TBytes& b) { b[mxName] = 0x82; }},
      {"label longer than the data", [&](TBytes& b) { b[mxName] = 40; }},
      {"record cut off", [](TBytes& b) { b.resize(b.size() - 3); }},
      {"data length past the end", [&](TBytes& b) { b[mxName - 3] = 0xFF; }},
      {"MX data without a name", [&](TBytes& b) { b[mxName - 3] = 2; b.resize(mxName); }},
      {"question cut off", [](TBytes& b) { b.resize(20); }},
      {"more answers than present", [](TBytes& b) { b[7] = 2; }},
      {"question never ends", [](TBytes& b) { std::fill(b.begin() + 12, b.end(), 0x3F); }},
  };
  for (const TCase& c : cases) {
    TBytes b = good;
    c.Spoil(b);
    const TDnsReply p = Parse(b);
    EXPECT_TRUE(p.Answers.empty() && p.Authority.empty()) << c.What;
  }
}

TEST(DnsReply, NamesOver255BytesAreRefused) {
  // 5 labels of 63 bytes in the data, each within the record: 320 bytes of name.
  TBytes longName;
  for (int i = 0; i < 5; ++i) {
    longName.push_back(63);
    longName.insert(longName.end(), 63, 'x');
  }
  longName.push_back(0);
  dnstest::TReply r;
  r.Answers.push_back({dnstest::Pointer(dnstest::kQuestionOffset), DnsTypeMX, dnstest::MxData(longName)});
  EXPECT_TRUE(Parse(r.Bytes()).Answers.empty());
  longName.erase(longName.begin() + 3 * 64 + 62, longName.end() - 1);  // 63+63+63+61: 255 bytes on the wire
  longName[3 * 64] = 61;
  dnstest::TReply ok;
  ok.Answers.push_back({dnstest::Pointer(dnstest::kQuestionOffset), DnsTypeMX, dnstest::MxData(longName)});
  ASSERT_EQ(Parse(ok.Bytes()).Answers.size(), 1u);
  EXPECT_EQ(Parse(ok.Bytes()).Answers[0].size(), 3u * 63 + 61 + 3);
}

TEST(DnsText, DomainsAndServerLists) {
  const std::pair<std::string, std::string> domains[] = {
      {"user@example.com", "example.com"},
      {"Support Team <help@mail.example.com>", "mail.example.com"},
      {"<x@a.b.c.example.org>", "a.b.c.example.org"},
      {"no-at-sign", "no-at-sign"},
  };
  for (const auto& [address, domain] : domains) EXPECT_EQ(MailDomain(address), domain) << address;
  const std::pair<std::string, std::string> shorts[] = {
      {"a.b.example.com", "b.example.com"}, {"mail.example.com", "mail.example.com"},
      {"example.com", "example.com"},       {"x.y.z.example.co.uk", "example.co.uk"}};
  for (const auto& [domain, s] : shorts) EXPECT_EQ(ShortDomain(domain), s) << domain;

  using TList = std::vector<std::string>;
  EXPECT_EQ(SplitNameServerValue("10.0.0.1 10.0.0.2"), (TList{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(SplitNameServerValue("10.0.0.1,10.0.0.2"), (TList{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(SplitNameServerValue("10.0.0.1, 10.0.0.2 "), (TList{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(SplitNameServerValue(""), TList{});
}

namespace {

// DNS servers in memory: each answers a question with datagrams of its script.
class TScriptedDns : public TDnsTransport {
public:
  using TScript = std::function<std::vector<TBytes>(const std::string& name, uint16_t type)>;
  std::map<uint32_t, TScript> Servers;
  std::map<std::string, uint32_t> Hosts;
  std::vector<std::string> Log;  // "address type name" per query sent
  // Sent before every reading when set: datagrams that are not replies to us.
  std::function<bool(TBytes&, uint32_t&, uint16_t&)> Noise;

  static uint32_t Ip(int last) { return 0x0A000000u | static_cast<uint32_t>(last); }

  bool Open() override { return true; }
  bool Resolve(const std::string& host, uint32_t& address) override {
    const auto it = Hosts.find(host);
    if (it == Hosts.end()) return false;
    address = it->second;
    return true;
  }
  bool SendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t length) override {
    EXPECT_EQ(port, 53);
    size_t pos = 12;
    std::string name;
    EXPECT_TRUE(ReadDnsName(data, length, pos, name));
    const uint16_t type = static_cast<uint16_t>((data[pos] << 8) | data[pos + 1]);
    Log.push_back(std::to_string(address & 0xFF) + " " + std::to_string(type) + " " + name);
    const auto it = Servers.find(address);
    if (it != Servers.end())
      for (TBytes& d : it->second(name, type)) Pending.push_back({std::move(d), address});
    return true;
  }
  TReceive ReceiveFrom(uint8_t* buffer, size_t capacity, unsigned, size_t& received, uint32_t& from,
                       uint16_t& fromPort) override {
    TBytes d;
    fromPort = 53;
    if (Noise && Noise(d, from, fromPort)) {
    } else if (!Pending.empty()) {
      d = std::move(Pending.front().first);
      from = Pending.front().second;
      Pending.pop_front();
    } else {
      return TReceive::Timeout;
    }
    received = std::min(d.size(), capacity);
    std::copy(d.begin(), d.begin() + static_cast<long>(received), buffer);
    return TReceive::Datagram;
  }
  void Close() override { Pending.clear(); }

private:
  std::deque<std::pair<TBytes, uint32_t>> Pending;
};

TBytes NsReply(const std::string& question, const std::vector<std::string>& answers,
               const std::vector<std::string>& authority) {
  dnstest::TReply r;
  r.Question = question;
  r.QuestionType = DnsTypeNS;
  for (const auto& a : answers) r.Answers.push_back({dnstest::Pointer(12), DnsTypeNS, dnstest::Name(a)});
  for (const auto& a : authority) r.Authority.push_back({dnstest::Pointer(12), DnsTypeNS, dnstest::Name(a)});
  return r.Bytes();
}

TBytes Mx(const std::string& question, const std::string& exchanger) {
  dnstest::TReply r = MxReply(exchanger);
  r.Question = question;
  return r.Bytes();
}

}  // namespace

TEST(DnsQueryRound, FirstUsableReplyWinsAndForeignDatagramsAreIgnored) {
  TScriptedDns dns;
  dns.Hosts = {{"10.0.0.1", TScriptedDns::Ip(1)}, {"10.0.0.2", TScriptedDns::Ip(2)}, {"ns.example", TScriptedDns::Ip(3)}};
  dns.Servers[TScriptedDns::Ip(1)] = [](const std::string& n, uint16_t) {
    dnstest::TReply failed = MxReply("wrong.example");
    failed.Question = n;
    failed.Flags |= 2;  // server failure, with an answer that must not be read
    dnstest::TReply foreignId = MxReply("forged.example");
    foreignId.Id = 0x4242;
    return std::vector<TBytes>{failed.Bytes(), foreignId.Bytes()};
  };
  dns.Servers[TScriptedDns::Ip(3)] = [](const std::string& n, uint16_t) { return std::vector<TBytes>{Mx(n, "mx.example.com")}; };
  TDnsConfig config;
  const TDnsReply r = QueryDnsServers(dns, config, "example.com", {"10.0.0.1", "unknown.host", "ns.example"}, DnsTypeMX);
  EXPECT_EQ(r.Answers, std::vector<std::string>{"mx.example.com"});
  EXPECT_EQ(dns.Log, (std::vector<std::string>{"1 15 example.com", "3 15 example.com"}));

  // A reply from an address we did not ask is not taken.
  TScriptedDns spoofed;
  spoofed.Hosts = {{"10.0.0.1", TScriptedDns::Ip(1)}};
  spoofed.Servers[TScriptedDns::Ip(1)] = [](const std::string&, uint16_t) { return std::vector<TBytes>{}; };
  bool once = true;
  spoofed.Noise = [&](TBytes& d, uint32_t& from, uint16_t&) {
    if (!once) return false;
    once = false;
    d = Mx("example.com", "spoofed.example");
    from = TScriptedDns::Ip(9);
    return true;
  };
  EXPECT_TRUE(QueryDnsServers(spoofed, config, "example.com", {"10.0.0.1"}, DnsTypeMX).Answers.empty());
}

TEST(DnsQueryRound, EndlessForeignDatagramsCannotHoldItOpen) {
  TScriptedDns dns;
  dns.Hosts = {{"10.0.0.1", TScriptedDns::Ip(1)}};
  dns.Noise = [](TBytes& d, uint32_t& from, uint16_t&) {
    dnstest::TReply r = MxReply("noise.example");
    r.Id = 77;
    d = r.Bytes();
    from = TScriptedDns::Ip(1);
    return true;
  };
  TDnsConfig config;
  config.ReplyTimeoutMs = 200;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(QueryDnsServers(dns, config, "example.com", {"10.0.0.1"}, DnsTypeMX).Answers.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(DnsLookup, ShortDomainIsAskedWhenTheFullOneHasNoExchanger) {
  TScriptedDns dns;
  dns.Hosts = {{"10.0.0.1", TScriptedDns::Ip(1)}};
  dns.Servers[TScriptedDns::Ip(1)] = [](const std::string& n, uint16_t) {
    if (n == "b.example.com") return std::vector<TBytes>{Mx(n, "mx.b.example.com")};
    dnstest::TReply empty;
    empty.Question = n;
    return std::vector<TBytes>{empty.Bytes()};
  };
  TDnsConfig config;
  EXPECT_EQ(FindMailExchanger(dns, config, "Me <me@host.a.b.example.com>", {"10.0.0.1"}), "mx.b.example.com");
  EXPECT_EQ(dns.Log, (std::vector<std::string>{"1 15 host.a.b.example.com", "1 15 b.example.com"}));
  dns.Log.clear();
  EXPECT_EQ(FindMailExchanger(dns, config, "me@example.com", {"10.0.0.1"}), "");
  EXPECT_EQ(dns.Log, std::vector<std::string>{"1 15 example.com"});  // its own short domain: asked once
}

TEST(DnsLookup, WalkFromTheRootsThroughReferrals) {
  TScriptedDns dns;
  dns.Hosts = {{"10.0.0.1", TScriptedDns::Ip(1)}, {"tld.ns", TScriptedDns::Ip(2)}, {"ns.example.com", TScriptedDns::Ip(3)},
               {"sub.ns", TScriptedDns::Ip(4)}};
  dns.Servers[TScriptedDns::Ip(1)] = [](const std::string& n, uint16_t) { return std::vector<TBytes>{NsReply(n, {}, {"tld.ns"})}; };
  dns.Servers[TScriptedDns::Ip(2)] = [](const std::string& n, uint16_t) { return std::vector<TBytes>{NsReply(n, {}, {"sub.ns"})}; };
  dns.Servers[TScriptedDns::Ip(4)] = [](const std::string& n, uint16_t) {
    return std::vector<TBytes>{NsReply(n, {"ns.example.com"}, {})};
  };
  dns.Servers[TScriptedDns::Ip(3)] = [](const std::string& n, uint16_t type) {
    return type == DnsTypeMX && n == "mail.example.com" ? std::vector<TBytes>{Mx(n, "mx.example.com")} : std::vector<TBytes>{};
  };
  TDnsConfig config;
  config.RootServers = {"10.0.0.1"};
  EXPECT_EQ(FindMailExchanger(dns, config, "x@mail.example.com", {}), "mx.example.com");
  EXPECT_EQ(dns.Log, (std::vector<std::string>{"1 2 mail.example.com", "2 2 mail.example.com", "4 2 mail.example.com",
                                               "3 15 mail.example.com"}));

  // Roots that give no referral end the walk at once.
  TScriptedDns silent;
  silent.Hosts = {{"10.0.0.1", TScriptedDns::Ip(1)}};
  EXPECT_EQ(FindMailExchanger(silent, config, "x@mail.example.com", {}), "");
  EXPECT_EQ(silent.Log.size(), 1u);
}

TEST(DnsLookup, EndlessReferralsStopAfterTenRounds) {
  TScriptedDns dns;
  dns.Hosts = {{"10.0.0.1", TScriptedDns::Ip(1)}, {"loop.ns", TScriptedDns::Ip(2)}};
  for (int i : {1, 2})
    dns.Servers[TScriptedDns::Ip(i)] = [](const std::string& n, uint16_t type) {
      return type == DnsTypeNS ? std::vector<TBytes>{NsReply(n, {}, {"loop.ns"})} : std::vector<TBytes>{};
    };
  TDnsConfig config;
  config.RootServers = {"10.0.0.1"};
  EXPECT_EQ(FindMailExchanger(dns, config, "x@example.com", {}), "");
  // root, the first step, ten rounds, then the MX query at the last referral.
  EXPECT_EQ(dns.Log.size(), 1u + 1u + 10u + 1u);
  EXPECT_EQ(dns.Log.back(), "2 15 example.com");
}
