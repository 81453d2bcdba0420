// Linking this unit puts the disassembly of the faulting routine into the bug
// report: it stores the listing routine in the reporter's setting.
#include "qelDisAsmListing.h"
#include "qelExceptSettings.h"

namespace qel {
namespace {
const bool kLinked = (DisAsmListingRoutine = &ParseFunction, true);
}  // namespace
}  // namespace qel
