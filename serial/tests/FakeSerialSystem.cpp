#include "FakeSerialSystem.h"

#include <algorithm>
#include <cstring>

namespace serial::testing {

namespace {
constexpr TPortHandle kHandle = 0x77;

class TFakeWindow final : public INotifyWindow {
public:
  explicit TFakeWindow(TFakeSerialSystem& s) : FS(s) {}
  bool SetTimer(uint32_t id, uint32_t periodMs) override {
    FS.TimerRunning = true;
    FS.TimerPeriod = periodMs;
    FS.TimerLog.push_back("set " + std::to_string(id) + " " + std::to_string(periodMs));
    return true;
  }
  bool KillTimer(uint32_t id) override {
    FS.TimerRunning = false;
    FS.TimerLog.push_back("kill " + std::to_string(id));
    return true;
  }
  intptr_t DefWindowProc(const zf::TMessage&) override { return 42; }

private:
  TFakeSerialSystem& FS;
};
}  // namespace

TPortHandle TFakeSerialSystem::Open(const std::string& path) {
  LastOpened = path;
  auto it = Devices.find(path);
  if (it == Devices.end() || !it->second || OpenHandles > 0) return kInvalidPort;
  ++OpenHandles;
  return kHandle;
}

bool TFakeSerialSystem::Close(TPortHandle h) {
  if (h != kHandle || OpenHandles == 0) return false;
  --OpenHandles;
  return true;
}

bool TFakeSerialSystem::SetCommState(TPortHandle, const TDcb& dcb) {
  Dcbs.push_back(dcb);
  return !FailSetCommState;
}

bool TFakeSerialSystem::SetCommTimeouts(TPortHandle, const TCommTimeouts& t) {
  Timeouts.push_back(t);
  return true;
}

bool TFakeSerialSystem::SetupComm(TPortHandle, uint32_t in, uint32_t out) {
  SetupCalls.emplace_back(in, out);
  return !FailSetupComm;
}

bool TFakeSerialSystem::PurgeComm(TPortHandle, uint32_t flags) {
  Purges.push_back(flags);
  if (FailPurge) return false;
  if (flags & kPurgeRxClear) RxQueue.clear();
  return true;
}

bool TFakeSerialSystem::ClearCommError(TPortHandle, uint32_t& errors, TCommStat& stat) {
  if (FailClearCommError) return false;
  errors = 0;
  stat.cbInQue = static_cast<uint32_t>(RxQueue.size());
  stat.cbOutQue = ReportedOutQueue;
  return true;
}

bool TFakeSerialSystem::GetCommModemStatus(TPortHandle, uint32_t& status) {
  status = ModemStatus;
  return ModemStatusWorks;
}

bool TFakeSerialSystem::Read(TPortHandle, void* buf, uint32_t n, uint32_t& done) {
  ReadSizes.push_back(n);
  done = 0;
  if (FailRead) return false;
  uint32_t k = std::min<uint32_t>(n, static_cast<uint32_t>(RxQueue.size()));
  auto* out = static_cast<uint8_t*>(buf);
  for (uint32_t i = 0; i < k; ++i) {
    out[i] = RxQueue.front();
    RxQueue.pop_front();
  }
  done = k;
  return true;
}

bool TFakeSerialSystem::Write(TPortHandle, const void* buf, uint32_t n, uint32_t& done) {
  ++WriteCalls;
  done = std::min(n, WriteCapacity);
  const auto* in = static_cast<const uint8_t*>(buf);
  Sent.insert(Sent.end(), in, in + done);
  return true;
}

uint32_t TFakeSerialSystem::TickCount() {
  uint32_t t = Now;
  Now += TickStep;
  return t;
}

std::unique_ptr<INotifyWindow> TFakeSerialSystem::CreateNotifyWindow(std::function<void(zf::TMessage&)>) {
  WindowCreated = true;
  return std::make_unique<TFakeWindow>(*this);
}

}  // namespace serial::testing
