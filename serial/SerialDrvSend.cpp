// The sending half of the serial component, in an object of its own: a
// program that only receives links none of it.
#include <algorithm>

#include "SerialDrv.h"

namespace serial {

TModemLineSet TSerialDriver::LineStatus() {
  TModemLineSet s;
  uint32_t status = 0;
  if (!Connected() || !FSystem.GetCommModemStatus(FHandle, status)) return s;
  if (status & kMsCtsOn) s.Include(TModemLine::CTS);
  if (status & kMsDsrOn) s.Include(TModemLine::DSR);
  if (status & kMsRingOn) s.Include(TModemLine::RING);
  if (status & kMsRlsdOn) s.Include(TModemLine::RLSD);
  return s;
}

uint16_t TSerialDriver::OutputFreeSpace() {
  if (!Connected()) return 65535;
  uint32_t errors = 0;
  TCommStat stat;  // zeroed: some drivers leave cbOutQue unset
  if (!FSystem.ClearCommError(FHandle, errors, stat)) return 0;
  // A queue figure beyond the buffer is no room, never a wrapped-around one.
  if (stat.cbOutQue >= FOutBufSize) return 0;
  return static_cast<uint16_t>(FOutBufSize - stat.cbOutQue);
}

uint32_t TSerialDriver::SendDataTimeout(const void* DataPtr, uint32_t DataSize, uint32_t Timeout) {
  uint32_t written = 0;
  if (!Connected()) return 0;
  const auto* pos = static_cast<const uint8_t*>(DataPtr);
  uint32_t remaining = DataSize;
  uint32_t last = FSystem.TickCount();
  while (remaining > 0) {
    uint32_t free = OutputFreeSpace();
    bool progressed = false;
    if (free > 0) {
      if (FCheckLineStatus && LineStatus().Empty()) return written;
      uint32_t chunk = std::min(free, remaining);
      uint32_t count = 0;
      FSystem.Write(FHandle, pos, chunk, count);
      if (count > 0) {
        count = std::min(count, chunk);
        written += count;
        pos += count;
        remaining -= count;
        last = FSystem.TickCount();
        progressed = true;
      }
    }
    if (!progressed && FSystem.TickCount() - last > Timeout) return written;
  }
  return written;
}

bool TSerialDriver::SendString(const std::string& s) {
  if (s.empty()) return true;
  return SendData(s.data(), static_cast<uint32_t>(s.size())) == s.size();
}

}  // namespace serial
