#include "qelExceptFreeze.h"

namespace qel {

namespace {
// Recorded by StartFreezeWatchdog: the main thread's handler window and the
// message number registered there for the probe.
HWND gMainHandlerWindow = nullptr;
UINT gFreezeProbeMessage = 0;
}  // namespace

bool PostFreezeProbe(HWND answerTo) {
  if (!gMainHandlerWindow || !gFreezeProbeMessage) return false;
  return PostMessageA(gMainHandlerWindow, gFreezeProbeMessage, reinterpret_cast<WPARAM>(answerTo), 0) != FALSE;
}

}  // namespace qel
