// Readable-range table: which address ranges of the own process could be read
// at one moment, built from the system's region list, and its lookup. The
// table is portable; SnapshotReadableRanges (qelTools.h) fills it from VirtualQuery.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qel {

struct TReadableRange {
  uintptr_t Start = 0;
  uintptr_t End = 0;  // exclusive
  bool Readable = false;
};

// Sorted by address, from 0 upward without holes; neighbours differ in readability.
using TRangeTable = std::vector<TReadableRange>;

inline constexpr uint32_t kMemCommit = 0x1000;

// Committed, and a protection that lets reads through: read-only, read-write,
// write-copy and their executable forms. Guard and no-access pages do not,
// and the cache modifier bits do not matter.
bool IsReadableProtection(uint32_t state, uint32_t protect);

// Adds one region (the next one up from the table's end).
void AppendRegion(TRangeTable& table, uintptr_t base, uintptr_t size, bool readable);

// Readable flag of the range that holds address; false when none does. Only
// the address is looked up: the length does not widen the check.
bool IsRangeReadable(const TRangeTable* table, uintptr_t address, size_t length);

// True when every byte of [address, address + length) lies in readable ranges.
bool IsSpanReadable(const TRangeTable* table, uintptr_t address, size_t length);

}  // namespace qel
