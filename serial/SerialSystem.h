// The operating-system calls the serial component makes (device, line
// settings, queues, tick count, the hidden window with its timer). The
// Windows build uses kernel32 and user32; tests put a fake in their place.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Messages.h"

namespace serial {

// The device control block exactly as the driver takes it: 28 bytes.
struct TDcb {
  uint32_t DCBlength = 0;
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;  // fBinary is bit 0; see the kDcb* masks
  uint16_t wReserved = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 0;
  uint8_t Parity = 0;
  uint8_t StopBits = 0;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  uint16_t wReserved1 = 0;
};
static_assert(sizeof(TDcb) == 28, "the driver's DCB is 28 bytes");

constexpr uint32_t kDcbBinary = 0x1;
constexpr uint32_t kDcbParity = 0x2;
constexpr uint32_t kDcbOutxCtsFlow = 0x4;
constexpr uint32_t kDcbOutxDsrFlow = 0x8;
constexpr uint32_t kDcbDtrControlEnable = 0x10;
constexpr uint32_t kDcbDtrControlMask = 0x30;
constexpr uint32_t kDcbOutX = 0x100;
constexpr uint32_t kDcbInX = 0x200;
constexpr uint32_t kDcbRtsControlEnable = 0x1000;
constexpr uint32_t kDcbRtsControlHandshake = 0x2000;
constexpr uint32_t kDcbRtsControlMask = 0x3000;

struct TCommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

struct TCommStat {
  uint32_t Flags = 0;
  uint32_t cbInQue = 0;
  uint32_t cbOutQue = 0;
};

constexpr uint32_t kPurgeTxAbort = 0x1;
constexpr uint32_t kPurgeRxAbort = 0x2;
constexpr uint32_t kPurgeTxClear = 0x4;
constexpr uint32_t kPurgeRxClear = 0x8;

constexpr uint32_t kMsCtsOn = 0x10;
constexpr uint32_t kMsDsrOn = 0x20;
constexpr uint32_t kMsRingOn = 0x40;
constexpr uint32_t kMsRlsdOn = 0x80;

using TPortHandle = intptr_t;
constexpr TPortHandle kInvalidPort = -1;

// A hidden window of the creating thread whose messages go to a handler.
class INotifyWindow {
public:
  virtual ~INotifyWindow() = default;
  virtual bool SetTimer(uint32_t id, uint32_t periodMs) = 0;
  virtual bool KillTimer(uint32_t id) = 0;
  virtual intptr_t DefWindowProc(const zf::TMessage& m) = 0;
};

class ISerialSystem {
public:
  virtual ~ISerialSystem() = default;
  // Opens the device for reading and writing, exclusively; kInvalidPort on failure.
  virtual TPortHandle Open(const std::string& path) = 0;
  virtual bool Close(TPortHandle h) = 0;
  virtual bool SetCommState(TPortHandle h, const TDcb& dcb) = 0;
  virtual bool SetCommTimeouts(TPortHandle h, const TCommTimeouts& t) = 0;
  virtual bool SetupComm(TPortHandle h, uint32_t inQueue, uint32_t outQueue) = 0;
  virtual bool PurgeComm(TPortHandle h, uint32_t flags) = 0;
  virtual bool ClearCommError(TPortHandle h, uint32_t& errors, TCommStat& stat) = 0;
  virtual bool GetCommModemStatus(TPortHandle h, uint32_t& status) = 0;
  virtual bool Read(TPortHandle h, void* buf, uint32_t n, uint32_t& done) = 0;
  virtual bool Write(TPortHandle h, const void* buf, uint32_t n, uint32_t& done) = 0;
  virtual uint32_t TickCount() = 0;
  virtual std::unique_ptr<INotifyWindow> CreateNotifyWindow(std::function<void(zf::TMessage&)> handler) = 0;
};

// The system the component uses unless it is given one: kernel32/user32 on
// Windows; elsewhere a system on which no port opens.
ISerialSystem& DefaultSerialSystem();

}  // namespace serial
