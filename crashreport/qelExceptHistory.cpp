#include "qelExceptHistory.h"

#include <chrono>

namespace qel {

namespace {
// Seconds from 1601-01-01 to 1970-01-01.
constexpr uint64_t kUnixEpochIn1601Seconds = 11644473600ull;
TExceptionHistory gHistory = {};
}  // namespace

uint64_t NowSeconds() {
  const auto since1970 = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return kUnixEpochIn1601Seconds + static_cast<uint64_t>(since1970.count());
}

TExceptionHistory& ExceptionTimeHistory() { return gHistory; }

void PushExceptionTime(TExceptionHistory& history, uint64_t now) {
  for (int i = kHistorySize - 1; i > 0; --i) history[i] = history[i - 1];
  history[0] = now;
}

bool AutoActionDueAt(const TExceptionHistory& history, uint32_t n, uint64_t now) {
  if (n == 0) return false;
  if (n == 1) return true;
  // Oldest first: the first empty or too old entry decides.
  for (int i = kHistorySize - 1; i >= 0; --i) {
    if (history[i] == 0) return false;
    // A stamp from the future (clock set back) counts as within the window.
    if (now > history[i] && now - history[i] > n) return false;
  }
  return true;
}

bool AutoActionDue(uint32_t n) { return AutoActionDueAt(gHistory, n, NowSeconds()); }

}  // namespace qel
