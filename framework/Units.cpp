#include "Units.h"

namespace zf {

// Both are patched at run time by the exception reporter (calls inside them
// are redirected): keep them out of line.
__attribute__((noipa, used)) void TUnitTable::Initialize() {
  try {
    for (; FDone < FUnits.size(); ++FDone)
      if (FUnits[FDone].Init) FUnits[FDone].Init();
  } catch (...) {
    Finalize();
    throw;
  }
}

__attribute__((noipa, used)) void TUnitTable::Finalize() noexcept {
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
