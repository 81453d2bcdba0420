// A program that fails in the way its first argument names and leaves the
// bug report in the file its second argument names, then ends with code 3
// (or the fault's code). Started by qelExceptReport_win_test.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "../../framework/ExceptHook.h"
#include "../../framework/SysUtils.h"
#include "qelExceptReport.h"
#include "qelExceptRtlHooks.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"

namespace {

const char* gReportFile = nullptr;

void WriteReport(const qel::TRuntimeException& caught) {
  qel::TRuntimeException e = caught;
  qel::DescribeFault(e);
  std::string text;
  qel::ComposeBugReport(false, &e.object, e.address, e.threadId, e.stackPointer, e.framePointer, false,
                        e.thrownObject, text);
  if (FILE* f = std::fopen(gReportFile, "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  TerminateProcess(GetCurrentProcess(), 3);
}

__attribute__((noinline)) void ThrowReadError() { throw zf::EReadError("Stream read error!"); }

// Held where the compiler cannot see it: the read must reach the processor.
volatile std::uintptr_t gBadAddress = 0x10;
__attribute__((noinline)) int ReadThroughBadPointer() { return *reinterpret_cast<volatile int*>(gBadAddress); }

DWORD WINAPI ThrowingWorker(void*) {
  throw std::runtime_error("worker failed");
}

DWORD WINAPI WaitingWorker(void* event) {
  WaitForSingleObject(event, INFINITE);
  return 0;
}

LRESULT CALLBACK ThrowingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER) {
    try {
      throw zf::EConvertError("'abc' is not a valid integer value");
    } catch (...) {
      zf::HandleBoundaryException();
    }
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// Threads the full report lists: one suspended, one at a raised priority.
void StartSideThreads(HANDLE event) {
  DWORD id = 0;
  HANDLE suspended = CreateThread(nullptr, 0, WaitingWorker, event, CREATE_SUSPENDED, &id);
  HANDLE raised = CreateThread(nullptr, 0, WaitingWorker, event, 0, &id);
  SetThreadPriority(raised, THREAD_PRIORITY_HIGHEST);
  (void)suspended;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  gReportFile = argv[2];
  qel::MainThreadId = GetCurrentThreadId();
  qel::InstallThreadList();
  qel::ListAllThreads = mode == "full" || mode == "full-av";
  qel::DisAsmLineLimit = 12;
  qel::InstallRuntimeHooks(WriteReport);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (mode == "full" || mode == "full-av") StartSideThreads(event);
  if (mode == "main" || mode == "full") ThrowReadError();
  if (mode == "av" || mode == "full-av") return ReadThroughBadPointer();
  if (mode == "thread") {
    DWORD id = 0;
    HANDLE worker = CreateThread(nullptr, 0, ThrowingWorker, nullptr, 0, &id);
    WaitForSingleObject(worker, 30000);
    return 1;
  }
  if (mode == "wndproc") {
    WNDCLASSA wc{};
    wc.lpfnWndProc = ThrowingWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "QelReportCrash";
    RegisterClassA(&wc);
    HWND window = CreateWindowA("QelReportCrash", "", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    SendMessageA(window, WM_USER, 0, 0);
    return 1;
  }
  return 1;
}
