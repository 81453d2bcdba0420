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

}  // namespace qel
