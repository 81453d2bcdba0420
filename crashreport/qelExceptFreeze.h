// Freeze watchdog: a thread that probes the main thread's message-handler
// window and reports a frozen application after ten probes in a row without
// an answer. Windows.
#pragma once
#include <windows.h>

#include <cstdint>

namespace qel {

void StartFreezeWatchdog();
void StopFreezeWatchdog();
// True holds the watchdog (calls nest), False releases it.
void HoldFreezeWatchdog(bool hold);
// Consecutive unanswered probes (0..10); set to 0 at the end of every report.
void ResetFreezeMissCount();

// Asks the main thread for a sign of life on behalf of a window: when the main
// thread handles its messages, it posts WM_NULL 777/777 to answerTo. False when
// no watchdog window is recorded.
bool PostFreezeProbe(HWND answerTo);

// The probe's handler on the main thread's window: posts WM_NULL 777/777 to
// the window wParam names, or, for the watchdog's own probe (wParam 0), to
// the watchdog thread; answers 777.
void AnswerFreezeProbe(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
// The watchdog thread's id, 0 while none runs.
uint32_t FreezeWatchdogThreadId();

}  // namespace qel
