// Portable half of the stack tracer: the candidate items and their links, the
// return-address byte test, recursion removal, the choice of the best chain of
// links between anchors and the text columns of the trace. The Windows half
// (qelStackTrace.h) collects the items from a live stack and names them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qel {

using TraceAddress = std::uint32_t;

// A link between two items: the caller's call site and, where known, the
// function called there.
struct TTraceLink {
  std::int32_t target = -1;       // item index, -1 = none (the link only carries call site and function)
  TraceAddress callSite = 0;      // the call instruction
  bool knownCall = false;         // the call's target is known
  TraceAddress callee = 0;
  std::int32_t function = -1;     // function cache index, -1 none
  std::uint64_t weight = 0;       // 0 = not yet computed
};

struct TTraceLinkList {
  std::vector<TTraceLink> links;
  std::int32_t best = -1;
};

// One candidate return address. Index 0 is the oldest frame (nearest the
// stack top); the newest is last.
struct TTraceItem {
  TraceAddress address = 0;
  bool forced = false;   // an anchor, kept whatever the links say
  bool final = false;    // the item that ends the trace (the exception address)
  bool chainSlot = false; // read from a slot of the frame-pointer chain
  std::int32_t module = -1;
  TTraceLinkList lists[2];  // 0: towards later items (callees), 1: towards earlier items
  bool invalid = false;
  // What the chain weights need: the module is known and has a map, and the
  // map's line of address - 1 (0 = none).
  bool mapKnown = false;
  std::int32_t mapLine = 0;
  // Output fields.
  TraceAddress shownAddress = 0;
  std::int32_t absLine = 0;
  std::int32_t line = 0;
  std::string moduleName;
  std::string unitName;
  std::string functionName;
  TraceAddress functionStart = 0;
};

using TTraceItems = std::vector<TTraceItem>;

// The most items one trace keeps; beyond it the middle of the stack is
// dropped (the oldest quarter and the newest rest stay).
inline constexpr std::size_t kMaxTraceItems = 8192;
// Recursion removal looks this many live items back for a repeated address.
inline constexpr std::size_t kMaxRecursionPeriod = 512;

// b[0..7] are the 8 bytes before a value: true when they end in a call that
// returns to the value (E8 rel32, FF /2 or FF /3 of 2 to 7 bytes, 9A ptr16:32).
bool FollowsCallBytes(const std::uint8_t (&b)[8]);

// The previous live item before index (or -1).
std::int32_t PrevLiveItem(const TTraceItems& items, std::int32_t index);

// Removes the first link of the list pointing at target.
void RemoveStackLinksTo(TTraceItems& items, std::int32_t item, std::int32_t target);
// Marks the item invalid, removes the links pointing back at it and empties its lists.
void DropStackItem(TTraceItems& items, std::int32_t item);

// Collapses repeated runs (A B A B -> A B); mode 1 drops the removed items
// with their links, mode 0 only marks them invalid. Repeats until a pass
// removes nothing.
void RemoveRecursion(TTraceItems& items, int mode);

// Weights of chains; confirmed tells whether a function index is confirmed.
using TFunctionConfirmed = std::function<bool(std::int32_t function)>;
inline constexpr std::uint64_t kWeightStart = std::uint64_t{0x10000000} << 32;
inline constexpr std::uint64_t kWeightReached = std::uint64_t{0x40000000} << 32;
inline constexpr std::uint64_t kWeightLastByFunction = std::uint64_t{0x20000000} << 32;

std::uint64_t BestChainWeight(TTraceItems& items, bool firstHop, std::int32_t item, std::int32_t target,
                              const TFunctionConfirmed& confirmed);
void MarkChain(TTraceItems& items, std::int32_t item, std::int32_t target);
void RealizeOptimalLinkChains(TTraceItems& items, std::int32_t a, std::int32_t b, const TFunctionConfirmed& confirmed);
// Chain selection over all forced anchors; progress (per mille of the whole
// trace, 650..1000) is reported when given.
void SelectChains(TTraceItems& items, const TFunctionConfirmed& confirmed,
                  const std::function<void(int perMille)>& progress = {});

// The text of the trace (no trailing line break): one line per shown live item.
struct TComposeOptions {
  bool hideItemsWithoutLineNumber = false;
  bool showRelativeAddresses = false;
  bool showRelativeLines = false;
  bool haveCreationAddress = false;
};
std::string ComposeResult(const TTraceItems& items, const TComposeOptions& options);

// Lower-case hexadecimal, 8 digits.
std::string Hex8(TraceAddress value);
// AddressToText's text from what the map lookup gave (found false: " ???").
std::string AddressText(TraceAddress address, bool found, const std::string& moduleFile, const std::string& unit,
                        std::int32_t line, const std::string& publicName);
// ">> internal error in " + step.
std::string InternalErrorPrefix(const std::string& step);

}  // namespace qel
