// A scripted serial system: one device whose queues, clock and failures the
// test controls, and a notify window that records its timer.
#pragma once
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "SerialSystem.h"

namespace serial::testing {

class TFakeSerialSystem : public ISerialSystem {
public:
  // Device paths that open; anything else fails as a missing device.
  std::map<std::string, bool> Devices{{"\\\\.\\COM2", true}};
  bool FailSetCommState = false;
  bool FailPurge = false;
  bool FailSetupComm = false;
  bool FailRead = false;
  bool FailClearCommError = false;
  bool ModemStatusWorks = true;
  uint32_t ModemStatus = 0;
  // cbOutQue as the driver reports it (a driver may report more than the queue).
  uint32_t ReportedOutQueue = 0;
  // Bytes one Write call accepts; 0 stalls the line.
  uint32_t WriteCapacity = 0xFFFFFFFF;
  // Milliseconds the clock moves on every TickCount call (a busy loop sees time pass).
  uint32_t TickStep = 0;
  uint32_t Now = 1000;

  std::deque<uint8_t> RxQueue;
  std::vector<uint8_t> Sent;
  std::vector<TDcb> Dcbs;
  std::vector<uint32_t> Purges;
  std::vector<std::pair<uint32_t, uint32_t>> SetupCalls;
  std::vector<TCommTimeouts> Timeouts;
  std::vector<uint32_t> ReadSizes;
  int OpenHandles = 0;
  int WriteCalls = 0;
  std::string LastOpened;

  // The notify window's state.
  bool WindowCreated = false;
  bool TimerRunning = false;
  uint32_t TimerPeriod = 0;
  std::vector<std::string> TimerLog;

  TPortHandle Open(const std::string& path) override;
  bool Close(TPortHandle h) override;
  bool SetCommState(TPortHandle, const TDcb& dcb) override;
  bool SetCommTimeouts(TPortHandle, const TCommTimeouts& t) override;
  bool SetupComm(TPortHandle, uint32_t in, uint32_t out) override;
  bool PurgeComm(TPortHandle, uint32_t flags) override;
  bool ClearCommError(TPortHandle, uint32_t& errors, TCommStat& stat) override;
  bool GetCommModemStatus(TPortHandle, uint32_t& status) override;
  bool Read(TPortHandle, void* buf, uint32_t n, uint32_t& done) override;
  bool Write(TPortHandle, const void* buf, uint32_t n, uint32_t& done) override;
  uint32_t TickCount() override;
  std::unique_ptr<INotifyWindow> CreateNotifyWindow(std::function<void(zf::TMessage&)> handler) override;

  void Queue(const std::vector<uint8_t>& bytes) { RxQueue.insert(RxQueue.end(), bytes.begin(), bytes.end()); }
};

}  // namespace serial::testing
