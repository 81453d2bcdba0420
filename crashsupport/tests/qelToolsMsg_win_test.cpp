// Per-thread message-handler windows: message numbers, duplicates, removal,
// the message mask, method handlers, calls from another thread and removal
// inside a handler.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "qelTools.h"

namespace qel {
namespace {

std::vector<UINT> gSeen;
DWORD gHandlerThread = 0;

void Record(HWND, UINT message, WPARAM, LPARAM, LRESULT& result) {
  gSeen.push_back(message);
  gHandlerThread = GetCurrentThreadId();
  result = 0x1234;
}

void Other(HWND, UINT message, WPARAM, LPARAM, LRESULT&) { gSeen.push_back(message + 0x10000); }

// Removes itself and its neighbour while the window is dispatching.
void RemovesItself(HWND, UINT message, WPARAM, LPARAM, LRESULT&) {
  gSeen.push_back(message);
  RemoveMessageHandler(&RemovesItself, 0, 0);
  RemoveMessageHandler(&Other, 0, 0);
}

struct TCounter {
  int calls = 0;
  static void Method(void* self, HWND, UINT, WPARAM wParam, LPARAM, LRESULT& result) {
    static_cast<TCounter*>(self)->calls += static_cast<int>(wParam);
    result = 77;
  }
};

class MsgHandlers : public testing::Test {
protected:
  void SetUp() override { gSeen.clear(); }
  void TearDown() override {
    for (TMsgHandlerProc h : {&Record, &Other, &RemovesItself}) RemoveMessageHandler(h, 0, 0);
  }
};

TEST_F(MsgHandlers, MutexNameIsExact) {
  CloseHandlerMutex();  // the next use creates it, named after this thread
  ASSERT_NE(HandlerWindowForThread(0), nullptr);
  char expected[128];
  std::snprintf(expected, sizeof expected, "qelToolsMsgHandlerMutex$%lx$%llx", GetCurrentThreadId(),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&HandlerWindowForThread)));
  HANDLE opened = OpenMutexA(SYNCHRONIZE, FALSE, expected);
  EXPECT_NE(opened, nullptr) << expected;
  if (opened) CloseHandle(opened);
  EXPECT_EQ(HandlerObjectName(kMsgHandlerMutexPrefix), expected);
}

TEST_F(MsgHandlers, MessageNumbersDuplicatesAndRemoval) {
  EXPECT_EQ(AddMessageHandler(&Record, 0, 0), 0x400u);
  EXPECT_EQ(AddMessageHandler(&Other, 0, 0), 0x401u);
  EXPECT_EQ(AddMessageHandler(&Other, 0x500, 0), 0x500u);
  EXPECT_EQ(AddMessageHandler(&Other, 0x500, 0), 0u);  // same handler, message and keys
  EXPECT_EQ(AddMessageHandlerEx(&Other, 0x500, 0, 1, 0), 0x500u);  // other keys: another entry
  RemoveMessageHandler(&Record, 0x400, 0);
  EXPECT_EQ(AddMessageHandler(&Record, 0, 0), 0x400u);  // the lowest free number again

  HWND window = HandlerWindowForThread(0);
  ASSERT_NE(window, nullptr);
  RemoveMessageHandler(&Other, 0, 0);  // message 0: every message of the handler (keys 0 only)
  SendMessageA(window, 0x401, 0, 0);
  SendMessageA(window, 0x500, 0, 0);
  EXPECT_EQ(gSeen, std::vector<UINT>({0x500 + 0x10000}));  // only the entry with other keys is left
  RemoveMessageHandlerEx(&Other, 0, 0, 1, 0);
  RemoveMessageHandler(&Record, 0, 0);
  EXPECT_FALSE(IsWindow(window));  // the last handler's removal on its own thread destroys it
}

TEST_F(MsgHandlers, MaskResultsAndMethods) {
  ASSERT_EQ(AddMessageHandler(&Record, WM_QUERYENDSESSION, 0), static_cast<uint32_t>(WM_QUERYENDSESSION));
  ASSERT_EQ(AddMessageHandler(&Record, WM_CANCELMODE, 0), static_cast<uint32_t>(WM_CANCELMODE));
  ASSERT_EQ(AddMessageHandler(&Record, 0x217, 0), 0x217u);
  ASSERT_EQ(AddMessageHandler(&Record, 0x218, 0), 0x218u);
  TCounter counter;
  const uint32_t methodMessage = AddMessageHandlerEx(nullptr, 0, 0, reinterpret_cast<uintptr_t>(&TCounter::Method),
                                                     reinterpret_cast<uintptr_t>(&counter));
  ASSERT_EQ(methodMessage, 0x400u);
  HWND window = HandlerWindowForThread(0);
  // $11 is in the mask: the handler runs after the default processing and sets the result.
  EXPECT_EQ(SendMessageA(window, WM_QUERYENDSESSION, 0, 0), 0x1234);
  // $1F and $217 are not: only the default processing.
  EXPECT_EQ(SendMessageA(window, WM_CANCELMODE, 0, 0), 0);
  SendMessageA(window, 0x217, 0, 0);
  EXPECT_EQ(SendMessageA(window, 0x218, 0, 0), 0x1234);
  EXPECT_EQ(gSeen, std::vector<UINT>({WM_QUERYENDSESSION, 0x218}));
  EXPECT_EQ(SendMessageA(window, methodMessage, 5, 0), 77);
  EXPECT_EQ(counter.calls, 5);
  RemoveMessageHandlerEx(nullptr, 0, 0, reinterpret_cast<uintptr_t>(&TCounter::Method),
                         reinterpret_cast<uintptr_t>(&counter));
}

TEST_F(MsgHandlers, RemovalInsideAHandler) {
  const uint32_t message = AddMessageHandler(&RemovesItself, 0x600, 0);
  ASSERT_EQ(AddMessageHandler(&Other, 0x600, 0), message);
  HWND window = HandlerWindowForThread(0);
  SendMessageA(window, message, 0, 0);
  // The dispatch works on a copy: the removed neighbour still runs this once.
  EXPECT_EQ(gSeen, std::vector<UINT>({0x600, 0x600 + 0x10000}));
  EXPECT_FALSE(IsWindow(window));
  gSeen.clear();
  EXPECT_NE(HandlerWindowForThread(0), window);  // a new window for the thread
}

TEST_F(MsgHandlers, DeadWindowIsNotHandedOut) {
  HWND first = HandlerWindowForThread(0);
  ASSERT_NE(first, nullptr);
  DestroyWindow(first);
  HWND second = HandlerWindowForThread(0);
  EXPECT_NE(second, nullptr);
  EXPECT_TRUE(IsWindow(second));
  EXPECT_NE(second, first);
}

TEST_F(MsgHandlers, CrossThreadCallsAndRemoval) {
  std::atomic<DWORD> workerId{0};
  std::atomic<HWND> workerWindow{nullptr};
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    workerWindow = HandlerWindowForThread(0);
    workerId = GetCurrentThreadId();
    MSG msg;
    while (!stop) {
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
  });
  while (workerId == 0) Sleep(1);
  ASSERT_NE(workerWindow.load(), nullptr);
  EXPECT_EQ(HandlerWindowForThread(workerId), workerWindow.load());
  // Another thread's window is never created for it.
  EXPECT_EQ(HandlerWindowForThread(0xFFFFFFF0u), nullptr);
  EXPECT_EQ(AddMessageHandler(&Record, 0, 0xFFFFFFF0u), 0u);

  const uint32_t message = AddMessageHandler(&Record, 0, workerId);
  ASSERT_EQ(message, 0x400u);
  EXPECT_EQ(SendMessageA(workerWindow, message, 0, 0), 0x1234);
  EXPECT_EQ(gHandlerThread, workerId.load());  // ran in the window's own thread
  RemoveMessageHandler(&Record, 0, workerId);
  // Closed by a posted WM_CLOSE on the worker's next dispatch.
  for (int i = 0; i < 500 && IsWindow(workerWindow); ++i) Sleep(10);
  EXPECT_FALSE(IsWindow(workerWindow));
  stop = true;
  worker.join();
}

}  // namespace
}  // namespace qel
