// Soak of the transport and the decoding: thousands of weight frames with
// varied flags, weights and tares, sent by one serial component and received
// by another over a virtual null-modem cable (COM<A> -> COM<B>, from the
// cable wrapper's ZIVO_COM_A / ZIVO_COM_B). Every byte must arrive once and
// in order, and every 15-byte frame cut from the stream must decode to the
// values it was built from. The rate reached is printed beside the line's
// limit (15 bytes of 10 bit times each).
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "SerialDrv.h"
#include "Simulador_Zivo_Unit.h"
#include "ZIVO_Unit.h"

using namespace serial;

namespace {

constexpr size_t kFrameBytes = 15;

int ComFromEnv(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v ? std::atoi(v) : fallback;
}

struct TSent {
  uint8_t precision;
  bool negative, motion, saturation, overload;
  bool TR1, TR2, TR3, SP1, SP2, SP3;
  std::string peso, tara;  // the five digits of each field
  std::string frame;
};

std::string Digits(std::mt19937& rng) {
  std::string s = std::to_string(std::uniform_int_distribution<int>(0, 99999)(rng));
  return std::string(5 - s.size(), '0') + s;
}

std::vector<TSent> MakeFrames(size_t count) {
  std::mt19937 rng(20261210);
  std::vector<TSent> v;
  v.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    TSent t{};
    const unsigned bits = rng();
    t.precision = static_cast<uint8_t>(bits % 4);  // 3 stands for "any other choice": x0.01
    t.negative = bits & 0x10;
    t.motion = bits & 0x20;
    t.saturation = bits & 0x40;
    t.overload = bits & 0x80;
    t.TR1 = bits & 0x100;
    t.TR2 = bits & 0x200;
    t.TR3 = bits & 0x400;
    t.SP1 = bits & 0x800;
    t.SP2 = bits & 0x1000;
    t.SP3 = bits & 0x2000;
    t.peso = Digits(rng);
    t.tara = Digits(rng);
    // The weight as an operator types it, with its decimal comma where the precision puts it.
    const size_t comma = t.precision == 0 ? 5 : t.precision == 1 ? 4 : 3;
    std::string typed;
    for (size_t k = 0; k < t.peso.size(); ++k) {
      if (k == comma) typed.push_back(',');
      typed.push_back(t.peso[k]);
    }
    const uint8_t s1 = simulator::Monta_STATUS1(t.precision, t.negative, t.motion, t.saturation, t.overload);
    const uint8_t s2 = simulator::Monta_STATUS2(t.TR1, t.TR2, t.TR3, t.SP1, t.SP2, t.SP3);
    t.frame = simulator::Monta_String(s1, s2, typed, t.tara);
    v.push_back(std::move(t));
  }
  return v;
}

// Decodes one frame cut from the stream and compares it with what was sent;
// an empty text when it matches.
std::string Mismatch(const TSent& t, const std::string& cut) {
  std::string STATUS1, STATUS2, Peso, Tara, CK_SUM, display;
  bool neg, mov, sat, over, TR1, TR2, TR3, SP1, SP2, SP3;
  const std::string cleaned = reader::Remove_Invalidos(cut);
  reader::Trata_Buffer(cleaned, STATUS1, STATUS2, Peso, Tara, CK_SUM);
  reader::Trata_STATUS1(STATUS1, display, neg, mov, sat, over);
  reader::Trata_STATUS2(STATUS2, TR1, TR2, TR3, SP1, SP2, SP3);
  const char* factors[] = {"1", "0,1", "0,01", "0,01"};
  const unsigned char ck = static_cast<unsigned char>(t.frame.back());
  const bool ckRemoved = ck == 0x00 || ck == 0x02 || ck == 0x0A || ck == 0x0D || ck == 0x11;
  std::string why;
  if (display != factors[t.precision]) why += " display " + display;
  if (neg != t.negative || mov != t.motion || sat != t.saturation || over != t.overload) why += " STATUS1 flags";
  if (TR1 != t.TR1 || TR2 != t.TR2 || TR3 != t.TR3 || SP1 != t.SP1 || SP2 != t.SP2 || SP3 != t.SP3)
    why += " STATUS2 flags";
  if (Peso != t.peso) why += " Peso " + Peso;
  if (Tara != t.tara) why += " Tara " + Tara;
  if (CK_SUM != (ckRemoved ? std::string() : std::string(1, static_cast<char>(ck)))) why += " CK_SUM";
  return why;
}

struct TRunResult {
  std::string received;
  bool senderOk = false;
  double seconds = 0;
};

// Sends every frame from a component of its own thread while this thread's
// message loop lets the receiving component's timer read the other end.
TRunResult Run(const std::vector<TSent>& frames, TBaudRate rate, DWORD limitMs) {
  size_t total = 0;
  for (const TSent& t : frames) total += t.frame.size();
  TRunResult r;
  r.received.reserve(total);

  auto receiver = std::make_unique<TSerialDriver>(nullptr);
  receiver->SetPort(static_cast<TPortNumber>(ComFromEnv("ZIVO_COM_B", 12)));
  receiver->SetBaudRate(rate);
  receiver->SetHwFlow(THwFlowControl::hfNONE);
  receiver->SetOnReceiveData([&r](zf::TObject*, void* p, uint32_t n) { r.received.append(static_cast<char*>(p), n); });
  if (!receiver->Connect()) {
    ADD_FAILURE() << "receiving end does not open";
    return r;
  }

  std::atomic<bool> senderDone{false}, stop{false};
  const DWORD start = GetTickCount();
  std::thread sender([&] {
    try {
      TSerialDriver drv(nullptr);
      drv.SetPort(static_cast<TPortNumber>(ComFromEnv("ZIVO_COM_A", 11)));
      drv.SetBaudRate(rate);
      drv.SetHwFlow(THwFlowControl::hfNONE);
      bool ok = drv.Connect();
      for (size_t i = 0; ok && i < frames.size() && !stop; ++i) ok = drv.SendString(frames[i].frame);
      r.senderOk = ok;
    } catch (...) {
      r.senderOk = false;
    }
    senderDone = true;
  });

  MSG m;
  while (GetTickCount() - start < limitMs && !(senderDone && r.received.size() >= total)) {
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
  r.seconds = (GetTickCount() - start) / 1000.0;
  stop = true;
  sender.join();
  // A little longer: bytes beyond the sent count would show up here.
  const DWORD settle = GetTickCount();
  while (GetTickCount() - settle < 200) {
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    Sleep(5);
  }
  receiver->Disconnect();
  return r;
}

void Soak(size_t count, TBaudRate rate, DWORD limitMs) {
  const std::vector<TSent> frames = MakeFrames(count);
  std::string sent;
  for (const TSent& t : frames) {
    ASSERT_EQ(t.frame.size(), kFrameBytes);
    sent += t.frame;
  }
  const TRunResult r = Run(frames, rate, limitMs);
  EXPECT_TRUE(r.senderOk) << "a frame was not written completely";
  ASSERT_EQ(r.received.size(), sent.size()) << "within " << limitMs << " ms";
  // Once and in order: the whole stream byte for byte.
  size_t firstDiff = 0;
  while (firstDiff < sent.size() && sent[firstDiff] == r.received[firstDiff]) ++firstDiff;
  ASSERT_EQ(firstDiff, sent.size()) << "streams differ from byte " << firstDiff;

  size_t bad = 0, ckControl = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    const std::string why = Mismatch(frames[i], r.received.substr(i * kFrameBytes, kFrameBytes));
    if (!why.empty() && ++bad <= 5) ADD_FAILURE() << "frame " << i << ":" << why;
    const unsigned char ck = static_cast<unsigned char>(frames[i].frame.back());
    ckControl += ck == 0x00 || ck == 0x02 || ck == 0x0A || ck == 0x0D || ck == 0x11;
  }
  EXPECT_EQ(bad, 0u);
  const uint32_t bps = BaudRateToValue(rate);
  const double lineLimit = bps / 10.0 / kFrameBytes;
  const double fps = r.seconds > 0 ? count / r.seconds : 0;
  std::printf("soak %u bit/s: %zu frames (%zu with a check byte the reader drops) in %.2f s = %.0f frames/s; "
              "line limit %.0f frames/s (%.0f%% of it)\n",
              bps, count, ckControl, r.seconds, fps, lineLimit, 100.0 * fps / lineLimit);
  ::testing::Test::RecordProperty("frames_per_second", static_cast<int>(fps));
}

TEST(Soak, TenThousandFramesAt115200) { Soak(10000, TBaudRate::br115200, 90000); }

TEST(Soak, FramesAt9600) { Soak(1000, TBaudRate::br9600, 60000); }

}  // namespace
