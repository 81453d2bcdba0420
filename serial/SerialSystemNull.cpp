// Off Windows there are no serial devices: nothing opens. Tests give the
// component a system of their own.
#ifndef _WIN32
#include <chrono>

#include "SerialSystem.h"

namespace serial {
namespace {
class TNullSystem final : public ISerialSystem {
public:
  TPortHandle Open(const std::string&) override { return kInvalidPort; }
  bool Close(TPortHandle) override { return false; }
  bool SetCommState(TPortHandle, const TDcb&) override { return false; }
  bool SetCommTimeouts(TPortHandle, const TCommTimeouts&) override { return false; }
  bool SetupComm(TPortHandle, uint32_t, uint32_t) override { return false; }
  bool PurgeComm(TPortHandle, uint32_t) override { return false; }
  bool ClearCommError(TPortHandle, uint32_t&, TCommStat&) override { return false; }
  bool GetCommModemStatus(TPortHandle, uint32_t&) override { return false; }
  bool Read(TPortHandle, void*, uint32_t, uint32_t& done) override { done = 0; return false; }
  bool Write(TPortHandle, const void*, uint32_t, uint32_t& done) override { done = 0; return false; }
  uint32_t TickCount() override {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
  }
  std::unique_ptr<INotifyWindow> CreateNotifyWindow(std::function<void(zf::TMessage&)>) override { return nullptr; }
};
}  // namespace

ISerialSystem& DefaultSerialSystem() {
  static TNullSystem s;
  return s;
}
}  // namespace serial
#endif
