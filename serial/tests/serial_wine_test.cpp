// The serial component on a real virtual null-modem cable (COM<A> <-> COM<B>,
// from the ZIVO_COM_A / ZIVO_COM_B environment set by the cable wrapper).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "SerialDrv.h"

using namespace serial;

namespace {

int ComFromEnv(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v ? std::atoi(v) : fallback;
}

void Pump(DWORD ms) {
  DWORD start = GetTickCount();
  MSG m;
  do {
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    Sleep(1);
  } while (GetTickCount() - start < ms);
}

template <class Pred>
bool PumpUntil(Pred done, DWORD ms) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > ms) return false;
    Pump(5);
  }
  return true;
}

struct Cable : ::testing::Test {
  zf::TComponent form{nullptr};
  TSerialDriver* a = zf::MakeOwned<TSerialDriver>(&form);
  TSerialDriver* b = zf::MakeOwned<TSerialDriver>(&form);
  std::vector<std::vector<uint8_t>> chunks, packets;

  void SetUp() override {
    a->SetPort(static_cast<TPortNumber>(ComFromEnv("ZIVO_COM_A", 5)));
    b->SetPort(static_cast<TPortNumber>(ComFromEnv("ZIVO_COM_B", 6)));
    for (TSerialDriver* d : {a, b}) {
      d->SetBaudRate(TBaudRate::br115200);
      d->SetHwFlow(THwFlowControl::hfNONE);
    }
    b->SetOnReceiveData([this](zf::TObject*, void* p, uint32_t n) {
      auto* c = static_cast<uint8_t*>(p);
      chunks.emplace_back(c, c + n);
    });
    b->SetOnReceivePacket([this](zf::TObject*, void* p, uint32_t n) {
      auto* c = static_cast<uint8_t*>(p);
      packets.emplace_back(c, c + n);
    });
  }
  size_t Received() const {
    size_t n = 0;
    for (auto& c : chunks) n += c.size();
    return n;
  }
};

TEST_F(Cable, ConnectSendReceiveDisconnect) {
  ASSERT_TRUE(a->Connect());
  ASSERT_TRUE(b->Connect());
  EXPECT_TRUE(a->Connected());
  std::string frame = "\x02\x84\x80" "1234500000\x03\x04";
  ASSERT_TRUE(a->SendString(frame));
  ASSERT_TRUE(PumpUntil([&] { return Received() >= frame.size(); }, 3000));
  std::string got;
  for (auto& c : chunks) got.append(c.begin(), c.end());
  EXPECT_EQ(got, frame);
  a->Disconnect();
  EXPECT_FALSE(a->Connected());
  EXPECT_FALSE(a->SendString("x"));
  EXPECT_TRUE(a->Connect()) << "the port opens again after a disconnect";
}

TEST_F(Cable, LineSettingsReachTheDriver) {
  a->SetDataBits(TDataBits::db7BITS);
  a->SetParity(TParity::ptEVEN);
  a->SetStopBits(TStopBits::sb2BITS);
  a->SetBaudRate(TBaudRate::br19200);
  ASSERT_TRUE(a->Connect());
  // Wine shares the device, so a second handle reads the state the component wrote.
  HANDLE h = CreateFileA(a->PortName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB d{};
  d.DCBlength = sizeof d;
  ASSERT_TRUE(GetCommState(h, &d));
  // A pseudo-terminal always reads back 8 bits without parity (the kernel
  // forces them); the rate and the stop bits it keeps. The whole DCB is
  // checked byte for byte in the host tests.
  EXPECT_EQ(d.BaudRate, 19200u);
  EXPECT_EQ(d.StopBits, TWOSTOPBITS);
  // A change while connected is applied at once.
  a->SetBaudRateValue(57600);
  a->SetStopBits(TStopBits::sb1BITS);
  ASSERT_TRUE(GetCommState(h, &d));
  EXPECT_EQ(d.BaudRate, 57600u);
  EXPECT_EQ(d.StopBits, ONESTOPBIT);
  CloseHandle(h);
}

TEST_F(Cable, DataModeDeliversTheBufferThenTheRest) {
  ASSERT_TRUE(b->Connect());
  ASSERT_TRUE(a->Connect());
  std::vector<uint8_t> sent(5000);
  std::iota(sent.begin(), sent.end(), 0);
  ASSERT_EQ(a->SendData(sent.data(), 5000), 5000u);
  Sleep(300);  // no ticks meanwhile: everything waits in the driver
  ASSERT_TRUE(PumpUntil([&] { return Received() >= 5000; }, 5000));
  ASSERT_GE(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].size(), 2048u);
  for (auto& c : chunks) EXPECT_LE(c.size(), 2048u);
  std::vector<uint8_t> got;
  for (auto& c : chunks) got.insert(got.end(), c.begin(), c.end());
  EXPECT_EQ(got, sent);
}

TEST_F(Cable, PacketModePassesTheShortPacketAfterTheTimeout) {
  b->SetPacketSize(16);
  b->SetPacketMode(TPacketMode::pmPass);
  b->SetPacketTimeout(300);
  ASSERT_TRUE(b->Connect());
  ASSERT_TRUE(a->Connect());
  std::vector<uint8_t> sent(40);
  std::iota(sent.begin(), sent.end(), 100);
  ASSERT_EQ(a->SendData(sent.data(), 40), 40u);
  ASSERT_TRUE(PumpUntil([&] { return packets.size() >= 2; }, 3000));
  EXPECT_EQ(packets[0], std::vector<uint8_t>(sent.begin(), sent.begin() + 16));
  EXPECT_EQ(packets[1], std::vector<uint8_t>(sent.begin() + 16, sent.begin() + 32));
  Pump(100);
  EXPECT_EQ(packets.size(), 2u) << "the short packet waits for its time-out";
  ASSERT_TRUE(PumpUntil([&] { return packets.size() >= 3; }, 3000));
  EXPECT_EQ(packets[2], std::vector<uint8_t>(sent.begin() + 32, sent.end()));
  EXPECT_TRUE(chunks.empty());
}

TEST_F(Cable, LineCheckWithoutModemLinesSendsNothingAtOnce) {
  ASSERT_TRUE(a->Connect());
  a->SetCheckLineStatus(true);
  DWORD t0 = GetTickCount();
  EXPECT_EQ(a->SendData("abc", 3), 0u);
  EXPECT_LT(GetTickCount() - t0, 200u);
}

TEST(SerialNoCable, NothingBehindTheNumber) {
  zf::TComponent form(nullptr);
  auto* d = zf::MakeOwned<TSerialDriver>(&form);
  d->SetPort(TPortNumber::pnCOM16);
  EXPECT_FALSE(d->Connect());
  EXPECT_FALSE(d->Connected());
  EXPECT_FALSE(d->SendString("abc"));
  EXPECT_EQ(d->OutputFreeSpace(), 65535);
}

}  // namespace
