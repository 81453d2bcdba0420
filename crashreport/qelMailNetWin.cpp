// Winsock 1.1 behind the mail seams, the DNS servers from the registry or the
// IP helper library, the computer name and the clock.
#include <winsock.h>
#include <windows.h>
#include <iptypes.h>

#include <memory>
#include <vector>

#include "qelExceptProcess.h"
#include "qelMailNet.h"
#include "qelStrings.h"
#include "qelTools.h"

namespace qel {

namespace {

class TSocketHolder {
public:
  explicit TSocketHolder(SOCKET s = INVALID_SOCKET) : Socket_(s) {}
  ~TSocketHolder() { Reset(); }
  TSocketHolder(const TSocketHolder&) = delete;
  TSocketHolder& operator=(const TSocketHolder&) = delete;
  SOCKET Get() const { return Socket_; }
  SOCKET Release() {
    const SOCKET s = Socket_;
    Socket_ = INVALID_SOCKET;
    return s;
  }
  void Reset(SOCKET s = INVALID_SOCKET) {
    if (Socket_ != INVALID_SOCKET) closesocket(Socket_);
    Socket_ = s;
  }

private:
  SOCKET Socket_;
};

struct TModuleFree {
  void operator()(HMODULE m) const { FreeLibrary(m); }
};
using TModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, TModuleFree>;

bool ResolveHost(const std::string& host, uint32_t& address) {
  if (host.empty()) return false;
  const unsigned long dotted = inet_addr(host.c_str());
  if (dotted != INADDR_NONE) {
    address = ntohl(dotted);
    return true;
  }
  const hostent* h = gethostbyname(host.c_str());
  if (h == nullptr || h->h_addrtype != AF_INET || h->h_addr_list == nullptr || h->h_addr_list[0] == nullptr) return false;
  u_long a;
  memcpy(&a, h->h_addr_list[0], sizeof a);
  address = ntohl(a);
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
int WaitReadable(SOCKET s, unsigned timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000 * 1000)};
  const int r = select(0, &set, nullptr, nullptr, &tv);
  return r == SOCKET_ERROR ? -1 : (r > 0 ? 1 : 0);
}

class TWinsockDnsTransport : public TDnsTransport {
public:
  bool Open() override {
    Socket_.Reset(socket(AF_INET, SOCK_DGRAM, 0));
    if (Socket_.Get() == INVALID_SOCKET) return false;
    const sockaddr_in any = SocketAddress(INADDR_ANY, 0);
    return bind(Socket_.Get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
  }
  bool Resolve(const std::string& host, uint32_t& address) override { return ResolveHost(host, address); }
  bool SendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t length) override {
    const sockaddr_in to = SocketAddress(address, port);
    return sendto(Socket_.Get(), reinterpret_cast<const char*>(data), static_cast<int>(length), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to) == static_cast<int>(length);
  }
  TReceive ReceiveFrom(uint8_t* buffer, size_t capacity, unsigned timeoutMs, size_t& received,
                       uint32_t& fromAddress, uint16_t& fromPort) override {
    const int w = WaitReadable(Socket_.Get(), timeoutMs);
    if (w == 0) return TReceive::Timeout;
    if (w < 0) return TReceive::Error;
    sockaddr_in from{};
    int fromLength = sizeof from;
    const int n = recvfrom(Socket_.Get(), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n == SOCKET_ERROR) return TReceive::Error;  // e.g. the port-unreachable report of a dead server
    received = static_cast<size_t>(n);
    fromAddress = ntohl(from.sin_addr.s_addr);
    fromPort = ntohs(from.sin_port);
    return TReceive::Datagram;
  }
  void Close() override { Socket_.Reset(); }

private:
  TSocketHolder Socket_;
};

class TWinsockMailSocket : public TMailSocket {
public:
  explicit TWinsockMailSocket(SOCKET s) : Socket_(s) {}
  bool Send(const char* data, size_t length) override {
    while (length > 0) {
      const int n = send(Socket_.Get(), data, static_cast<int>(length), 0);
      if (n == SOCKET_ERROR || n <= 0) return false;
      data += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }
  TReceive Receive(char* buffer, size_t capacity, unsigned timeoutMs, size_t& received) override {
    const int w = WaitReadable(Socket_.Get(), timeoutMs);
    if (w == 0) return TReceive::Timeout;
    if (w < 0) return TReceive::Error;
    const int n = recv(Socket_.Get(), buffer, static_cast<int>(capacity), 0);
    if (n == SOCKET_ERROR) return TReceive::Error;
    if (n == 0) return TReceive::Closed;
    received = static_cast<size_t>(n);
    return TReceive::Data;
  }

private:
  TSocketHolder Socket_;
};

using TGetNetworkParams = DWORD(WINAPI*)(PFIXED_INFO info, PULONG size);

std::vector<std::string> ServersOfIpHelper() {
  static constexpr TScrambledText kLibrary("IpHlpApi.dll");
  static constexpr TScrambledText kRoutine("GetNetworkParams");
  const TModule library(LoadLibraryA(kLibrary.Plain().c_str()));
  if (!library) return {};
  const auto getParams = reinterpret_cast<TGetNetworkParams>(
      reinterpret_cast<void*>(GetProcAddress(library.get(), kRoutine.Plain().c_str())));
  if (getParams == nullptr) return {};
  ULONG needed = 0;
  getParams(nullptr, &needed);
  if (needed == 0) return {};
  ULONG size = needed * 2;
  std::vector<uint8_t> buffer(size);
  auto* info = reinterpret_cast<FIXED_INFO*>(buffer.data());
  if (getParams(info, &size) != ERROR_SUCCESS) return {};
  std::vector<std::string> servers;
  const auto text = [](const IP_ADDR_STRING* a) {
    return std::string(a->IpAddress.String, strnlen(a->IpAddress.String, sizeof a->IpAddress.String));
  };
  if (info->CurrentDnsServer != nullptr && !text(info->CurrentDnsServer).empty())
    servers.push_back(text(info->CurrentDnsServer));
  for (const IP_ADDR_STRING* a = &info->DnsServerList; a != nullptr; a = a->Next) {
    const std::string s = text(a);
    if (!s.empty() && (servers.empty() || s != servers.front())) servers.push_back(s);
  }
  return servers;
}

}  // namespace

TSocketsInUse::TSocketsInUse() {
  WSADATA data;
  Ready_ = WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

TSocketsInUse::~TSocketsInUse() {
  if (Ready_) WSACleanup();
}

std::unique_ptr<TDnsTransport> NewDnsTransport() { return std::make_unique<TWinsockDnsTransport>(); }

std::unique_ptr<TMailSocket> ConnectMailSocket(const std::string& host, uint16_t port) {
  uint32_t address = 0;
  if (!ResolveHost(host, address)) return nullptr;
  TSocketHolder s(socket(AF_INET, SOCK_STREAM, 0));
  if (s.Get() == INVALID_SOCKET) return nullptr;
  const sockaddr_in to = SocketAddress(address, port);
  if (connect(s.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return nullptr;
  return std::make_unique<TWinsockMailSocket>(s.Release());
}

std::vector<std::string> FindNameServers() {
  // Windows 95 (also OSR2) and NT up to 4 keep their DNS servers in the registry only.
  const TOS os = OsInfo();
  if (os.Kind != osWin95 && os.Kind != osWin95OSR2 && os.Kind != osWinNT3 && os.Kind != osWinNT4)
    return ServersOfIpHelper();
  const std::string path = std::string("System\\CurrentControlSet\\Services\\") +
                           (os.Is9x ? "VxD\\MSTCP" : "Tcpip\\Parameters");
  std::string value = ReadRegString(HKEY_LOCAL_MACHINE, path, "DhcpNameServer");
  if (value.empty()) value = ReadRegString(HKEY_LOCAL_MACHINE, path, "NameServer");
  while (!value.empty() && value.back() == '\0') value.pop_back();
  return SplitNameServerValue(value);
}

std::string LocalHostName() {
  const std::string name = LocalComputerName();
  return name.empty() ? std::string("localhost") : name;
}

uint64_t SystemFileTime() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}

}  // namespace qel
