// The parts of the machine's mail side that are the same everywhere.
#include "qelMailNet.h"

namespace qel {

std::string FindMailExchanger(const TDnsConfig& config, const std::string& address,
                              const std::optional<std::vector<std::string>>& nameServers) {
  const TSocketsInUse sockets;
  if (!sockets.Ready()) return {};
  const std::unique_ptr<TDnsTransport> transport = NewDnsTransport();
  return FindMailExchanger(*transport, config, address, nameServers ? *nameServers : FindNameServers());
}

}  // namespace qel
