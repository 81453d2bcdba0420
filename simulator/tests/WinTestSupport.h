// Helpers of the Windows tests: the cable's COM numbers, window texts read
// through messages, and the far end of the cable as a plain Win32 port.
#pragma once
#include <windows.h>

#include <cstdlib>
#include <string>

namespace simtest {

inline int ComFromEnv(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v ? std::atoi(v) : fallback;
}

// Sent, not read from a cache: works from any thread and across processes;
// a window that does not answer within 3 s gives an empty text.
inline std::string WindowText(HWND h) {
  DWORD_PTR n = 0, got = 0;
  const UINT how = SMTO_BLOCK | SMTO_ABORTIFHUNG;
  if (!SendMessageTimeoutA(h, WM_GETTEXTLENGTH, 0, 0, how, 3000, &n)) return {};
  std::string s(static_cast<size_t>(n) + 1, '\0');
  if (!SendMessageTimeoutA(h, WM_GETTEXT, static_cast<WPARAM>(s.size()), reinterpret_cast<LPARAM>(s.data()), how, 3000,
                           &got))
    return {};
  s.resize(static_cast<size_t>(got));
  return s;
}

class TFarEnd {
public:
  explicit TFarEnd(int com) {
    const std::string path = "\\\\.\\COM" + std::to_string(com);
    FHandle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (FHandle == INVALID_HANDLE_VALUE) return;
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};  // reads return at once with what waits
    SetCommTimeouts(FHandle, &t);
  }
  ~TFarEnd() {
    if (FHandle != INVALID_HANDLE_VALUE) CloseHandle(FHandle);
  }
  TFarEnd(const TFarEnd&) = delete;
  TFarEnd& operator=(const TFarEnd&) = delete;
  bool Open() const { return FHandle != INVALID_HANDLE_VALUE; }
  // What arrives until `quiet` ms pass without a byte after the first, or `total` ms.
  // `idle` runs while nothing waits (a message pump, or a sleep).
  template <class Idle>
  std::string ReadAll(DWORD quiet, DWORD total, Idle idle) {
    std::string got;
    const DWORD start = GetTickCount();
    DWORD last = start;
    while (GetTickCount() - start < total && (got.empty() || GetTickCount() - last < quiet)) {
      char buf[64];
      DWORD n = 0;
      if (ReadFile(FHandle, buf, sizeof buf, &n, nullptr) && n) {
        got.append(buf, n);
        last = GetTickCount();
      } else {
        idle();
      }
    }
    return got;
  }

private:
  HANDLE FHandle = INVALID_HANDLE_VALUE;
};

}  // namespace simtest
