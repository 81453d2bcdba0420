// Weighted progress across the phases of one report.
#include "qelProgress.h"

#include <algorithm>

namespace qel {

std::unique_ptr<TTraceProgress> NewTraceProgress(TProgressClock clock, TProgressViewFactory makeView) {
  auto progress = std::make_unique<TTraceProgress>();
  progress->Clock = std::move(clock);
  progress->MakeView = std::move(makeView);
  progress->StartTick = progress->Clock ? progress->Clock() : 0;
  return progress;
}

void AddProgressPhase(TTraceProgress* progress, uint64_t weight) {
  if (progress == nullptr) return;
  progress->Phases.push_back({progress->TotalWeight, weight});
  progress->TotalWeight += weight;
}

void SetPhaseProgress(TTraceProgress* progress, int perMille) {
  if (progress == nullptr || progress->StartTick == 0 || progress->CurrentPhase >= progress->Phases.size() ||
      progress->TotalWeight <= progress->Offset)
    return;
  const auto p = static_cast<uint64_t>(std::clamp(perMille, 0, 1000));
  const auto& phase = progress->Phases[progress->CurrentPhase];
  const uint64_t done = phase.Start + phase.Weight * p / 1000;
  const uint64_t remaining = progress->TotalWeight - progress->Offset;
  uint64_t overall = done > progress->Offset ? (done - progress->Offset) * 1000 / remaining : 0;
  if (!progress->ProgressBar && progress->MakeView &&
      progress->Clock() - progress->StartTick > kProgressDelayMs && overall < 500) {
    progress->ProgressBar = progress->MakeView();
    progress->Offset = done;
    overall = 0;
  }
  if (progress->ProgressBar) progress->ProgressBar->ShowPosition(static_cast<int>(std::min<uint64_t>(overall, 1000)));
}

void EndProgressPhase(TTraceProgress* progress) {
  if (progress == nullptr) return;
  SetPhaseProgress(progress, 1000);
  ++progress->CurrentPhase;
}

void FreeTraceProgress(std::unique_ptr<TTraceProgress>& progress) { progress.reset(); }

int ProgressPercent(int perMille) { return (perMille + 5) / 10; }

}  // namespace qel
