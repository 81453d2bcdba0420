// The program's unit initialization table: each unit contributes an init and a
// fini routine; the entry runs the inits in table order, the finis in reverse.
#pragma once
#include <cstddef>
#include <span>

namespace zf {

struct TUnitEntry {
  const char* Name;
  void (*Init)();  // may be null
  void (*Fini)();  // may be null
};

class TUnitTable {
public:
  explicit TUnitTable(std::span<const TUnitEntry> units) : FUnits(units) {}
  ~TUnitTable() { Finalize(); }
  TUnitTable(const TUnitTable&) = delete;
  TUnitTable& operator=(const TUnitTable&) = delete;

  // Runs the inits in order. If one raises, the units already initialized are
  // finalized (in reverse) and the exception goes on to the caller.
  void Initialize();
  // Runs the finis of the initialized units in reverse order; once.
  void Finalize() noexcept;
  size_t InitializedCount() const { return FDone; }

private:
  std::span<const TUnitEntry> FUnits;
  size_t FDone = 0;
};

}  // namespace zf
