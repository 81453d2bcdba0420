#include "Units.h"

namespace zf {

void TUnitTable::Initialize() {
  try {
    for (; FDone < FUnits.size(); ++FDone)
      if (FUnits[FDone].Init) FUnits[FDone].Init();
  } catch (...) {
    Finalize();
    throw;
  }
}

void TUnitTable::Finalize() noexcept {
  while (FDone > 0) {
    --FDone;
    if (FUnits[FDone].Fini) {
      try {
        FUnits[FDone].Fini();
      } catch (...) {
        // A failing finalization must not keep the others from running.
      }
    }
  }
}

}  // namespace zf
