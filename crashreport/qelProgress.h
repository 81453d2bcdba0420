// Progress of the stack tracing across weighted phases (one per traced thread).
// A progress view appears only when the work has taken over 750 ms and is less
// than half done; it then spans the work that remains. Portable: the clock and
// the view are given by the caller (qelProgressBar.h has the Windows ones).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace qel {

class IProgressView {
public:
  virtual ~IProgressView() = default;
  virtual void ShowPosition(int perMille) = 0;
};

using TProgressClock = std::function<uint32_t()>;  // milliseconds, wrapping like GetTickCount
using TProgressViewFactory = std::function<std::unique_ptr<IProgressView>()>;

struct TTraceProgress {
  struct Phase {
    uint64_t Start = 0;
    uint64_t Weight = 0;
  };
  std::unique_ptr<IProgressView> ProgressBar;
  uint32_t StartTick = 0;
  std::vector<Phase> Phases;
  uint64_t TotalWeight = 0;
  size_t CurrentPhase = 0;
  uint64_t Offset = 0;  // work already done when the view appeared
  TProgressClock Clock;
  TProgressViewFactory MakeView;
};

inline constexpr uint32_t kProgressDelayMs = 750;

std::unique_ptr<TTraceProgress> NewTraceProgress(TProgressClock clock, TProgressViewFactory makeView);
void AddProgressPhase(TTraceProgress* progress, uint64_t weight);
// Per mille of the current phase (clamped to 0..1000).
void SetPhaseProgress(TTraceProgress* progress, int perMille);
void EndProgressPhase(TTraceProgress* progress);
void FreeTraceProgress(std::unique_ptr<TTraceProgress>& progress);

// The percent text of a position: (p + 5) div 10 and "%".
int ProgressPercent(int perMille);

}  // namespace qel
