#include "qelStackTraceCore.h"

#include <algorithm>

namespace qel {

bool FollowsCallBytes(const std::uint8_t (&b)[8]) {
  // b[k] is the byte at value - 8 + k: b[8 - n] is "b[-n]".
  if (b[3] == 0xE8) return true;                       // call rel32
  for (int n : {2, 3, 4, 6, 7}) {                      // FF /2, FF /3 with ModR/M + 0..5 bytes
    if (b[8 - n] == 0xFF && ((b[8 - n + 1] >> 4) & 3) == 1) return true;
  }
  return b[1] == 0x9A;                                 // call ptr16:32
}

std::int32_t PrevLiveItem(const TTraceItems& items, std::int32_t index) {
  for (std::int32_t i = index - 1; i >= 0; --i)
    if (!items[static_cast<std::size_t>(i)].invalid) return i;
  return -1;
}

void RemoveStackLinksTo(TTraceItems& items, std::int32_t item, std::int32_t target) {
  for (auto& list : items[static_cast<std::size_t>(item)].lists) {
    auto& links = list.links;
    links.erase(std::remove_if(links.begin(), links.end(), [&](const TTraceLink& l) { return l.target == target; }),
                links.end());
    list.best = -1;
  }
}

void DropStackItem(TTraceItems& items, std::int32_t item) {
  auto& it = items[static_cast<std::size_t>(item)];
  if (it.forced) return;
  it.invalid = true;
  for (auto& list : it.lists)
    for (const auto& link : list.links)
      if (link.target >= 0 && static_cast<std::size_t>(link.target) < items.size() && link.target != item)
        RemoveStackLinksTo(items, link.target, item);
  for (auto& list : it.lists) {
    list.links.clear();
    list.best = -1;
  }
}

namespace {

// True when x and the k live items before it repeat the run that ends at y.
bool RemoveRecursionAt(TTraceItems& items, std::int32_t x, int mode) {
  const TraceAddress address = items[static_cast<std::size_t>(x)].address;
  std::int32_t y = PrevLiveItem(items, x);
  std::size_t k = 0;
  while (y >= 0 && items[static_cast<std::size_t>(y)].address != address) {
    if (++k > kMaxRecursionPeriod) return false;
    y = PrevLiveItem(items, y);
  }
  if (y < 0) return false;
  std::int32_t px = PrevLiveItem(items, x);
  std::int32_t py = PrevLiveItem(items, y);
  for (std::size_t i = 0; i < k; ++i) {
    if (py < 0) return false;  // fewer than k live items before y
    if (items[static_cast<std::size_t>(px)].address != items[static_cast<std::size_t>(py)].address) return false;
    px = PrevLiveItem(items, px);
    py = PrevLiveItem(items, py);
  }
  std::int32_t r = x;
  // One address twice in a row is one frame, its return address also left
  // above it (a stale copy): the frame-chain anchor is the one to keep.
  if (k == 0 && items[static_cast<std::size_t>(x)].forced && !items[static_cast<std::size_t>(y)].forced) r = y;
  for (std::size_t i = 0; i <= k; ++i) {
    const std::int32_t prev = PrevLiveItem(items, r);
    auto& it = items[static_cast<std::size_t>(r)];
    it.forced = false;
    if (mode == 1)
      DropStackItem(items, r);
    else
      it.invalid = true;
    r = prev;
  }
  return true;
}

}  // namespace

void RemoveRecursion(TTraceItems& items, int mode) {
  for (;;) {
    bool removed = false;
    for (std::int32_t x = static_cast<std::int32_t>(items.size()) - 1; x >= 1; --x) {
      if (items[static_cast<std::size_t>(x)].invalid) continue;
      if (RemoveRecursionAt(items, x, mode)) removed = true;
    }
    if (!removed) return;
  }
}

namespace {

std::int64_t Signed(std::uint64_t v) { return static_cast<std::int64_t>(v); }

// The weight a link adds on top of what its target's chain weighs.
std::uint64_t LinkWeight(const TTraceItems& items, const TTraceLink& link, std::int32_t p, std::uint64_t w, bool flag,
                         const TFunctionConfirmed& confirmed) {
  if (link.function < 0) {
    const auto& a = items[static_cast<std::size_t>(p)];
    const auto& c = items[static_cast<std::size_t>(link.target)];
    std::uint64_t e;
    if (!a.mapKnown || c.module < 0 || a.module < 0)
      e = 1;
    else
      e = (a.mapLine > 0 && c.mapLine > 0) ? 1024 : 256;
    return (w & ~kWeightLastByFunction) + e;
  }
  std::uint64_t add = confirmed(link.function) ? 0x1000000 : 0x1000;
  if (flag || (w & kWeightLastByFunction) != 0) add <<= 16;
  return w + add;
}

}  // namespace

std::uint64_t BestChainWeight(TTraceItems& items, bool firstHop, std::int32_t item, std::int32_t target,
                              const TFunctionConfirmed& confirmed) {
  // Depth-first over the links towards target with an explicit stack: a deep
  // stack must not need as deep a recursion here.
  struct Frame {
    std::int32_t p;
    bool flag;
    std::size_t next;
    std::uint64_t best;
  };
  const auto n = static_cast<std::int32_t>(items.size());
  auto listOf = [&](std::int32_t p) -> TTraceLinkList& {
    return items[static_cast<std::size_t>(p)].lists[target > p ? 0 : 1];
  };
  auto beyond = [&](std::int32_t p, std::int32_t c) {
    if (c < 0 || c >= n || c == p) return true;
    return target > p ? (c < p || c > target) : (c > p || c < target);
  };
  std::vector<Frame> stack;
  stack.push_back({item, firstHop, 0, kWeightStart});
  listOf(item).best = -1;
  std::uint64_t returned = 0;
  bool haveReturned = false;
  std::uint64_t result = kWeightStart;
  while (!stack.empty()) {
    const std::size_t fi = stack.size() - 1;
    bool descended = false;
    for (;;) {
      Frame& f = stack[fi];
      auto& list = listOf(f.p);
      if (f.next >= list.links.size()) break;
      TTraceLink& link = list.links[f.next];
      if (link.target == -1 || beyond(f.p, link.target)) {
        ++f.next;
        continue;
      }
      if (link.weight == 0) {
        std::uint64_t w;
        if (haveReturned) {
          w = returned;
          haveReturned = false;
        } else if (link.target == target) {
          w = (link.function < 0 ? std::uint64_t{0x50000000} : std::uint64_t{0x70000000}) << 32;
        } else {
          const bool childFlag = f.flag && link.function >= 0;
          const std::int32_t c = link.target;
          listOf(c).best = -1;
          stack.push_back({c, childFlag, 0, kWeightStart});
          descended = true;
          break;
        }
        link.weight = LinkWeight(items, link, f.p, w, f.flag, confirmed);
      }
      if (Signed(link.weight) > Signed(f.best)) {
        f.best = link.weight;
        list.best = static_cast<std::int32_t>(f.next);
      }
      ++f.next;
    }
    if (descended) continue;
    result = stack.back().best;
    stack.pop_back();
    if (!stack.empty()) {
      returned = result;
      haveReturned = true;
    }
  }
  return result;
}

void MarkChain(TTraceItems& items, std::int32_t item, std::int32_t target) {
  std::int32_t p = item;
  for (std::size_t guard = 0; guard <= items.size(); ++guard) {
    const auto& list = items[static_cast<std::size_t>(p)].lists[target > p ? 0 : 1];
    if (list.best < 0 || static_cast<std::size_t>(list.best) >= list.links.size()) return;
    const std::int32_t n = list.links[static_cast<std::size_t>(list.best)].target;
    if (n < 0 || n == target || static_cast<std::size_t>(n) >= items.size()) return;
    items[static_cast<std::size_t>(n)].invalid = false;
    p = n;
  }
}

void RealizeOptimalLinkChains(TTraceItems& items, std::int32_t a, std::int32_t b, const TFunctionConfirmed& confirmed) {
  if (b - a < 2) return;
  const std::uint64_t w1 = a == -1 ? 0 : BestChainWeight(items, true, a, b, confirmed);
  const std::uint64_t w2 = (w1 & kWeightReached) != 0 ? 0 : BestChainWeight(items, true, b, a, confirmed);
  for (std::int32_t i = a + 1; i < b; ++i) items[static_cast<std::size_t>(i)].invalid = true;
  if (Signed(w2) < Signed(w1))
    MarkChain(items, a, b);
  else
    MarkChain(items, b, a);
}

void SelectChains(TTraceItems& items, const TFunctionConfirmed& confirmed, const std::function<void(int)>& progress) {
  const auto count = static_cast<std::int32_t>(items.size());
  if (count == 0) return;
  const std::int32_t last = count - 1;
  std::int32_t b = last;
  for (std::int32_t i = last - 1; i >= 0; --i) {
    if (!items[static_cast<std::size_t>(i)].forced) continue;
    RealizeOptimalLinkChains(items, i, b, confirmed);
    if (progress) progress(650 + (last - i) * 350 / count);
    b = i;
  }
  RealizeOptimalLinkChains(items, -1, b, confirmed);
}

std::string Hex8(TraceAddress value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) s[static_cast<std::size_t>(i)] = kDigits[value & 15];
  return s;
}

namespace {

std::string HexMin(TraceAddress value) {
  std::string s = Hex8(value);
  const auto first = s.find_first_not_of('0');
  return first == std::string::npos ? "0" : s.substr(first);
}

std::string PadLeft(const std::string& s, std::size_t width, char fill = ' ') {
  std::string out;
  if (s.size() < width) out.assign(width - s.size(), fill);
  out.append(s);
  return out;
}
std::string PadRight(const std::string& s, std::size_t width) {
  std::string out = s;
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out;
}

bool HasOffset(const TTraceItem& it, const TComposeOptions& o) {
  return o.showRelativeAddresses && it.functionStart != 0 && it.functionStart < it.shownAddress;
}

std::string LineText(const TTraceItem& it, const TComposeOptions& o) {
  if (o.showRelativeLines && it.absLine > 0) {
    std::string text(1, '+');
    return text.append(std::to_string(it.line));
  }
  if (it.line > 0) return std::to_string(it.line);
  return {};
}

}  // namespace

std::string ComposeResult(const TTraceItems& items, const TComposeOptions& o) {
  const auto count = static_cast<std::int32_t>(items.size());
  auto special = [&](std::int32_t i) {
    return items[static_cast<std::size_t>(i)].final || (i == 0 && o.haveCreationAddress);
  };
  auto shown = [&](std::int32_t i) {
    const auto& it = items[static_cast<std::size_t>(i)];
    if (it.invalid) return false;
    if (special(i)) return true;
    // A frame on its function's first line has relative line 0: its absolute line counts.
    const bool hasLine = it.line > 0 || it.absLine > 0;
    return !it.functionName.empty() && (hasLine || !o.hideItemsWithoutLineNumber);
  };
  std::size_t offsetDigits = 0, moduleWidth = 0, unitWidth = 0, absWidth = 0, lineWidth = 0;
  bool anyOffset = false;
  for (std::int32_t i = count - 1; i >= 0; --i) {
    if (!shown(i)) continue;
    const auto& it = items[static_cast<std::size_t>(i)];
    if (HasOffset(it, o)) {
      anyOffset = true;
      offsetDigits = std::max(offsetDigits, HexMin(it.shownAddress - it.functionStart).size());
    }
    moduleWidth = std::max(moduleWidth, it.moduleName.size());
    unitWidth = std::max(unitWidth, it.unitName.size());
    if (it.absLine > 0) absWidth = std::max(absWidth, std::to_string(it.absLine).size() + 1);
    lineWidth = std::max(lineWidth, LineText(it, o).size());
  }
  ++moduleWidth;
  ++unitWidth;
  ++lineWidth;
  std::string out;
  TraceAddress previous = 0;
  bool havePrevious = false;
  for (std::int32_t i = count - 1; i >= 0; --i) {
    if (!shown(i)) continue;
    const auto& it = items[static_cast<std::size_t>(i)];
    if (!special(i) && havePrevious && !out.empty() && it.shownAddress == previous) continue;
    out.append("\r\n").append(Hex8(it.shownAddress)).append(1, ' ');
    if (anyOffset) {
      const TraceAddress offset = HasOffset(it, o) ? it.shownAddress - it.functionStart : 0;
      out.append(1, '+').append(PadLeft(HexMin(offset), offsetDigits, '0')).append(1, ' ');
    }
    out.append(PadRight(it.moduleName, moduleWidth)).append(PadRight(it.unitName, unitWidth));
    if (absWidth > 0) out.append(PadLeft(it.absLine > 0 ? std::to_string(it.absLine) : std::string(), absWidth - 1)).append(1, ' ');
    out.append(PadLeft(LineText(it, o), lineWidth - 1)).append(1, ' ');
    out.append(it.functionName);
    previous = it.shownAddress;
    havePrevious = true;
  }
  if (out.size() >= 2) out.erase(0, 2);
  return out;
}

std::string AddressText(TraceAddress address, bool found, const std::string& moduleFile, const std::string& unit,
                        std::int32_t line, const std::string& publicName) {
  std::string s = Hex8(address);
  if (!found) return s.append(" ???");
  s.append(1, ' ').append(moduleFile).append(1, ' ').append(unit).append(1, ' ');
  if (line != 0) s.append(std::to_string(line)).append(1, ' ');
  return s.append(publicName);
}

std::string InternalErrorPrefix(const std::string& step) { return std::string(">> internal error in ").append(step); }

}  // namespace qel
