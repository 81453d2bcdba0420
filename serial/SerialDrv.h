// TSerialDriver: a non-visual component that owns one serial port. It opens
// the device, writes the line settings, sends with a time-out without
// progress, and receives by polling on a timer of a hidden window, handing
// the bytes to its owner as they came or cut into fixed-size packets.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Classes.h"
#include "SerialSystem.h"

namespace serial {

enum class TPortNumber : uint8_t {
  pnCustom, pnCOM1, pnCOM2, pnCOM3, pnCOM4, pnCOM5, pnCOM6, pnCOM7, pnCOM8,
  pnCOM9, pnCOM10, pnCOM11, pnCOM12, pnCOM13, pnCOM14, pnCOM15, pnCOM16
};
enum class TBaudRate : uint8_t {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
  br19200, br38400, br56000, br57600, br115200, br128000, br256000
};
enum class TDataBits : uint8_t { db5BITS, db6BITS, db7BITS, db8BITS };
enum class TStopBits : uint8_t { sb1BITS, sb1HALFBITS, sb2BITS };
enum class TParity : uint8_t { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum class THwFlowControl : uint8_t { hfNONE, hfNONERTSON, hfRTSCTS };
enum class TSwFlowControl : uint8_t { sfNONE, sfXONXOFF };
enum class TPacketMode : uint8_t { pmDiscard, pmPass };

extern const zf::TEnumInfo PortNumberInfo;
extern const zf::TEnumInfo BaudRateInfo;
extern const zf::TEnumInfo DataBitsInfo;
extern const zf::TEnumInfo StopBitsInfo;
extern const zf::TEnumInfo ParityInfo;
extern const zf::TEnumInfo HwFlowControlInfo;
extern const zf::TEnumInfo SwFlowControlInfo;
extern const zf::TEnumInfo PacketModeInfo;

// Bits per second of a rate; 0 for brCustom.
uint32_t BaudRateToValue(TBaudRate rate);

enum class TModemLine : uint8_t { CTS, DSR, RING, RLSD };
struct TModemLineSet {
  uint8_t Bits = 0;
  bool Contains(TModemLine l) const { return Bits & (1u << static_cast<unsigned>(l)); }
  void Include(TModemLine l) { Bits = static_cast<uint8_t>(Bits | (1u << static_cast<unsigned>(l))); }
  bool Empty() const { return Bits == 0; }
};

using TReceiveDataEvent = std::function<void(zf::TObject* Sender, void* DataPtr, uint32_t DataSize)>;
using TReceivePacketEvent = std::function<void(zf::TObject* Sender, void* Packet, uint32_t DataSize)>;

class TSerialDriver : public zf::TComponent {
public:
  static constexpr uint32_t kNoTime = 0xFFFFFFFFu;
  static constexpr uint32_t kMinBuf = 128;
  static constexpr uint32_t kMaxBuf = 8192;

  explicit TSerialDriver(zf::TComponent* owner);
  TSerialDriver(zf::TComponent* owner, ISerialSystem& system);
  ~TSerialDriver() override;
  static const zf::TClassInfo& StaticClassInfo();
  const zf::TClassInfo& ClassInfo() const override { return StaticClassInfo(); }

  bool Connect();
  void Disconnect();
  bool Connected() const { return FHandle != kInvalidPort; }
  bool ApplySettings();
  bool PurgeBuffers(bool input, bool output);
  TModemLineSet LineStatus();
  uint16_t OutputFreeSpace();
  uint32_t SendDataTimeout(const void* DataPtr, uint32_t DataSize, uint32_t Timeout);
  uint32_t SendData(const void* DataPtr, uint32_t DataSize) { return SendDataTimeout(DataPtr, DataSize, FOutputTimeout); }
  bool SendString(const std::string& s);
  // The hidden window's procedure: every timer tick reads what waits.
  void PollWndProc(zf::TMessage& Message);
  // Milliseconds that n bytes take on the line at ten bit times per byte.
  uint32_t PacketTransferTime(TBaudRate BaudRate, uint32_t n) const;

  TPortNumber Port() const { return FPort; }
  void SetPort(TPortNumber v);
  const std::string& PortName() const { return FPortName; }
  void SetPortName(const std::string& v);
  TBaudRate BaudRate() const { return FBaudRate; }
  void SetBaudRate(TBaudRate v);
  uint32_t BaudRateValue() const { return FBaudRateValue; }
  void SetBaudRateValue(uint32_t v);
  TDataBits DataBits() const { return FDataBits; }
  void SetDataBits(TDataBits v);
  TStopBits StopBits() const { return FStopBits; }
  void SetStopBits(TStopBits v);
  TParity Parity() const { return FParity; }
  void SetParity(TParity v);
  THwFlowControl HwFlow() const { return FHwFlow; }
  void SetHwFlow(THwFlowControl v);
  TSwFlowControl SwFlow() const { return FSwFlow; }
  void SetSwFlow(TSwFlowControl v);
  uint32_t InBufSize() const { return FInBufSize; }
  void SetInBufSize(uint32_t v);
  uint32_t OutBufSize() const { return FOutBufSize; }
  void SetOutBufSize(uint32_t v);
  int16_t PacketSize() const { return FPacketSize; }
  void SetPacketSize(int32_t v);
  int32_t PacketTimeout() const { return FPacketTimeout; }
  void SetPacketTimeout(int32_t v);
  TPacketMode PacketMode() const { return FPacketMode; }
  void SetPacketMode(TPacketMode v) { FPacketMode = v; }
  uint16_t PollingDelay() const { return FPollingDelay; }
  void SetPollingDelay(uint32_t v);
  bool EnableDTROnOpen() const { return FEnableDTROnOpen; }
  void SetEnableDTROnOpen(bool v) { FEnableDTROnOpen = v; }
  uint16_t OutputTimeout() const { return FOutputTimeout; }
  void SetOutputTimeout(uint32_t v) { FOutputTimeout = static_cast<uint16_t>(v); }
  uint32_t InputTimeout() const { return FInputTimeout; }
  void SetInputTimeout(uint32_t v) { FInputTimeout = v; }
  bool CheckLineStatus() const { return FCheckLineStatus; }
  void SetCheckLineStatus(bool v) { FCheckLineStatus = v; }
  const TReceiveDataEvent& OnReceiveData() const { return FOnReceiveData; }
  void SetOnReceiveData(const TReceiveDataEvent& e) { FOnReceiveData = e; }
  const TReceivePacketEvent& OnReceivePacket() const { return FOnReceivePacket; }
  void SetOnReceivePacket(const TReceivePacketEvent& e) { FOnReceivePacket = e; }

  // Ticks do nothing while above zero; nothing in the component changes it.
  int32_t PollingPaused() const { return FPollingPaused; }
  void SetPollingPaused(int32_t v) { FPollingPaused = v; }
  uint32_t FirstByteTime() const { return FFirstByteTime; }
  const uint8_t* InBuffer() const { return FInBuffer.data(); }

private:
  void ApplyIfConnected();
  void PollPackets(uint32_t queued);

  ISerialSystem& FSystem;
  TPortHandle FHandle = kInvalidPort;
  TPortNumber FPort = TPortNumber::pnCOM2;
  std::string FPortName = "\\\\.\\COM2";
  TBaudRate FBaudRate = TBaudRate::br9600;
  uint32_t FBaudRateValue = 9600;
  TDataBits FDataBits = TDataBits::db8BITS;
  TStopBits FStopBits = TStopBits::sb1BITS;
  TParity FParity = TParity::ptNONE;
  THwFlowControl FHwFlow = THwFlowControl::hfNONERTSON;
  TSwFlowControl FSwFlow = TSwFlowControl::sfNONE;
  uint32_t FInBufSize = 2048;
  uint32_t FOutBufSize = 2048;
  int16_t FPacketSize = -1;
  int32_t FPacketTimeout = -1;
  TPacketMode FPacketMode = TPacketMode::pmDiscard;
  TReceiveDataEvent FOnReceiveData;
  TReceivePacketEvent FOnReceivePacket;
  uint16_t FPollingDelay = 50;
  bool FEnableDTROnOpen = true;
  uint16_t FOutputTimeout = 500;
  uint32_t FInputTimeout = 200;
  bool FCheckLineStatus = false;
  std::unique_ptr<INotifyWindow> FNotifyWnd;
  std::vector<uint8_t> FInBuffer;
  uint32_t FFirstByteTime = kNoTime;
  int32_t FPollingPaused = 0;
};

}  // namespace serial
