// Readable-range table and its lookup.
#include "qelToolsRanges.h"

namespace qel {

bool IsReadableProtection(uint32_t state, uint32_t protect) {
  if (state != kMemCommit || (protect & 0x100) != 0) return false;  // PAGE_GUARD
  switch (protect & 0xFF) {
    case 0x02:  // PAGE_READONLY
    case 0x04:  // PAGE_READWRITE
    case 0x08:  // PAGE_WRITECOPY
    case 0x10:  // PAGE_EXECUTE
    case 0x20:  // PAGE_EXECUTE_READ
    case 0x40:  // PAGE_EXECUTE_READWRITE
    case 0x80:  // PAGE_EXECUTE_WRITECOPY
      return true;
    default:
      return false;
  }
}

void AppendRegion(TRangeTable& table, uintptr_t base, uintptr_t size, bool readable) {
  if (!table.empty() && table.back().Readable == readable && table.back().End == base) {
    table.back().End = base + size;
    return;
  }
  if (table.size() == table.capacity()) table.reserve(table.empty() ? 64 : table.size() * 3 / 2);
  table.push_back({base, base + size, readable});
}

namespace {

// Probe search: start in the middle and move by a step that halves, rounding
// up; after the first move by a step of 1 one more probe decides.
const TReadableRange* FindRange(const TRangeTable& t, uintptr_t address) {
  const size_t count = t.size();
  if (count == 0) return nullptr;
  auto holds = [&](size_t i) { return address >= t[i].Start && address < t[i].End; };
  size_t probe = count / 2;
  size_t step = (probe + 2) / 2;
  for (bool lastMove = false;; step = (step + 1) / 2) {
    if (holds(probe)) return &t[probe];
    if (address < t[probe].Start)
      probe = probe > step ? probe - step : 0;
    else
      probe = probe + step < count - 1 ? probe + step : count - 1;
    if (lastMove) return holds(probe) ? &t[probe] : nullptr;
    lastMove = step == 1;
  }
}

}  // namespace

bool IsRangeReadable(const TRangeTable* table, uintptr_t address, size_t /*length*/) {
  if (table == nullptr) return false;
  const TReadableRange* r = FindRange(*table, address);
  return r != nullptr && r->Readable;
}

bool IsSpanReadable(const TRangeTable* table, uintptr_t address, size_t length) {
  if (table == nullptr) return false;
  const TReadableRange* r = FindRange(*table, address);
  // Neighbouring readable regions are merged, so one range holds every readable span.
  return r != nullptr && r->Readable && length <= r->End - address;
}

}  // namespace qel
