// POSIX sockets behind the mail seams, for host tests.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "qelMailNet.h"

namespace qel {

namespace {

class TFd {
public:
  explicit TFd(int fd = -1) : Fd_(fd) {}
  ~TFd() { Reset(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return Fd_; }
  int Release() {
    const int fd = Fd_;
    Fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (Fd_ >= 0) ::close(Fd_);
    Fd_ = fd;
  }

private:
  int Fd_;
};

bool ResolveHost(const std::string& host, uint32_t& address) {
  in_addr a{};
  if (::inet_pton(AF_INET, host.c_str(), &a) == 1) {
    address = ntohl(a.s_addr);
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) return false;
  address = ntohl(reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(list);
  return true;
}

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

// 1: readable, 0: time-out, -1: error.
int WaitReadable(int fd, unsigned timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  const int r = ::poll(&p, 1, static_cast<int>(timeoutMs));
  return r < 0 ? -1 : r;
}

class TPosixDnsTransport : public TDnsTransport {
public:
  bool Open() override {
    Socket_.Reset(::socket(AF_INET, SOCK_DGRAM, 0));
    if (Socket_.Get() < 0) return false;
    const sockaddr_in any = SocketAddress(INADDR_ANY, 0);
    return ::bind(Socket_.Get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
  }
  bool Resolve(const std::string& host, uint32_t& address) override { return ResolveHost(host, address); }
  bool SendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t length) override {
    const sockaddr_in to = SocketAddress(address, port);
    return ::sendto(Socket_.Get(), data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(length);
  }
  TReceive ReceiveFrom(uint8_t* buffer, size_t capacity, unsigned timeoutMs, size_t& received,
                       uint32_t& fromAddress, uint16_t& fromPort) override {
    const int w = WaitReadable(Socket_.Get(), timeoutMs);
    if (w == 0) return TReceive::Timeout;
    if (w < 0) return TReceive::Error;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n =
        ::recvfrom(Socket_.Get(), buffer, capacity, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) return TReceive::Error;
    received = static_cast<size_t>(n);
    fromAddress = ntohl(from.sin_addr.s_addr);
    fromPort = ntohs(from.sin_port);
    return TReceive::Datagram;
  }
  void Close() override { Socket_.Reset(); }

private:
  TFd Socket_;
};

class TPosixMailSocket : public TMailSocket {
public:
  explicit TPosixMailSocket(int fd) : Socket_(fd) {}
  bool Send(const char* data, size_t length) override {
    while (length > 0) {
      const ssize_t n = ::send(Socket_.Get(), data, length, MSG_NOSIGNAL);
      if (n <= 0) return false;
      data += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }
  TReceive Receive(char* buffer, size_t capacity, unsigned timeoutMs, size_t& received) override {
    const int w = WaitReadable(Socket_.Get(), timeoutMs);
    if (w == 0) return TReceive::Timeout;
    if (w < 0) return TReceive::Error;
    const ssize_t n = ::recv(Socket_.Get(), buffer, capacity, 0);
    if (n < 0) return TReceive::Error;
    if (n == 0) return TReceive::Closed;
    received = static_cast<size_t>(n);
    return TReceive::Data;
  }

private:
  TFd Socket_;
};

}  // namespace

TSocketsInUse::TSocketsInUse() : Ready_(true) {}
TSocketsInUse::~TSocketsInUse() = default;

std::unique_ptr<TDnsTransport> NewDnsTransport() { return std::make_unique<TPosixDnsTransport>(); }

std::unique_ptr<TMailSocket> ConnectMailSocket(const std::string& host, uint16_t port) {
  uint32_t address = 0;
  if (host.empty() || !ResolveHost(host, address)) return nullptr;
  TFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  if (fd.Get() < 0) return nullptr;
  const sockaddr_in to = SocketAddress(address, port);
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return nullptr;
  return std::make_unique<TPosixMailSocket>(fd.Release());
}

std::vector<std::string> FindNameServers() {
  std::vector<std::string> servers;
  std::ifstream conf("/etc/resolv.conf");
  std::string line;
  while (std::getline(conf, line)) {
    std::istringstream words(line);
    std::string key, value;
    if (words >> key >> value && key == "nameserver") servers.push_back(value);
  }
  return servers;
}

std::string LocalHostName() {
  char name[256] = {};
  return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string("localhost");
}

uint64_t SystemFileTime() {
  const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
  const auto units = std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
  return static_cast<uint64_t>(units) + 116444736000000000ull;
}

}  // namespace qel
