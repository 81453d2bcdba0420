// Real sockets inside the private network namespace of scripts/with-mailnet.sh:
// dnsmasq and aiosmtpd on loopback, and a scripted UDP responder here for
// hostile replies and the walk from the roots. Nothing leaves loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "DnsMessage.h"
#include "MailNamespace.h"
#include "qelMailNet.h"

using namespace qel;
using dnstest::TBytes;
namespace fs = std::filesystem;

namespace {

// UDP port 53 on some loopback addresses; each answers by a script keyed by the asked name.
class TUdpResponder {
public:
  using TScript = std::function<std::vector<TBytes>(const std::string& name, uint16_t type, uint16_t id)>;

  void Serve(const std::string& address, TScript script) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(53);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << address;
    Sockets_.push_back({fd, std::move(script)});
  }
  void Start() {
    Thread_ = std::thread([this] { Run(); });
  }
  ~TUdpResponder() {
    Stop_ = true;
    if (Thread_.joinable()) Thread_.join();
    for (auto& s : Sockets_) ::close(s.first);
  }

private:
  void Run() {
    while (!Stop_) {
      std::vector<pollfd> fds;
      for (auto& s : Sockets_) fds.push_back({s.first, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      for (size_t i = 0; i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        uint8_t buf[512];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fds[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        size_t pos = 12;
        std::string name;
        if (n < 12 || !ReadDnsName(buf, static_cast<size_t>(n), pos, name) || pos + 4 > static_cast<size_t>(n)) continue;
        const uint16_t type = static_cast<uint16_t>((buf[pos] << 8) | buf[pos + 1]);
        const uint16_t id = static_cast<uint16_t>((buf[0] << 8) | buf[1]);
        for (const TBytes& reply : Sockets_[i].second(name, type, id))
          ::sendto(fds[i].fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
      }
    }
  }
  std::vector<std::pair<int, TScript>> Sockets_;
  std::thread Thread_;
  std::atomic<bool> Stop_{false};
};

dnstest::TReply Reply(const std::string& question, uint16_t type, uint16_t id) {
  dnstest::TReply r;
  r.Question = question;
  r.QuestionType = type;
  r.Id = id;
  return r;
}

TBytes MxTo(const std::string& q, uint16_t id, const std::string& exchanger) {
  dnstest::TReply r = Reply(q, DnsTypeMX, id);
  r.Answers.push_back({dnstest::Pointer(12), DnsTypeMX, dnstest::MxData(dnstest::Name(exchanger))});
  return r.Bytes();
}

// Every hostile form the parser must survive; the name asked picks one.
std::vector<TBytes> Hostile(const std::string& name, uint16_t, uint16_t id) {
  TBytes good = MxTo(name, id, "mx.hostile.test");
  const size_t owner = 12 + dnstest::Name(name).size() + 4;
  const size_t data = owner + 2 + 10 + 2;
  if (name == "loop.test") good[data] = 0xC0, good[data + 1] = static_cast<uint8_t>(data);
  else if (name == "label.test") good[data] = 0x7F;
  else if (name == "trunc.test") good.resize(good.size() - 4);
  else if (name == "rcode.test") good[3] |= 3;
  else if (name == "wrongid.test") good[1] ^= 0x55;
  else if (name == "flood.test") return std::vector<TBytes>(200, TBytes(good.begin(), good.begin() + 5));
  return {good};
}

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

fs::path Spool() {
  const char* s = std::getenv("ZIVO_MAIL_SPOOL");
  return s ? fs::path(s) : fs::path();
}

size_t SpoolCount() {
  size_t n = 0;
  for (const auto& e : fs::directory_iterator(Spool()))
    if (e.is_directory()) ++n;
  return n;
}

class MailNet : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_FALSE(Spool().empty()) << "run through scripts/with-mailnet.sh";
    ASSERT_EQ(FindNameServers(), std::vector<std::string>{"127.0.0.53"}) << "resolv.conf of the namespace";
  }
};

}  // namespace

TEST_F(MailNet, ExchangerFromTheMachinesNameServer) {
  TDnsConfig config;
  EXPECT_EQ(FindMailExchanger(config, "x@a.mail.test"), "mx.a.mail.test");
  EXPECT_EQ(FindMailExchanger(config, "Bee <bee@b.mail.test>"), "mx.b.mail.test");
  // No MX for the full domain (four labels): its short domain's exchanger.
  EXPECT_EQ(FindMailExchanger(config, "y@sub.c.mail.test"), "mx.a.mail.test");
  EXPECT_EQ(FindMailExchanger(config, "z@nothing.test"), "");
}

TEST_F(MailNet, HostileRepliesGiveNothingInBoundedTime) {
  TUdpResponder responder;
  responder.Serve("127.0.0.60", Hostile);
  responder.Serve("127.0.0.61", [](const std::string& n, uint16_t, uint16_t id) { return std::vector<TBytes>{MxTo(n, id, "mx.good.test")}; });
  responder.Start();
  TDnsConfig config;
  config.ReplyTimeoutMs = 400;
  for (const char* name : {"loop.test", "label.test", "trunc.test", "rcode.test", "wrongid.test", "flood.test"}) {
    const std::unique_ptr<TDnsTransport> transport = NewDnsTransport();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(QueryDnsServers(*transport, config, name, {"127.0.0.60"}, DnsTypeMX).Answers.empty()) << name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << name;
  }
  // A failed reply of one server does not stop the wait for the others.
  const std::unique_ptr<TDnsTransport> transport = NewDnsTransport();
  EXPECT_EQ(QueryDnsServers(*transport, config, "rcode.test", {"127.0.0.60", "127.0.0.61"}, DnsTypeMX).Answers,
            std::vector<std::string>{"mx.good.test"});
}

TEST_F(MailNet, WalkFromConfiguredRoots) {
  TUdpResponder responder;
  const auto ns = [](const std::string& n, uint16_t id, std::vector<std::string> answers, std::vector<std::string> authority) {
    dnstest::TReply r = Reply(n, DnsTypeNS, id);
    for (const auto& a : answers) r.Answers.push_back({dnstest::Pointer(12), DnsTypeNS, dnstest::Name(a)});
    for (const auto& a : authority) r.Authority.push_back({dnstest::Pointer(12), DnsTypeNS, dnstest::Name(a)});
    return std::vector<TBytes>{r.Bytes()};
  };
  responder.Serve("127.0.0.62", [&](const std::string& n, uint16_t, uint16_t id) { return ns(n, id, {}, {"127.0.0.63"}); });
  responder.Serve("127.0.0.63", [&](const std::string& n, uint16_t, uint16_t id) { return ns(n, id, {"127.0.0.64"}, {}); });
  responder.Serve("127.0.0.64", [](const std::string& n, uint16_t type, uint16_t id) {
    return type == DnsTypeMX ? std::vector<TBytes>{MxTo(n, id, "mx.walk.test")} : std::vector<TBytes>{};
  });
  responder.Start();
  TDnsConfig config;
  config.RootServers = {"127.0.0.62"};
  config.ReplyTimeoutMs = 1000;
  EXPECT_EQ(FindMailExchanger(config, "a@walk.test", std::vector<std::string>{}), "mx.walk.test");
}

namespace {

fs::path TempFile(const std::string& name, const std::string& content) {
  const fs::path p = fs::temp_directory_path() / ("qelmail_net_" + std::to_string(::getpid())) / name;
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
  return p;
}

}  // namespace

TEST_F(MailNet, ThroughTheServerWithAuthLogin) {
  std::string binary;
  for (int i = 0; i < 4000; ++i) binary += static_cast<char>((i * 131) ^ (i >> 3));
  const fs::path shot = TempFile("screenShot.png", binary);
  const fs::path extra = TempFile("extra.log", std::string("two\r\nlines\r\n"));
  TSystemMailNetwork net;
  TSmtpMail mail = mailns::ServerMail("qelExcept <reporter@app.test>", "dev@example.test;Bee <bee@example.test>",
                                      "Lunsel.exe: Acesso inv\xE1lido",
                                      "date/time          : 2026-12-09\r\n.\r\n..two dots\r\nexception message  : boom\r\n");
  mail.Attachments = shot.string() + "|" + extra.string();
  const size_t before = SpoolCount();
  ASSERT_TRUE(SendSmtpMail(net, mail));
  ASSERT_EQ(SpoolCount(), before + 1);
  const fs::path got = Spool() / std::to_string(before + 1);
  const std::string meta = ReadFile(got / "meta.txt");
  EXPECT_NE(meta.find("server 127.0.0.27:587\nlogin reporter\nfrom reporter@app.test\n"
                      "rcpt dev@example.test\nrcpt bee@example.test\n"), std::string::npos) << meta;
  EXPECT_EQ(ReadFile(got / "subject.txt"), mail.Subject);
  EXPECT_EQ(ReadFile(got / "body.txt"), mail.Body);
  EXPECT_EQ(ReadFile(got / "attachments" / "screenShot.png"), binary);
  EXPECT_EQ(ReadFile(got / "attachments" / "extra.log"), "two\r\nlines\r\n");

  mail.Password = "wrong";
  EXPECT_FALSE(SendSmtpMail(net, mail));
  EXPECT_EQ(SpoolCount(), before + 1);
  fs::remove_all(shot.parent_path());
}

TEST_F(MailNet, DirectToEachExchangerOneSessionPerRecipient) {
  TSystemMailNetwork net;
  TSmtpMail mail;
  mail.Recipients = "one@a.mail.test, Two <two@b.mail.test>, three@nothing.test";
  mail.Subject = "bug report";
  mail.Body = "report\r\n";
  const size_t before = SpoolCount();
  ASSERT_TRUE(SendSmtpMail(net, mail));
  ASSERT_EQ(SpoolCount(), before + 2);
  const std::string first = ReadFile(Spool() / std::to_string(before + 1) / "meta.txt");
  const std::string second = ReadFile(Spool() / std::to_string(before + 2) / "meta.txt");
  EXPECT_NE(first.find("server 127.0.0.25:25\nlogin \nfrom one@a.mail.test\nrcpt one@a.mail.test\n"), std::string::npos) << first;
  EXPECT_NE(second.find("server 127.0.0.26:25\nlogin \nfrom two@b.mail.test\nrcpt two@b.mail.test\nto Two <two@b.mail.test>"),
            std::string::npos) << second;
}
