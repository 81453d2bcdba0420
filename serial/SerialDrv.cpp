#include "SerialDrv.h"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdio>

namespace serial {

const zf::TEnumInfo PortNumberInfo("TPortNumber",
    {"pnCustom", "pnCOM1", "pnCOM2", "pnCOM3", "pnCOM4", "pnCOM5", "pnCOM6", "pnCOM7", "pnCOM8",
     "pnCOM9", "pnCOM10", "pnCOM11", "pnCOM12", "pnCOM13", "pnCOM14", "pnCOM15", "pnCOM16"});
const zf::TEnumInfo BaudRateInfo("TBaudRate",
    {"brCustom", "br110", "br300", "br600", "br1200", "br2400", "br4800", "br9600", "br14400",
     "br19200", "br38400", "br56000", "br57600", "br115200", "br128000", "br256000"});
const zf::TEnumInfo DataBitsInfo("TDataBits", {"db5BITS", "db6BITS", "db7BITS", "db8BITS"});
const zf::TEnumInfo StopBitsInfo("TStopBits", {"sb1BITS", "sb1HALFBITS", "sb2BITS"});
const zf::TEnumInfo ParityInfo("TParity", {"ptNONE", "ptODD", "ptEVEN", "ptMARK", "ptSPACE"});
const zf::TEnumInfo HwFlowControlInfo("THwFlowControl", {"hfNONE", "hfNONERTSON", "hfRTSCTS"});
const zf::TEnumInfo SwFlowControlInfo("TSwFlowControl", {"sfNONE", "sfXONXOFF"});
const zf::TEnumInfo PacketModeInfo("TPacketMode", {"pmDiscard", "pmPass"});

uint32_t BaudRateToValue(TBaudRate rate) {
  static constexpr uint32_t kRates[] = {0,     110,   300,   600,    1200,   2400,   4800,  9600,
                                        14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  auto i = static_cast<size_t>(rate);
  return i < std::size(kRates) ? kRates[i] : 0;
}

TSerialDriver::TSerialDriver(zf::TComponent* owner) : TSerialDriver(owner, DefaultSerialSystem()) {}

TSerialDriver::TSerialDriver(zf::TComponent* owner, ISerialSystem& system)
    : TComponent(owner), FSystem(system), FInBuffer(FInBufSize, 0) {
  if (!ComponentState().Has(zf::csDesigning))
    FNotifyWnd = FSystem.CreateNotifyWindow([this](zf::TMessage& m) { PollWndProc(m); });
}

TSerialDriver::~TSerialDriver() {
  Disconnect();
  FNotifyWnd.reset();
}

const zf::TClassInfo& TSerialDriver::StaticClassInfo() {
  return zf::MakeClassInfo<TSerialDriver, zf::TComponent>("TSerialDriver", [](zf::TPublisher<TSerialDriver>& p) {
    p.Enum("Port", &TSerialDriver::SetPort, PortNumberInfo);
    p.String("PortName", &TSerialDriver::SetPortName);
    p.Enum("BaudRate", &TSerialDriver::SetBaudRate, BaudRateInfo);
    p.Integer("BaudRateValue", &TSerialDriver::SetBaudRateValue);
    p.Enum("DataBits", &TSerialDriver::SetDataBits, DataBitsInfo);
    p.Enum("StopBits", &TSerialDriver::SetStopBits, StopBitsInfo);
    p.Enum("Parity", &TSerialDriver::SetParity, ParityInfo);
    p.Enum("HwFlow", &TSerialDriver::SetHwFlow, HwFlowControlInfo);
    p.Enum("SwFlow", &TSerialDriver::SetSwFlow, SwFlowControlInfo);
    p.Integer("InBufSize", &TSerialDriver::SetInBufSize);
    p.Integer("OutBufSize", &TSerialDriver::SetOutBufSize);
    p.Integer("PacketSize", &TSerialDriver::SetPacketSize);
    p.Integer("PacketTimeout", &TSerialDriver::SetPacketTimeout);
    p.Enum("PacketMode", &TSerialDriver::SetPacketMode, PacketModeInfo);
    p.Event("OnReceiveData", &TSerialDriver::SetOnReceiveData);
    p.Event("OnReceivePacket", &TSerialDriver::SetOnReceivePacket);
    p.Integer("PollingDelay", &TSerialDriver::SetPollingDelay);
    p.Boolean("EnableDTROnOpen", &TSerialDriver::SetEnableDTROnOpen);
    p.Integer("OutputTimeout", &TSerialDriver::SetOutputTimeout);
    p.Integer("InputTimeout", &TSerialDriver::SetInputTimeout);
    p.Boolean("CheckLineStatus", &TSerialDriver::SetCheckLineStatus);
    p.Creatable();
  });
}

// --- properties -------------------------------------------------------------

void TSerialDriver::ApplyIfConnected() {
  if (Connected()) ApplySettings();
}

void TSerialDriver::SetPort(TPortNumber v) {
  if (Connected()) return;
  FPort = v;
  if (v != TPortNumber::pnCustom) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\COM%d", static_cast<int>(v));
    FPortName = path;
  }
}

void TSerialDriver::SetPortName(const std::string& v) {
  if (Connected()) return;
  FPort = TPortNumber::pnCustom;
  FPortName = v;
}

void TSerialDriver::SetBaudRate(TBaudRate v) {
  FBaudRate = v;
  if (v != TBaudRate::brCustom) FBaudRateValue = BaudRateToValue(v);
  ApplyIfConnected();
}

void TSerialDriver::SetBaudRateValue(uint32_t v) {
  FBaudRate = TBaudRate::brCustom;
  FBaudRateValue = v;
  ApplyIfConnected();
}

void TSerialDriver::SetDataBits(TDataBits v) { FDataBits = v; ApplyIfConnected(); }
void TSerialDriver::SetStopBits(TStopBits v) { FStopBits = v; ApplyIfConnected(); }
void TSerialDriver::SetParity(TParity v) { FParity = v; ApplyIfConnected(); }
void TSerialDriver::SetHwFlow(THwFlowControl v) { FHwFlow = v; ApplyIfConnected(); }
void TSerialDriver::SetSwFlow(TSwFlowControl v) { FSwFlow = v; ApplyIfConnected(); }

void TSerialDriver::SetInBufSize(uint32_t v) {
  if (Connected()) return;
  FInBufSize = std::clamp(v, kMinBuf, kMaxBuf);
  FInBuffer.assign(FInBufSize, 0);
  FInBuffer.shrink_to_fit();
  // Keeps the buffer at least as large as a packet.
  SetPacketSize(FPacketSize);
}

void TSerialDriver::SetOutBufSize(uint32_t v) {
  if (Connected()) return;
  FOutBufSize = std::clamp(v, kMinBuf, kMaxBuf);
}

void TSerialDriver::SetPacketSize(int32_t v) {
  if (v <= 0) {
    FPacketSize = -1;
    return;
  }
  // No packet can be larger than the largest receive buffer.
  FPacketSize = static_cast<int16_t>(std::min<int32_t>(v, kMaxBuf));
  if (static_cast<uint32_t>(FPacketSize) > FInBufSize) SetInBufSize(static_cast<uint32_t>(FPacketSize));
}

void TSerialDriver::SetPacketTimeout(int32_t v) {
  if (v < 1) {
    FPacketTimeout = -1;
    return;
  }
  if (v < FPollingDelay) v = FPollingDelay + FPollingDelay * 40 / 100;
  FPacketTimeout = v;
}

void TSerialDriver::SetPollingDelay(uint32_t v) {
  uint16_t d = static_cast<uint16_t>(std::clamp<uint32_t>(v, 5, 0xFFFF));
  if (d == FPollingDelay) return;
  if (Connected() && FNotifyWnd) {
    FNotifyWnd->KillTimer(1);
    FPollingDelay = d;
    FNotifyWnd->SetTimer(1, FPollingDelay);
  } else {
    FPollingDelay = d;
  }
  SetPacketTimeout(FPacketTimeout);
}

// --- port -------------------------------------------------------------------

bool TSerialDriver::Connect() {
  if (Connected()) return true;
  FHandle = FSystem.Open(FPortName);
  if (FHandle == kInvalidPort) return false;
  if (!ApplySettings()) {
    Disconnect();
    return false;
  }
  TCommTimeouts t;
  t.ReadIntervalTimeout = 1;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = 1;
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = 10;
  FSystem.SetCommTimeouts(FHandle, t);
  if (FNotifyWnd) FNotifyWnd->SetTimer(1, FPollingDelay);
  return true;
}

void TSerialDriver::Disconnect() {
  if (!Connected()) return;
  if (FNotifyWnd) FNotifyWnd->KillTimer(1);
  FSystem.Close(FHandle);
  FHandle = kInvalidPort;
}

bool TSerialDriver::ApplySettings() {
  if (!Connected()) return false;
  TDcb dcb;
  dcb.DCBlength = sizeof(TDcb);
  dcb.BaudRate = FBaudRateValue;
  uint32_t flags = kDcbBinary;
  if (FEnableDTROnOpen) flags |= kDcbDtrControlEnable;
  switch (FHwFlow) {
    case THwFlowControl::hfNONE: break;
    case THwFlowControl::hfNONERTSON: flags |= kDcbRtsControlEnable; break;
    case THwFlowControl::hfRTSCTS: flags |= kDcbOutxCtsFlow | kDcbRtsControlHandshake; break;
  }
  if (FSwFlow == TSwFlowControl::sfXONXOFF) flags |= kDcbOutX | kDcbInX;
  dcb.Flags = flags;
  dcb.XonLim = static_cast<uint16_t>(FInBufSize / 4);
  dcb.XoffLim = dcb.XonLim;
  dcb.ByteSize = static_cast<uint8_t>(static_cast<unsigned>(FDataBits) + 5);
  dcb.Parity = static_cast<uint8_t>(FParity);
  dcb.StopBits = static_cast<uint8_t>(FStopBits);
  dcb.XonChar = 17;
  dcb.XoffChar = 19;
  if (!FSystem.SetCommState(FHandle, dcb)) return false;
  if (!PurgeBuffers(true, true)) return false;
  return FSystem.SetupComm(FHandle, FInBufSize, FOutBufSize);
}

bool TSerialDriver::PurgeBuffers(bool input, bool output) {
  if (!Connected()) return false;
  uint32_t flags = 0;
  if (input) flags |= kPurgeRxAbort | kPurgeRxClear;
  if (output) flags |= kPurgeTxAbort | kPurgeTxClear;
  bool ok = FSystem.PurgeComm(FHandle, flags);
  if (ok) FFirstByteTime = kNoTime;
  return ok;
}

uint32_t TSerialDriver::PacketTransferTime(TBaudRate BaudRate, uint32_t n) const {
  // A custom rate is the one in force.
  uint32_t rate = BaudRate == TBaudRate::brCustom ? FBaudRateValue : BaudRateToValue(BaudRate);
  if (rate == 0) return 0;
  double ms = static_cast<double>(n) / (static_cast<double>(rate) / 10.0) * 1000.0;
  // Ties to even, as the rounding of the default floating-point mode does.
  return static_cast<uint32_t>(std::nearbyint(ms));
}

// --- receiving --------------------------------------------------------------

void TSerialDriver::PollWndProc(zf::TMessage& Message) {
  if (Message.Msg != zf::WM_TIMER_MSG || !Connected()) {
    Message.Result = FNotifyWnd ? FNotifyWnd->DefWindowProc(Message) : 0;
    return;
  }
  if (FPollingPaused > 0) return;
  uint32_t errors = 0;
  TCommStat stat;
  if (!FSystem.ClearCommError(FHandle, errors, stat)) return;
  uint32_t queued = stat.cbInQue;
  if (FPacketSize < 1) {
    if (queued == 0) return;
    uint32_t n = std::min(queued, FInBufSize);
    uint32_t got = 0;
    if (FSystem.Read(FHandle, FInBuffer.data(), n, got) && got > 0 && FOnReceiveData) {
      got = std::min(got, n);
      FOnReceiveData(this, FInBuffer.data(), got);
    }
    return;
  }
  PollPackets(queued);
}

void TSerialDriver::PollPackets(uint32_t queued) {
  // A packet set larger than the buffer while connected is cut at the buffer.
  const uint32_t size = std::min<uint32_t>(static_cast<uint32_t>(FPacketSize), FInBufSize);
  if (queued < size) {
    if (FPacketTimeout > 0 && FFirstByteTime != kNoTime &&
        FSystem.TickCount() - FFirstByteTime > static_cast<uint32_t>(FPacketTimeout)) {
      uint32_t got = 0;
      if (FSystem.Read(FHandle, FInBuffer.data(), queued, got) && FPacketMode == TPacketMode::pmPass && got > 0 &&
          FOnReceivePacket) {
        FOnReceivePacket(this, FInBuffer.data(), std::min(got, queued));
      }
      FFirstByteTime = kNoTime;
      return;
    }
    if (queued > 0 && FFirstByteTime == kNoTime) FFirstByteTime = FSystem.TickCount();
    return;
  }
  while (queued >= size) {
    uint32_t got = 0;
    // A failed read leaves the bytes for a later tick.
    if (!FSystem.Read(FHandle, FInBuffer.data(), size, got) || got == 0) return;
    got = std::min(got, size);
    if (FOnReceivePacket) {
      FOnReceivePacket(this, FInBuffer.data(), got);
      if (!Connected()) return;  // the handler may disconnect
    }
    // The next packet's first byte is due one packet time later; with no
    // first-byte time known, the next tick takes its own.
    if (FFirstByteTime != kNoTime) FFirstByteTime += PacketTransferTime(FBaudRate, size);
    queued -= got;
    if (queued == 0) FFirstByteTime = kNoTime;
  }
}

}  // namespace serial
