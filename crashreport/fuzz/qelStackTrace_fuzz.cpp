// Arbitrary item graphs (addresses, anchors, links in both directions, also
// links that point the wrong way or out of range) through recursion removal,
// chain selection and the text.
#include <cstddef>
#include <cstdint>

#include "qelStackTraceCore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t pos = 0;
  auto next = [&]() -> std::uint8_t { return pos < size ? data[pos++] : 0; };
  const std::size_t count = next() % 64;
  qel::TTraceItems items(count);
  for (auto& it : items) {
    it.address = next() % 8;
    const std::uint8_t flags = next();
    it.forced = flags & 1;
    it.final = flags & 2;
    it.mapKnown = flags & 4;
    it.module = (flags & 8) ? 0 : -1;
    it.mapLine = flags >> 5;
    it.functionName = (flags & 16) ? "f" : "";
    it.shownAddress = it.address;
  }
  while (pos + 3 <= size && count > 0) {
    const std::size_t from = next() % count;
    const std::uint8_t l = next();
    const std::uint8_t f = next();
    qel::TTraceLink link;
    link.target = static_cast<std::int32_t>(l % (count + 2)) - 1;
    link.function = static_cast<std::int32_t>(f % 4) - 1;
    items[from].lists[(l >> 7) & 1].links.push_back(link);
  }
  const qel::TFunctionConfirmed confirmed = [](std::int32_t fn) { return fn == 0; };
  qel::RemoveRecursion(items, 1);
  qel::SelectChains(items, confirmed);
  qel::RemoveRecursion(items, 0);
  qel::TComposeOptions o;
  o.showRelativeAddresses = true;
  (void)qel::ComposeResult(items, o);
  return 0;
}
