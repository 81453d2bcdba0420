// The machine's side of mail: sockets (Winsock 1.1 in the programs, POSIX on
// the host), the DNS server list, the host name and the clock.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qelDns.h"
#include "qelSmtp.h"

namespace qel {

// Sockets are usable while one lives (WSAStartup 1.1 / WSACleanup on Windows).
class TSocketsInUse {
public:
  TSocketsInUse();
  ~TSocketsInUse();
  TSocketsInUse(const TSocketsInUse&) = delete;
  TSocketsInUse& operator=(const TSocketsInUse&) = delete;
  bool Ready() const { return Ready_; }

private:
  bool Ready_ = false;
};

std::unique_ptr<TDnsTransport> NewDnsTransport();
std::unique_ptr<TMailSocket> ConnectMailSocket(const std::string& host, uint16_t port);
// The machine's DNS servers: on Windows 95 and NT up to 4 from the registry,
// elsewhere from the IP helper library; on the host from resolv.conf.
std::vector<std::string> FindNameServers();
std::string LocalHostName();
uint64_t SystemFileTime();

// The mail exchanger of the address's domain as the machine finds it.
std::string FindMailExchanger(const TDnsConfig& config, const std::string& address,
                              const std::optional<std::vector<std::string>>& nameServers = std::nullopt);

// TMailNetwork over the machine's sockets. `NameServers`, when set, stands
// in for the machine's list (an empty one forces the walk from the roots).
class TSystemMailNetwork : public TMailNetwork {
public:
  TSocketsInUse Sockets;
  TDnsConfig Dns;
  std::optional<std::vector<std::string>> NameServers;

  std::unique_ptr<TMailSocket> Connect(const std::string& host, uint16_t port) override {
    return ConnectMailSocket(host, port);
  }
  std::string MailExchanger(const std::string& recipient) override {
    return FindMailExchanger(Dns, recipient, NameServers);
  }
  std::string ComputerName() override { return LocalHostName(); }
  uint64_t FileTimeNow() override { return SystemFileTime(); }
};

}  // namespace qel
