// The exception-time history: when the last ten reported exceptions came,
// which decides the automatic close and restart. Portable.
#pragma once

#include <cstdint>

namespace qel {

inline constexpr int kHistorySize = 10;
using TExceptionHistory = uint64_t[kHistorySize];

// Seconds since 1 January 1601 UTC (a file time divided by 10,000,000).
uint64_t NowSeconds();

// The process's one history, newest first; all zero at start unless a
// restarted predecessor handed its history over.
TExceptionHistory& ExceptionTimeHistory();

// Shifts the history by one place (the oldest falls out) and stores now first.
void PushExceptionTime(TExceptionHistory& history, uint64_t now);

// n = 0: false; n = 1: true; n > 1: true only when all ten entries are set
// and none is more than n seconds older than now.
bool AutoActionDueAt(const TExceptionHistory& history, uint32_t n, uint64_t now);
// The same for the process's history and the current time.
bool AutoActionDue(uint32_t n);

}  // namespace qel
