#include "Units.h"

// GCC's noipa also keeps callers from assuming anything of the body; clang
// (the fuzz build) has only noinline, which is enough there.
#if defined(__clang__)
#define ZF_PATCHABLE __attribute__((noinline, used))
#else
#define ZF_PATCHABLE __attribute__((noipa, used))
#endif

namespace zf {

// Both are patched at run time by the exception reporter (calls inside them
// are redirected): keep them out of line.
ZF_PATCHABLE void TUnitTable::Initialize() {
  try {
    for (; FDone < FUnits.size(); ++FDone)
      if (FUnits[FDone].Init) FUnits[FDone].Init();
  } catch (...) {
    Finalize();
    throw;
  }
}

ZF_PATCHABLE void TUnitTable::Finalize() noexcept {
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
