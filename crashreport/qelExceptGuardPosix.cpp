// Guarded sections where no structured exceptions exist: C++ exceptions only.
#include "qelExceptGuard.h"

namespace qel {

namespace {
thread_local std::uintptr_t tLastFault = 0;
}

bool RunGuardedBody(void (*body)(void*), void* context, TGuardFault* fault) {
  try {
    body(context);
    return true;
  } catch (...) {
    tLastFault = 0;
    if (fault) *fault = {};
    return false;
  }
}

std::uintptr_t LastGuardFaultAddress() { return tLastFault; }

}  // namespace qel
