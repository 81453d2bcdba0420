// The raw stack record made at throw time, and the hook on the C++ throw path
// (the programs link with -Wl,--wrap=__cxa_throw): every throw records the
// return-address candidates of its stack before the stack unwinds.
#include <windows.h>

#include <array>
#include <cstring>

#include "qelStackTrace.h"

namespace qel {

void ScanBcbStack(std::uintptr_t framePointer, std::uintptr_t stackStart, TDABcbStackItem& list) {
  list.clear();
  const std::uintptr_t start = stackStart != 0 ? stackStart : CurrentStackPointer();
  const std::uintptr_t top = ThreadStackTop();
  if (top <= start) return;
  std::unique_ptr<TRangeTable, void (*)(TRangeTable*)> table(SnapshotReadableRanges(), &FreeReadableRanges);
  if (!table || !IsSpanReadable(table.get(), start, top - start)) return;
  try {
    const TPageCache memory(table.get());
    auto dword = [&memory](std::uintptr_t at) {
      std::uint32_t v = 0;
      memory.ReadAt(at, &v, 4);
      return v;
    };
    std::vector<std::uintptr_t> chain;
    std::uintptr_t fp = framePointer;
    if (fp + 4 > start && fp + 4 < top) chain.push_back(fp + 4);
    while (fp > start && fp + 4 < top && chain.size() < kMaxTraceItems) {
      const std::uintptr_t next = dword(fp);
      if (next <= fp) break;
      if (next + 4 > start && next + 4 < top) chain.push_back(next + 4);
      fp = next;
    }
    std::ptrdiff_t ci = static_cast<std::ptrdiff_t>(chain.size()) - 1;
    list.reserve(64);
    for (std::uintptr_t slot = (top - 4) & ~std::uintptr_t{3}; slot >= start && slot < top; slot -= 4) {
      const std::uint32_t value = dword(slot);
      while (ci >= 0 && chain[static_cast<std::size_t>(ci)] > slot) --ci;
      const bool frame = ci >= 0 && chain[static_cast<std::size_t>(ci)] == slot;
      if (value > 7 && FollowsCallInstruction(value, memory)) {
        list.push_back({static_cast<std::uint8_t>(frame ? 1 : 0), value});
        if (frame) slot -= 4;  // the saved frame pointer below it
      }
      if (slot < 8) break;
    }
    list.shrink_to_fit();
  } catch (...) {
    list.clear();
  }
}

void BcbStackDump(std::uintptr_t framePointer, TDABcbStackItem& list) { ScanBcbStack(framePointer, 0, list); }

std::vector<std::uint8_t> BcbStackBlock(const TDABcbStackItem& list) {
  std::vector<std::uint8_t> block(4 + list.size() * sizeof(TBcbStackItem));
  const auto count = static_cast<std::uint32_t>(list.size());
  std::memcpy(block.data(), &count, 4);
  if (!list.empty()) std::memcpy(block.data() + 4, list.data(), list.size() * sizeof(TBcbStackItem));
  return block;
}

namespace {

// The C++ run-time calls an exception object's destructor as a member
// function (object in ecx).
using TThrowDestructor = void(__attribute__((thiscall)) *)(void*);

// The throws whose objects are alive, of every thread: an object can be
// reported on another thread than its thrower's (a stored exception), and
// the exception thread never sees the thrower's thread-local data.
struct TThrowRecord {
  const void* object = nullptr;  // nil: free
  std::uint64_t serial = 0;      // newer throws have larger numbers
  std::uintptr_t site = 0;
  TThrowDestructor destructor = nullptr;
  TDABcbStackItem stack;
};
constexpr std::size_t kThrowRecords = 64;
volatile LONG gThrowLock = 0;
std::array<TThrowRecord, kThrowRecords> gThrows;
std::uint64_t gThrowSerial = 0;
thread_local bool tInHook = false;

// Held for a few loads and stores only (the system's slim locks are newer
// than the oldest system the programs run on).
class TThrowLock {
public:
  TThrowLock() {
    while (InterlockedCompareExchange(&gThrowLock, 1, 0) != 0) Sleep(0);
  }
  ~TThrowLock() { InterlockedExchange(&gThrowLock, 0); }
  TThrowLock(const TThrowLock&) = delete;
  TThrowLock& operator=(const TThrowLock&) = delete;
};

// The newest live record of object, under the lock; null for none. An
// address can be taken by a later object before an earlier record ends
// (one whose destructor never ran): the newest throw is the one in flight.
TThrowRecord* NewestRecordOf(const void* object) {
  TThrowRecord* newest = nullptr;
  for (auto& r : gThrows)
    if (r.object != nullptr && r.object == object && (newest == nullptr || r.serial > newest->serial)) newest = &r;
  return newest;
}

// Takes the record; false when every record is taken by a live object (the
// throw then goes unrecorded, so no object's destructor is ever lost).
bool StoreThrowRecord(const void* object, std::uintptr_t site, TThrowDestructor destructor, TDABcbStackItem& stack) {
  const TThrowLock lock;
  for (auto& r : gThrows)
    if (r.object == nullptr) {
      r.object = object;
      r.serial = ++gThrowSerial;
      r.site = site;
      r.destructor = destructor;
      r.stack.swap(stack);
      return true;
    }
  return false;
}

// Stands in for a recorded object's destructor: the record ends with the
// object, then the object's own destructor runs.
__attribute__((thiscall)) void ThrownObjectEnds(void* object) {
  TThrowDestructor destructor = nullptr;
  TDABcbStackItem stack;
  {
    const TThrowLock lock;
    if (TThrowRecord* r = NewestRecordOf(object)) {
      destructor = r->destructor;
      r->object = nullptr;
      r->destructor = nullptr;
      stack.swap(r->stack);  // freed outside the lock
    }
  }
  if (destructor != nullptr) destructor(object);
}

}  // namespace

std::vector<std::uint8_t> ThrowTimeStackOf(const void* exceptionObject, std::uintptr_t* throwSite) {
  if (throwSite != nullptr) *throwSite = 0;
  if (exceptionObject == nullptr) return {};
  const TThrowLock lock;
  const TThrowRecord* r = NewestRecordOf(exceptionObject);
  if (r == nullptr) return {};
  if (throwSite != nullptr) *throwSite = r->site;
  return BcbStackBlock(r->stack);
}

}  // namespace qel

extern "C" {
[[noreturn]] void __real___cxa_throw(void* object, void* type, qel::TThrowDestructor destructor);

// Records the thrower's stack, from the slot that holds the return address
// into it, then throws as usual, with the record's end in front of the
// object's destructor.
[[noreturn]] __attribute__((noinline)) void __wrap___cxa_throw(void* object, void* type,
                                                               qel::TThrowDestructor destructor) {
  if (!qel::tInHook) {
    qel::tInHook = true;
    try {
      auto* frame = static_cast<std::uintptr_t*>(__builtin_frame_address(0));
      // The throw site: the call instruction before the return address.
      const auto ret = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
      std::uint8_t op = 0;
      const std::uintptr_t site =
          qel::SafeReadMemory(reinterpret_cast<const void*>(ret - 5), &op, 1) && op == 0xE8 ? ret - 5 : ret - 1;
      qel::TDABcbStackItem stack;
      qel::ScanBcbStack(frame[0], reinterpret_cast<std::uintptr_t>(frame + 1), stack);
      if (qel::StoreThrowRecord(object, site, destructor, stack)) destructor = &qel::ThrownObjectEnds;
    } catch (...) {
    }
    qel::tInHook = false;
  }
  __real___cxa_throw(object, type, destructor);
}
}
