// kernel32 and user32 behind the serial component.
#include <windows.h>

#include <cstddef>
#include <cstring>

#include "SerialSystem.h"
#include "UtilityWindow.h"

namespace serial {

static_assert(sizeof(DCB) == sizeof(TDcb));
static_assert(offsetof(DCB, XonLim) == offsetof(TDcb, XonLim));
static_assert(offsetof(DCB, ByteSize) == offsetof(TDcb, ByteSize));
static_assert(offsetof(DCB, EvtChar) == offsetof(TDcb, EvtChar));
static_assert(sizeof(COMMTIMEOUTS) == sizeof(TCommTimeouts));

namespace {

HANDLE H(TPortHandle h) { return reinterpret_cast<HANDLE>(h); }

class TWin32NotifyWindow final : public INotifyWindow {
public:
  explicit TWin32NotifyWindow(std::function<void(zf::TMessage&)> handler) : FWindow(std::move(handler)) {}
  bool SetTimer(uint32_t id, uint32_t periodMs) override {
    return ::SetTimer(Hwnd(), id, periodMs, nullptr) != 0;
  }
  bool KillTimer(uint32_t id) override { return ::KillTimer(Hwnd(), id) != 0; }
  intptr_t DefWindowProc(const zf::TMessage& m) override { return FWindow.DefaultHandler(m); }

private:
  HWND Hwnd() const { return static_cast<HWND>(FWindow.Handle()); }
  zf::TUtilityWindow FWindow;
};

class TWin32System final : public ISerialSystem {
public:
  TPortHandle Open(const std::string& path) override {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? kInvalidPort : reinterpret_cast<TPortHandle>(h);
  }
  bool Close(TPortHandle h) override { return CloseHandle(H(h)) != 0; }
  bool SetCommState(TPortHandle h, const TDcb& dcb) override {
    DCB d;
    std::memcpy(&d, &dcb, sizeof d);
    return ::SetCommState(H(h), &d) != 0;
  }
  bool SetCommTimeouts(TPortHandle h, const TCommTimeouts& t) override {
    COMMTIMEOUTS c;
    std::memcpy(&c, &t, sizeof c);
    return ::SetCommTimeouts(H(h), &c) != 0;
  }
  bool SetupComm(TPortHandle h, uint32_t in, uint32_t out) override { return ::SetupComm(H(h), in, out) != 0; }
  bool PurgeComm(TPortHandle h, uint32_t flags) override { return ::PurgeComm(H(h), flags) != 0; }
  bool ClearCommError(TPortHandle h, uint32_t& errors, TCommStat& stat) override {
    DWORD e = 0;
    COMSTAT cs;
    std::memset(&cs, 0, sizeof cs);
    bool ok = ::ClearCommError(H(h), &e, &cs) != 0;
    errors = e;
    stat.Flags = 0;
    stat.cbInQue = cs.cbInQue;
    stat.cbOutQue = cs.cbOutQue;
    return ok;
  }
  bool GetCommModemStatus(TPortHandle h, uint32_t& status) override {
    DWORD s = 0;
    bool ok = ::GetCommModemStatus(H(h), &s) != 0;
    status = s;
    return ok;
  }
  bool Read(TPortHandle h, void* buf, uint32_t n, uint32_t& done) override {
    DWORD d = 0;
    bool ok = ReadFile(H(h), buf, n, &d, nullptr) != 0;
    done = d;
    return ok;
  }
  bool Write(TPortHandle h, const void* buf, uint32_t n, uint32_t& done) override {
    DWORD d = 0;
    bool ok = WriteFile(H(h), buf, n, &d, nullptr) != 0;
    done = d;
    return ok;
  }
  uint32_t TickCount() override { return GetTickCount(); }
  std::unique_ptr<INotifyWindow> CreateNotifyWindow(std::function<void(zf::TMessage&)> handler) override {
    return std::make_unique<TWin32NotifyWindow>(std::move(handler));
  }
};

}  // namespace

ISerialSystem& DefaultSerialSystem() {
  static TWin32System s;
  return s;
}

}  // namespace serial
