// Helpers of the reporter's Windows tests: parked threads and the test DLL.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

namespace qeltest {

// A thread that waits until it is released (or the object goes).
class TParkedThread {
public:
  TParkedThread() {
    FRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    FThread = CreateThread(nullptr, 0, &Run, FRelease, 0, &FId);
  }
  ~TParkedThread() {
    Release();
    CloseHandle(FThread);
    CloseHandle(FRelease);
  }
  TParkedThread(const TParkedThread&) = delete;
  TParkedThread& operator=(const TParkedThread&) = delete;
  DWORD Id() const { return FId; }
  HANDLE Handle() const { return FThread; }
  // Lets the thread end and waits for it.
  void Release() {
    SetEvent(FRelease);
    WaitForSingleObject(FThread, 10000);
  }

private:
  static DWORD WINAPI Run(void* release) {
    WaitForSingleObject(static_cast<HANDLE>(release), 60000);
    return 0;
  }
  HANDLE FRelease = nullptr;
  HANDLE FThread = nullptr;
  DWORD FId = 0;
};

inline constexpr char kTestDll[] = "crashreport_testdll.dll";

template <class F>
F DllRoutine(HMODULE dll, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

}  // namespace qeltest
