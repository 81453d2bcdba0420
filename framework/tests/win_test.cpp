#include <gtest/gtest.h>
#include <windows.h>

#include <stdexcept>

#include "ExceptHook.h"
#include "SysUtils.h"
#include "UtilityWindow.h"

using namespace zf;

namespace {
int g_caught = 0;
void CountingHandler(std::exception_ptr) { ++g_caught; }

void Pump(DWORD ms) {
  DWORD start = GetTickCount();
  MSG m;
  while (GetTickCount() - start < ms) {
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    Sleep(1);
  }
}
}  // namespace

TEST(UtilityWindow, TimerTicksReachTheBoundMethodOnThisThread) {
  int ticks = 0;
  DWORD thread = 0;
  TUtilityWindow* self = nullptr;
  TUtilityWindow w([&](TMessage& m) {
    if (m.Msg == WM_TIMER) {
      ++ticks;
      thread = GetCurrentThreadId();
    } else {
      m.Result = self->DefaultHandler(m);
    }
  });
  self = &w;
  HWND h = static_cast<HWND>(w.Handle());
  ASSERT_TRUE(IsWindow(h));
  EXPECT_FALSE(IsWindowVisible(h));
  ASSERT_TRUE(SetTimer(h, 1, 10, nullptr));
  Pump(200);
  KillTimer(h, 1);
  EXPECT_GE(ticks, 3);
  EXPECT_EQ(thread, GetCurrentThreadId());
}

TEST(UtilityWindow, ExceptionStopsAtTheWindowBoundary) {
  TBoundaryHandler old = SetBoundaryExceptionHandler(&CountingHandler);
  g_caught = 0;
  TUtilityWindow w([](TMessage& m) {
    if (m.Msg == WM_USER + 1) throw EConvertError("bad");
  });
  LRESULT r = SendMessageA(static_cast<HWND>(w.Handle()), WM_USER + 1, 0, 0);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(g_caught, 1);
  SetBoundaryExceptionHandler(old);
}

TEST(UtilityWindow, DestroyedWithItsOwner) {
  HWND h;
  {
    TUtilityWindow w([](TMessage&) {});
    h = static_cast<HWND>(w.Handle());
    EXPECT_TRUE(IsWindow(h));
  }
  EXPECT_FALSE(IsWindow(h));
}
