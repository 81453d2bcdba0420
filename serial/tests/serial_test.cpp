#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <numeric>

#include "FakeSerialSystem.h"
#include "SerialDrv.h"

using namespace serial;
using serial::testing::TFakeSerialSystem;

namespace {

struct Rig {
  TFakeSerialSystem sys;
  zf::TComponent owner{nullptr};
  TSerialDriver* drv = zf::MakeOwned<TSerialDriver>(&owner, sys);
  std::vector<std::vector<uint8_t>> data, packets;

  Rig() {
    drv->SetOnReceiveData([this](zf::TObject* s, void* p, uint32_t n) {
      EXPECT_EQ(s, drv);
      auto* b = static_cast<uint8_t*>(p);
      data.emplace_back(b, b + n);
    });
    drv->SetOnReceivePacket([this](zf::TObject*, void* p, uint32_t n) {
      auto* b = static_cast<uint8_t*>(p);
      packets.emplace_back(b, b + n);
    });
  }
  void Tick() {
    zf::TMessage m{zf::WM_TIMER_MSG, 1, 0, 0};
    drv->PollWndProc(m);
  }
};

std::vector<uint8_t> Bytes(size_t n, uint8_t start = 0) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), start);
  return v;
}

TEST(SerialDriver, NewComponentDefaults) {
  Rig r;
  TSerialDriver& d = *r.drv;
  EXPECT_EQ(d.Port(), TPortNumber::pnCOM2);
  EXPECT_EQ(d.PortName(), "\\\\.\\COM2");
  EXPECT_EQ(d.BaudRate(), TBaudRate::br9600);
  EXPECT_EQ(d.BaudRateValue(), 9600u);
  EXPECT_EQ(d.DataBits(), TDataBits::db8BITS);
  EXPECT_EQ(d.StopBits(), TStopBits::sb1BITS);
  EXPECT_EQ(d.Parity(), TParity::ptNONE);
  EXPECT_EQ(d.HwFlow(), THwFlowControl::hfNONERTSON);
  EXPECT_EQ(d.SwFlow(), TSwFlowControl::sfNONE);
  EXPECT_EQ(d.InBufSize(), 2048u);
  EXPECT_EQ(d.OutBufSize(), 2048u);
  EXPECT_EQ(d.PacketSize(), -1);
  EXPECT_EQ(d.PacketTimeout(), -1);
  EXPECT_EQ(d.PacketMode(), TPacketMode::pmDiscard);
  EXPECT_EQ(d.PollingDelay(), 50);
  EXPECT_TRUE(d.EnableDTROnOpen());
  EXPECT_EQ(d.OutputTimeout(), 500);
  EXPECT_EQ(d.InputTimeout(), 200u);
  EXPECT_FALSE(d.CheckLineStatus());
  EXPECT_FALSE(d.Connected());
  EXPECT_EQ(d.FirstByteTime(), TSerialDriver::kNoTime);
  EXPECT_TRUE(r.sys.WindowCreated);
  EXPECT_EQ(std::count(d.InBuffer(), d.InBuffer() + 2048, 0), 2048);
}

TEST(SerialDriver, NoHiddenWindowWhileDesigning) {
  TFakeSerialSystem sys;
  zf::TComponent form(nullptr);
  form.SetDesigning(true);
  zf::MakeOwned<TSerialDriver>(&form, sys);
  EXPECT_FALSE(sys.WindowCreated);
}

// Each case: steps applied to a new component, then the state checked.
struct SetterCase {
  const char* name;
  std::function<void(TSerialDriver&)> steps;
  std::function<void(const TSerialDriver&)> check;
};

TEST(SerialDriver, SetterRules) {
  const SetterCase cases[] = {
      {"PortName makes the port custom",
       [](auto& d) { d.SetPortName("\\\\.\\COM3"); },
       [](auto& d) { EXPECT_EQ(d.Port(), TPortNumber::pnCustom); EXPECT_EQ(d.PortName(), "\\\\.\\COM3"); }},
      {"pnCustom keeps the name",
       [](auto& d) { d.SetPortName("\\\\.\\COM3"); d.SetPort(TPortNumber::pnCustom); },
       [](auto& d) { EXPECT_EQ(d.PortName(), "\\\\.\\COM3"); }},
      {"a port number gives its path",
       [](auto& d) { d.SetPort(TPortNumber::pnCOM7); },
       [](auto& d) { EXPECT_EQ(d.PortName(), "\\\\.\\COM7"); }},
      {"two-digit port",
       [](auto& d) { d.SetPort(TPortNumber::pnCOM12); },
       [](auto& d) { EXPECT_EQ(d.PortName(), "\\\\.\\COM12"); }},
      {"rate value makes the rate custom",
       [](auto& d) { d.SetBaudRateValue(4800); },
       [](auto& d) { EXPECT_EQ(d.BaudRate(), TBaudRate::brCustom); EXPECT_EQ(d.BaudRateValue(), 4800u); }},
      {"a rate gives its value",
       [](auto& d) { d.SetBaudRateValue(4800); d.SetBaudRate(TBaudRate::br19200); },
       [](auto& d) { EXPECT_EQ(d.BaudRateValue(), 19200u); }},
      {"brCustom keeps the value",
       [](auto& d) { d.SetBaudRateValue(31250); d.SetBaudRate(TBaudRate::brCustom); },
       [](auto& d) { EXPECT_EQ(d.BaudRateValue(), 31250u); }},
      {"InBufSize low clamp",
       [](auto& d) { d.SetInBufSize(50); },
       [](auto& d) { EXPECT_EQ(d.InBufSize(), 128u); }},
      {"InBufSize high clamp",
       [](auto& d) { d.SetInBufSize(100000); },
       [](auto& d) { EXPECT_EQ(d.InBufSize(), 8192u); }},
      {"OutBufSize clamps",
       [](auto& d) { d.SetOutBufSize(1); },
       [](auto& d) { EXPECT_EQ(d.OutBufSize(), 128u); }},
      {"PollingDelay floor",
       [](auto& d) { d.SetPollingDelay(2); },
       [](auto& d) { EXPECT_EQ(d.PollingDelay(), 5); }},
      {"PacketTimeout below the polling delay",
       [](auto& d) { d.SetPacketTimeout(30); },
       [](auto& d) { EXPECT_EQ(d.PacketTimeout(), 70); }},
      {"PacketTimeout above the polling delay",
       [](auto& d) { d.SetPacketTimeout(1000); },
       [](auto& d) { EXPECT_EQ(d.PacketTimeout(), 1000); }},
      {"PacketTimeout zero is none",
       [](auto& d) { d.SetPacketTimeout(1000); d.SetPacketTimeout(0); },
       [](auto& d) { EXPECT_EQ(d.PacketTimeout(), -1); }},
      {"a new polling delay sets the time-out again",
       [](auto& d) { d.SetPacketTimeout(100); d.SetPollingDelay(200); },
       [](auto& d) { EXPECT_EQ(d.PacketTimeout(), 280); }},
      {"PacketSize zero",
       [](auto& d) { d.SetPacketSize(16); d.SetPacketSize(0); },
       [](auto& d) { EXPECT_EQ(d.PacketSize(), -1); }},
      {"PacketSize negative",
       [](auto& d) { d.SetPacketSize(-5); },
       [](auto& d) { EXPECT_EQ(d.PacketSize(), -1); }},
      {"PacketSize within the buffer",
       [](auto& d) { d.SetPacketSize(16); },
       [](auto& d) { EXPECT_EQ(d.PacketSize(), 16); EXPECT_EQ(d.InBufSize(), 2048u); }},
      {"PacketSize grows the buffer",
       [](auto& d) { d.SetPacketSize(4096); },
       [](auto& d) { EXPECT_EQ(d.PacketSize(), 4096); EXPECT_EQ(d.InBufSize(), 4096u); }},
      {"PacketSize stops at the largest buffer",
       [](auto& d) { d.SetPacketSize(20000); },
       [](auto& d) { EXPECT_EQ(d.PacketSize(), 8192); EXPECT_EQ(d.InBufSize(), 8192u); }},
      {"a smaller buffer grows back to the packet",
       [](auto& d) { d.SetPacketSize(1000); d.SetInBufSize(200); },
       [](auto& d) { EXPECT_EQ(d.InBufSize(), 1000u); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    c.steps(*r.drv);
    c.check(*r.drv);
  }
}

TEST(SerialDriver, WhileConnectedPortAndBuffersStayLineSettingsApply) {
  Rig r;
  ASSERT_TRUE(r.drv->Connect());
  size_t dcbs = r.sys.Dcbs.size();
  r.drv->SetPort(TPortNumber::pnCOM5);
  r.drv->SetPortName("\\\\.\\COM9");
  r.drv->SetInBufSize(4096);
  r.drv->SetOutBufSize(4096);
  EXPECT_EQ(r.drv->Port(), TPortNumber::pnCOM2);
  EXPECT_EQ(r.drv->PortName(), "\\\\.\\COM2");
  EXPECT_EQ(r.drv->InBufSize(), 2048u);
  EXPECT_EQ(r.drv->OutBufSize(), 2048u);
  EXPECT_EQ(r.sys.Dcbs.size(), dcbs);

  r.sys.Queue(Bytes(10));
  r.drv->SetParity(TParity::ptEVEN);
  ASSERT_EQ(r.sys.Dcbs.size(), dcbs + 1);
  EXPECT_EQ(r.sys.Dcbs.back().Parity, 2);
  EXPECT_TRUE(r.sys.RxQueue.empty()) << "every application of the settings purges both queues";
  r.drv->SetBaudRateValue(31250);
  EXPECT_EQ(r.sys.Dcbs.back().BaudRate, 31250u);

  // The buffer cannot grow while connected; reads still fit it.
  r.drv->SetPacketSize(4000);
  EXPECT_EQ(r.drv->PacketSize(), 4000);
  EXPECT_EQ(r.drv->InBufSize(), 2048u);
  r.sys.Queue(Bytes(5000));
  r.Tick();
  for (uint32_t n : r.sys.ReadSizes) EXPECT_LE(n, 2048u);
  ASSERT_EQ(r.packets.size(), 2u);
  EXPECT_EQ(r.packets[0].size(), 2048u);

  r.sys.TimerLog.clear();
  r.drv->SetPollingDelay(100);
  EXPECT_EQ(r.sys.TimerLog, (std::vector<std::string>{"kill 1", "set 1 100"}));
  r.drv->SetPollingDelay(100);
  EXPECT_EQ(r.sys.TimerLog.size(), 2u) << "the current value again does nothing";
}

std::string Hex(const TDcb& d) {
  uint8_t raw[28];
  std::memcpy(raw, &d, 28);
  std::string s;
  char b[4];
  for (uint8_t x : raw) {
    std::snprintf(b, sizeof b, "%02x", x);
    s += b;
  }
  return s;
}

TEST(SerialDriver, DcbBytesForSettings) {
  struct Case {
    const char* name;
    std::function<void(TSerialDriver&)> set;
    const char* hex;  // DCBlength, BaudRate, flags, wReserved, XonLim, XoffLim, ByteSize, Parity, StopBits, Xon, Xoff, Err, Eof, Evt, wReserved1
  };
  const Case cases[] = {
      {"defaults", [](auto&) {},
       "1c000000" "80250000" "11100000" "0000" "0002" "0002" "08" "00" "00" "11" "13" "00" "00" "00" "0000"},
      {"hfNONE, no DTR, 7E2 at 115200",
       [](auto& d) {
         d.SetHwFlow(THwFlowControl::hfNONE); d.SetEnableDTROnOpen(false); d.SetDataBits(TDataBits::db7BITS);
         d.SetParity(TParity::ptEVEN); d.SetStopBits(TStopBits::sb2BITS); d.SetBaudRate(TBaudRate::br115200);
       },
       "1c000000" "00c20100" "01000000" "0000" "0002" "0002" "07" "02" "02" "11" "13" "00" "00" "00" "0000"},
      {"RTS/CTS, XON/XOFF, 5N1.5, mark parity, buffer 128, custom rate",
       [](auto& d) {
         d.SetHwFlow(THwFlowControl::hfRTSCTS); d.SetSwFlow(TSwFlowControl::sfXONXOFF);
         d.SetDataBits(TDataBits::db5BITS); d.SetStopBits(TStopBits::sb1HALFBITS); d.SetParity(TParity::ptMARK);
         d.SetInBufSize(128); d.SetBaudRateValue(250000);
       },
       "1c000000" "90d00300" "15230000" "0000" "2000" "2000" "05" "03" "01" "11" "13" "00" "00" "00" "0000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    c.set(*r.drv);
    ASSERT_TRUE(r.drv->Connect());
    ASSERT_FALSE(r.sys.Dcbs.empty());
    EXPECT_EQ(Hex(r.sys.Dcbs.back()), c.hex);
    // Settings go purge, then queue sizes.
    EXPECT_EQ(r.sys.Purges.back(), kPurgeRxAbort | kPurgeRxClear | kPurgeTxAbort | kPurgeTxClear);
    EXPECT_EQ(r.sys.SetupCalls.back(), std::make_pair(r.drv->InBufSize(), r.drv->OutBufSize()));
  }
}

TEST(SerialDriver, ConnectAndDisconnect) {
  Rig r;
  r.drv->SetPort(TPortNumber::pnCOM4);  // nothing behind it
  EXPECT_FALSE(r.drv->Connect());
  EXPECT_EQ(r.sys.LastOpened, "\\\\.\\COM4");
  EXPECT_FALSE(r.drv->Connected());

  r.drv->SetPort(TPortNumber::pnCOM2);
  r.sys.FailSetCommState = true;
  EXPECT_FALSE(r.drv->Connect());
  EXPECT_EQ(r.sys.OpenHandles, 0) << "refused settings close the port again";
  r.sys.FailSetCommState = false;
  r.sys.FailSetupComm = true;
  EXPECT_FALSE(r.drv->Connect());
  EXPECT_EQ(r.sys.OpenHandles, 0);
  r.sys.FailSetupComm = false;

  ASSERT_TRUE(r.drv->Connect());
  EXPECT_TRUE(r.drv->Connected());
  ASSERT_EQ(r.sys.Timeouts.size(), 1u);
  const TCommTimeouts& t = r.sys.Timeouts[0];
  EXPECT_EQ(std::vector<uint32_t>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                                   t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}),
            std::vector<uint32_t>({1, 0, 1, 0, 10}));
  EXPECT_TRUE(r.sys.TimerRunning);
  EXPECT_EQ(r.sys.TimerPeriod, 50u);
  EXPECT_TRUE(r.drv->Connect()) << "already connected";
  EXPECT_EQ(r.sys.Timeouts.size(), 1u);

  r.drv->Disconnect();
  EXPECT_FALSE(r.drv->Connected());
  EXPECT_FALSE(r.sys.TimerRunning);
  EXPECT_EQ(r.sys.OpenHandles, 0);
  EXPECT_FALSE(r.drv->ApplySettings());
  EXPECT_FALSE(r.drv->PurgeBuffers(true, true));
}

TEST(SerialDriver, DestroyClosesThePort) {
  TFakeSerialSystem sys;
  {
    zf::TComponent form(nullptr);
    auto* d = zf::MakeOwned<TSerialDriver>(&form, sys);
    ASSERT_TRUE(d->Connect());
    EXPECT_EQ(sys.OpenHandles, 1);
  }
  EXPECT_EQ(sys.OpenHandles, 0);
  EXPECT_FALSE(sys.TimerRunning);
}

TEST(SerialDriver, PurgeFlagsPerSide) {
  Rig r;
  ASSERT_TRUE(r.drv->Connect());
  r.sys.Purges.clear();
  EXPECT_TRUE(r.drv->PurgeBuffers(true, false));
  EXPECT_TRUE(r.drv->PurgeBuffers(false, true));
  EXPECT_TRUE(r.drv->PurgeBuffers(false, false));
  EXPECT_EQ(r.sys.Purges, (std::vector<uint32_t>{0xA, 0x5, 0x0}));
  r.sys.FailPurge = true;
  EXPECT_FALSE(r.drv->PurgeBuffers(true, true));
}

TEST(SerialDriver, LineStatusBits) {
  Rig r;
  EXPECT_TRUE(r.drv->LineStatus().Empty());
  ASSERT_TRUE(r.drv->Connect());
  r.sys.ModemStatus = kMsCtsOn | kMsRlsdOn;
  TModemLineSet s = r.drv->LineStatus();
  EXPECT_TRUE(s.Contains(TModemLine::CTS));
  EXPECT_FALSE(s.Contains(TModemLine::DSR));
  EXPECT_FALSE(s.Contains(TModemLine::RING));
  EXPECT_TRUE(s.Contains(TModemLine::RLSD));
  r.sys.ModemStatusWorks = false;
  EXPECT_TRUE(r.drv->LineStatus().Empty());
}

TEST(SerialDriver, SendingAndItsTimeout) {
  Rig r;
  EXPECT_EQ(r.drv->OutputFreeSpace(), 65535);
  EXPECT_FALSE(r.drv->SendString("abc"));
  EXPECT_TRUE(r.drv->SendString("")) << "an empty string needs no port";
  ASSERT_TRUE(r.drv->Connect());

  // Chunks no larger than the free space, and progress in small writes.
  r.sys.WriteCapacity = 7;
  r.sys.ReportedOutQueue = 2000;  // 48 free
  std::string s(100, 'x');
  EXPECT_TRUE(r.drv->SendString(s));
  EXPECT_EQ(r.sys.Sent.size(), 100u);

  // A stalled line gives up once no byte went out for longer than the time-out.
  r.sys.Sent.clear();
  r.sys.WriteCapacity = 0;
  r.sys.ReportedOutQueue = 0;
  r.sys.TickStep = 1;
  uint32_t before = r.sys.Now;
  EXPECT_EQ(r.drv->SendDataTimeout(s.data(), 10, 30), 0u);
  EXPECT_GT(r.sys.Now - before, 30u);
  EXPECT_LT(r.sys.Now - before, 100u);

  // A driver reporting more queued than the buffer leaves no room, never wrapped room.
  r.sys.WriteCapacity = 0xFFFFFFFF;
  r.sys.ReportedOutQueue = 0xCCCCCCCC;
  EXPECT_EQ(r.drv->OutputFreeSpace(), 0);
  int calls = r.sys.WriteCalls;
  EXPECT_FALSE(r.drv->SendString("abc"));
  EXPECT_EQ(r.sys.WriteCalls, calls);

  // With line checking and no modem line on, nothing is written.
  r.sys.ReportedOutQueue = 0;
  r.drv->SetCheckLineStatus(true);
  r.sys.ModemStatus = 0;
  r.sys.TickStep = 0;
  EXPECT_EQ(r.drv->SendData("abc", 3), 0u);
  EXPECT_EQ(r.sys.WriteCalls, calls);
  r.sys.ModemStatus = kMsDsrOn;
  EXPECT_EQ(r.drv->SendData("abc", 3), 3u);
}

TEST(SerialDriver, DataModeDeliversAtMostTheBufferPerTick) {
  Rig r;
  zf::TMessage other{0x0001, 0, 0, 0};
  r.drv->PollWndProc(other);
  EXPECT_EQ(other.Result, 42) << "other messages go to the default procedure";
  ASSERT_TRUE(r.drv->Connect());
  auto sent = Bytes(5000);
  r.sys.Queue(sent);
  r.drv->SetPollingPaused(1);
  r.Tick();
  EXPECT_TRUE(r.data.empty());
  r.drv->SetPollingPaused(0);
  r.Tick();
  r.Tick();
  r.Tick();
  r.Tick();
  ASSERT_EQ(r.data.size(), 3u);
  EXPECT_EQ(r.data[0].size(), 2048u);
  EXPECT_EQ(r.data[1].size(), 2048u);
  EXPECT_EQ(r.data[2].size(), 904u);
  std::vector<uint8_t> all;
  for (auto& c : r.data) all.insert(all.end(), c.begin(), c.end());
  EXPECT_EQ(all, sent);

  r.sys.FailRead = true;
  r.sys.Queue(Bytes(5));
  r.Tick();
  EXPECT_EQ(r.data.size(), 3u);
  EXPECT_EQ(r.sys.RxQueue.size(), 5u) << "a failed read leaves the bytes";
}

TEST(SerialDriver, PacketModeCutsPacketsAndPassesOrDropsTheRest) {
  for (TPacketMode mode : {TPacketMode::pmPass, TPacketMode::pmDiscard}) {
    SCOPED_TRACE(mode == TPacketMode::pmPass ? "pmPass" : "pmDiscard");
    Rig r;
    r.drv->SetPacketSize(16);
    r.drv->SetPacketMode(mode);
    r.drv->SetPacketTimeout(200);
    ASSERT_TRUE(r.drv->Connect());
    auto sent = Bytes(40);
    r.sys.Queue(sent);
    r.Tick();
    ASSERT_EQ(r.packets.size(), 2u);
    EXPECT_EQ(r.packets[0], std::vector<uint8_t>(sent.begin(), sent.begin() + 16));
    EXPECT_EQ(r.packets[1], std::vector<uint8_t>(sent.begin() + 16, sent.begin() + 32));
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(r.drv->FirstByteTime(), TSerialDriver::kNoTime);

    r.Tick();  // the 8 left: first-byte time taken
    EXPECT_EQ(r.drv->FirstByteTime(), r.sys.Now);
    r.sys.Now += 200;
    r.Tick();  // not yet past the time-out
    EXPECT_EQ(r.packets.size(), 2u);
    r.sys.Now += 1;
    r.Tick();
    EXPECT_EQ(r.drv->FirstByteTime(), TSerialDriver::kNoTime);
    EXPECT_TRUE(r.sys.RxQueue.empty());
    if (mode == TPacketMode::pmPass) {
      ASSERT_EQ(r.packets.size(), 3u);
      EXPECT_EQ(r.packets[2], std::vector<uint8_t>(sent.begin() + 32, sent.end()));
    } else {
      EXPECT_EQ(r.packets.size(), 2u);
    }
  }
}

TEST(SerialDriver, PacketFirstByteTimeAdvancesByTransferTime) {
  Rig r;
  r.drv->SetPacketSize(16);
  ASSERT_TRUE(r.drv->Connect());
  r.sys.Queue(Bytes(5));
  r.Tick();
  uint32_t first = r.drv->FirstByteTime();
  ASSERT_NE(first, TSerialDriver::kNoTime);
  r.sys.Queue(Bytes(30));  // 35: two packets, 3 left
  r.Tick();
  EXPECT_EQ(r.packets.size(), 2u);
  EXPECT_EQ(r.drv->FirstByteTime(), first + 2 * r.drv->PacketTransferTime(TBaudRate::br9600, 16));
}

TEST(SerialDriver, PacketTransferTimeRoundsHalfToEven) {
  Rig r;
  EXPECT_EQ(r.drv->PacketTransferTime(TBaudRate::br9600, 15), 16u);     // 15.625
  EXPECT_EQ(r.drv->PacketTransferTime(TBaudRate::br110, 16), 1455u);    // 1454.5...
  EXPECT_EQ(r.drv->PacketTransferTime(TBaudRate::br256000, 2048), 80u); // 80
  r.drv->SetBaudRateValue(4000);  // 400 bytes/s: n = 1 takes 2.5 ms, n = 3 takes 7.5 ms
  EXPECT_EQ(r.drv->PacketTransferTime(TBaudRate::brCustom, 1), 2u);
  EXPECT_EQ(r.drv->PacketTransferTime(TBaudRate::brCustom, 3), 8u);
  r.drv->SetBaudRateValue(0);
  EXPECT_EQ(r.drv->PacketTransferTime(TBaudRate::brCustom, 3), 0u);
}

TEST(SerialDriver, EnumNamesRoundTrip) {
  EXPECT_EQ(PortNumberInfo.Count(), 17);
  EXPECT_EQ(PortNumberInfo.ValueOf("pnCOM16"), 16);
  EXPECT_EQ(BaudRateInfo.Count(), 16);
  EXPECT_EQ(BaudRateInfo.NameOf(13), "br115200");
  EXPECT_EQ(ParityInfo.ValueOf("ptSPACE"), 4);
  EXPECT_EQ(StopBitsInfo.ValueOf("sb1HALFBITS"), 1);
  EXPECT_EQ(HwFlowControlInfo.ValueOf("hfRTSCTS"), 2);
  EXPECT_EQ(PacketModeInfo.ValueOf("pmPass"), 1);
  EXPECT_EQ(DataBitsInfo.ValueOf("db9BITS"), -1);
  for (int i = 1; i <= 15; ++i) EXPECT_GT(BaudRateToValue(static_cast<TBaudRate>(i)), BaudRateToValue(static_cast<TBaudRate>(i - 1)));
}

TEST(SerialDriver, PublishedPropertiesFromALayout) {
  TFakeSerialSystem sys;
  zf::TComponent form(nullptr);
  auto* d = zf::MakeOwned<TSerialDriver>(&form, sys);
  const zf::TClassInfo& ci = d->ClassInfo();
  (*ci.FindProperty("Port"))(*d, zf::TPropertyValue::Ident("pnCustom"));
  (*ci.FindProperty("PortName"))(*d, zf::TPropertyValue::String("\\\\.\\COM3"));
  (*ci.FindProperty("BaudRate"))(*d, zf::TPropertyValue::Ident("brCustom"));
  (*ci.FindProperty("HwFlow"))(*d, zf::TPropertyValue::Ident("hfNONE"));
  EXPECT_EQ(d->Port(), TPortNumber::pnCustom);
  EXPECT_EQ(d->PortName(), "\\\\.\\COM3");
  EXPECT_EQ(d->BaudRate(), TBaudRate::brCustom);
  EXPECT_EQ(d->BaudRateValue(), 9600u);
  EXPECT_EQ(d->HwFlow(), THwFlowControl::hfNONE);
  EXPECT_THROW((*ci.FindProperty("Parity"))(*d, zf::TPropertyValue::Ident("ptWEIRD")), zf::EPropertyError);
}

}  // namespace
