#include "qelStackTrace.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "qelDisAsm.h"
#include "qelExceptGuard.h"
#include "qelFuncInfo.h"
#include "qelMapFile.h"
#include "qelTools.h"

namespace qel {

namespace {

// A call's callee and the routines it jumps on to, at most.
constexpr std::size_t kMaxTailCallees = 16;

struct TTraceModule {
  std::uintptr_t base = 0;
  std::string fileName;  // without path
  std::uintptr_t codeStart = 0, codeEnd = 0, dataStart = 0, dataEnd = 0;
  std::shared_ptr<const TMapFile> map;  // null when the module has none
  // Exported code addresses and the entry point, sorted; read once.
  std::vector<std::uintptr_t> exportStarts;
  bool exportsRead = false;
  bool InCode(std::uintptr_t a) const { return codeStart < a && a <= codeEnd; }
  bool InData(std::uintptr_t a) const { return dataStart < a && a <= dataEnd; }
};

struct TTraceFunction {
  std::int32_t module = -1;
  std::string name;
  FunctionInfo info;
  bool confirmed = false;
  bool invalid = false;
};

// Process-wide caches: modules and functions are analysed once per process.
struct TTraceCaches {
  std::vector<TTraceModule> modules;
  std::vector<TTraceFunction> functions;
  std::unordered_map<std::uintptr_t, std::int32_t> functionByEntry;
  std::uintptr_t dispatchMessage9x = 0;
  bool dispatchLooked = false;
};
std::unique_ptr<TTraceCaches> gCaches;
std::mutex gTraceLock;  // one trace at a time

TTraceCaches& Caches() {
  if (!gCaches) gCaches = std::make_unique<TTraceCaches>();
  return *gCaches;
}

std::string FileNameOnly(const std::string& path) {
  const auto slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ContainsNoCase(const std::string& text, const std::string& part) {
  auto lower = [](std::string v) {
    for (auto& c : v)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return v;
  };
  return lower(text).find(lower(part)) != std::string::npos;
}


// VirtualQuery answers kept for one trace: most candidates fall into a few regions.
class TRegionCache {
public:
  bool Query(std::uintptr_t address, MEMORY_BASIC_INFORMATION& mbi) {
    for (const auto& r : FRegions) {
      const auto base = reinterpret_cast<std::uintptr_t>(r.BaseAddress);
      if (address >= base && address - base < r.RegionSize) {
        mbi = r;
        return true;
      }
    }
    if (VirtualQuery(reinterpret_cast<const void*>(address), &mbi, sizeof mbi) != sizeof mbi) return false;
    if (FRegions.size() < 256) FRegions.push_back(mbi);
    return true;
  }

private:
  std::vector<MEMORY_BASIC_INFORMATION> FRegions;
};

struct TCallCheck {
  TraceAddress callee = 0;
  TraceAddress shown = 0;
  bool known = false;
};

class TTracer {
public:
  explicit TTracer(const TTraceStackParams& p) : P(p) {}
  std::string Run();

private:
  // --- caches
  bool CacheModule(std::uintptr_t base, std::int32_t& index);
  std::int32_t ModuleIndexOf(std::uintptr_t address);
  std::int32_t AnalyseAndCacheFunction(std::uintptr_t address, const std::string* name, std::int32_t module,
                                       bool acceptUnanalysable, bool confirm);
  void ConfirmFunctionAt(std::int32_t index);
  std::string FunctionNameOf(std::uintptr_t address, std::int32_t module);
  std::int32_t NearestExportBefore(std::int32_t module, std::uintptr_t address);
  bool Confirmed(std::int32_t f) const {
    const auto& fs = Caches().functions;
    return f >= 0 && static_cast<std::size_t>(f) < fs.size() && fs[static_cast<std::size_t>(f)].confirmed &&
           !fs[static_cast<std::size_t>(f)].invalid;
  }
  // --- collection
  void CollectFrameChain(std::uintptr_t fp);
  bool EvaluateStackSlot(std::optional<std::uintptr_t> slot, std::uintptr_t value, bool forcedByCaller, bool frameSlot);
  bool CheckCallTarget(std::int32_t f, TraceAddress expected, TraceAddress& value, TCallCheck& out,
                       bool forced);
  void CollectPossibleStackItems();
  // --- checks
  void LinkCallers(std::int32_t i);
  void LinkToCallees(std::int32_t i, TraceAddress callSite, TraceAddress callee, bool known,
                     bool confirmedMode);
  void DropFunctionLinks(std::int32_t f);
  void DropStaleBetweenFrames();
  std::int32_t FirstConfirmedLink(std::int32_t i) const;
  // --- output
  void FillFinalOutput();
  void Progress(int perMille) {
    if (P.progress != nullptr) SetPhaseProgress(P.progress, perMille);
  }
  bool ReadCode(std::uintptr_t at, void* buf, std::size_t n) const {
    return FReader->ReadAt(at, buf, n);
  }

  TTraceStackParams P;
  std::unique_ptr<TRangeTable, void (*)(TRangeTable*)> FTable{nullptr, &FreeReadableRanges};
  std::unique_ptr<TPageCache> FReader;  // every read of this trace
  TRegionCache FRegions;
  TOwnProcessSymbolizer FSymbols;
  TTraceItems FItems;
  std::vector<std::uintptr_t> FChain;  // frame-chain slots, rising
  std::ptrdiff_t FChainIndex = -1;
  std::uintptr_t FExe = reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr));
};

bool TTracer::CacheModule(std::uintptr_t base, std::int32_t& index) {
  auto& c = Caches();
  for (std::size_t i = 0; i < c.modules.size(); ++i)
    if (c.modules[i].base == base) {
      index = static_cast<std::int32_t>(i);
      return true;
    }
  index = -1;
  const IMAGE_NT_HEADERS* nt = PeNtHeaders(reinterpret_cast<HMODULE>(base));
  if (nt == nullptr) return false;
  TTraceModule m;
  m.base = base;
  char path[MAX_PATH] = {};
  if (GetModuleFileNameA(reinterpret_cast<HMODULE>(base), path, sizeof path) == 0) return false;
  m.fileName = FileNameOnly(path);
  const auto& oh = nt->OptionalHeader;
  IMAGE_SECTION_HEADER first{};
  const auto* sections = IMAGE_FIRST_SECTION(nt);
  if (nt->FileHeader.NumberOfSections > 0 && ReadCode(reinterpret_cast<std::uintptr_t>(sections), &first, sizeof first) &&
      (first.Characteristics & IMAGE_SCN_CNT_CODE) != 0) {
    m.codeStart = base + first.VirtualAddress;
    m.codeEnd = m.codeStart + first.Misc.VirtualSize;
  } else {
    m.codeStart = base + oh.BaseOfCode;
    m.codeEnd = m.codeStart + oh.SizeOfCode;
  }
  m.dataStart = base + oh.BaseOfData;
  m.dataEnd = m.dataStart + oh.SizeOfInitializedData + oh.SizeOfUninitializedData;
  auto map = MapFileForAddress(base);
  if (map && map->Loaded()) m.map = std::move(map);
  c.modules.push_back(std::move(m));
  index = static_cast<std::int32_t>(c.modules.size() - 1);
  return true;
}

std::int32_t TTracer::ModuleIndexOf(std::uintptr_t address) {
  const auto& ms = Caches().modules;
  for (std::size_t i = 0; i < ms.size(); ++i)
    if (ms[i].InCode(address) || ms[i].InData(address)) return static_cast<std::int32_t>(i);
  MEMORY_BASIC_INFORMATION mbi;
  std::int32_t index = -1;
  if (FRegions.Query(address, mbi) && mbi.State == MEM_COMMIT)
    CacheModule(reinterpret_cast<std::uintptr_t>(mbi.AllocationBase), index);
  return index;
}

std::string TTracer::FunctionNameOf(std::uintptr_t address, std::int32_t module) {
  const auto& ms = Caches().modules;
  if (module >= 0 && ms[static_cast<std::size_t>(module)].map) {
    const TMfPublic pub = ms[static_cast<std::size_t>(module)].map->PublicOfAddress(address);
    if (pub.valid) return pub.name;
  }
  std::string name;
  if (module >= 0)
    ExportNameOfAddress(reinterpret_cast<HMODULE>(ms[static_cast<std::size_t>(module)].base),
                        reinterpret_cast<const void*>(address), true, name);
  return name;
}

void TTracer::ConfirmFunctionAt(std::int32_t index) {
  // The function and, through a visited set, the targets of its leaving jumps.
  auto& c = Caches();
  std::vector<std::int32_t> work{index};
  std::unordered_set<std::int32_t> seen;
  while (!work.empty()) {
    const std::int32_t f = work.back();
    work.pop_back();
    if (f < 0 || !seen.insert(f).second) continue;
    c.functions[static_cast<std::size_t>(f)].confirmed = true;
    for (const auto& fc : c.functions[static_cast<std::size_t>(f)].info.farCalls) {
      if (fc.isCall) continue;
      auto it = c.functionByEntry.find(fc.target);
      if (it != c.functionByEntry.end()) work.push_back(it->second);
    }
  }
}

std::int32_t TTracer::AnalyseAndCacheFunction(std::uintptr_t address, const std::string* name, std::int32_t module,
                                              bool acceptUnanalysable, bool confirm) {
  auto& c = Caches();
  if (auto it = c.functionByEntry.find(address); it != c.functionByEntry.end()) {
    if (confirm) ConfirmFunctionAt(it->second);
    return it->second;
  }
  if (address == 0 && !acceptUnanalysable) return -1;
  if (!c.dispatchLooked) {
    c.dispatchLooked = true;
    if ((GetVersion() & 0x80000000u) != 0) {
      if (HMODULE user = GetModuleHandleA("user32.dll"))
        c.dispatchMessage9x = reinterpret_cast<std::uintptr_t>(ExportByName(user, "DispatchMessageA"));
    }
  }
  // The function and the targets of its leaving jumps, each once.
  std::int32_t first = -1;
  std::vector<std::pair<std::uintptr_t, const std::string*>> work{{address, name}};
  std::unordered_set<std::uintptr_t> visited;
  std::size_t budget = 64;  // leaving jumps can reach far: bound one call's work
  while (!work.empty() && budget-- > 0) {
    const auto [at, givenName] = work.back();
    work.pop_back();
    if (!visited.insert(at).second) continue;
    if (auto it = c.functionByEntry.find(at); it != c.functionByEntry.end()) {
      if (confirm) ConfirmFunctionAt(it->second);
      if (first < 0) first = it->second;
      continue;
    }
    TTraceFunction fn;
    fn.module = (at == address && module >= 0) ? module : ModuleIndexOf(at);
    const AnalyserEnvironment env{*FReader, FSymbols};
    AnalyseFunctionEx(env, static_cast<Address>(at), FReader.get(), fn.info);
    if (!fn.info.valid) {
      if (!(acceptUnanalysable && at == address)) {
        if (first < 0 && at == address) return -1;
        continue;
      }
      fn.info = FunctionInfo{};
      fn.info.valid = true;
      fn.info.entry = fn.info.begin = static_cast<Address>(at);
      fn.info.length = 0;
    }
    if (c.dispatchMessage9x != 0)
      for (const auto& fc : fn.info.farCalls)
        if (fc.isCall && fc.target == c.dispatchMessage9x)
          fn.info.unknownTargets.push_back({true, fc.start, fc.next});
    fn.confirmed = confirm;
    fn.name = givenName != nullptr ? *givenName : FunctionNameOf(at, fn.module);
    c.functions.push_back(std::move(fn));
    const auto idx = static_cast<std::int32_t>(c.functions.size() - 1);
    c.functionByEntry.emplace(at, idx);
    if (first < 0) first = idx;
    for (const auto& fc : c.functions.back().info.farCalls)
      if (!fc.isCall && fc.target != 0) work.push_back({fc.target, nullptr});
  }
  return first;
}

std::int32_t TTracer::NearestExportBefore(std::int32_t module, std::uintptr_t address) {
  if (module < 0) return -1;
  auto& m = Caches().modules[static_cast<std::size_t>(module)];
  if (!m.exportsRead) {
    m.exportsRead = true;
    const IMAGE_NT_HEADERS* nt = PeNtHeaders(reinterpret_cast<HMODULE>(m.base));
    if (nt == nullptr) return -1;
    TPeView view{reinterpret_cast<const std::uint8_t*>(m.base), nt->OptionalHeader.SizeOfImage, false};
    TPeHeaders headers;
    TPeExports exports;
    if (PeReadHeaders(view, headers) && PeReadExports(view, headers, exports)) {
      for (std::uint32_t i = 0; i < exports.NumberOfFunctions; ++i) {
        const TPeExport e = PeExportByIndex(view, headers, exports, i);
        if (e.kind == TPeExport::Code) m.exportStarts.push_back(m.base + e.Rva);
      }
    }
    if (nt->OptionalHeader.AddressOfEntryPoint != 0) m.exportStarts.push_back(m.base + nt->OptionalHeader.AddressOfEntryPoint);
    std::sort(m.exportStarts.begin(), m.exportStarts.end());
  }
  const auto it = std::lower_bound(m.exportStarts.begin(), m.exportStarts.end(), address);
  if (it == m.exportStarts.begin()) return -1;
  return AnalyseAndCacheFunction(*(it - 1), nullptr, module, false, true);
}

bool AddressInFunctionAreas(const FunctionInfo& info, TraceAddress value) {
  for (const auto& a : info.codeAreas)
    if (a.start < value && value <= a.end + 1) return true;
  return false;
}

bool TTracer::CheckCallTarget(std::int32_t f, TraceAddress expected, TraceAddress& value,
                              TCallCheck& out, bool forced) {
  auto& fs = Caches().functions;
  if (f < 0 || fs[static_cast<std::size_t>(f)].invalid) return false;
  if (!forced) {
    // Only a call returns to the value.
    for (const auto& u : fs[static_cast<std::size_t>(f)].info.unknownTargets)
      if (u.isCall && u.next == value) {
        out = {0, u.start, false};
        return true;
      }
    for (const auto& fc : fs[static_cast<std::size_t>(f)].info.farCalls)
      if (fc.isCall && fc.next == value) {
        out = {fc.target, fc.start, true};
        return true;
      }
    return false;
  }
  if (fs[static_cast<std::size_t>(f)].info.length == 0) {
    if (value != fs[static_cast<std::size_t>(f)].info.entry) return false;
    out = {0, value, false};
    return true;
  }
  if (expected != 0) {
    const auto calls = fs[static_cast<std::size_t>(f)].info.farCalls;  // the cache may grow below
    for (const auto& fc : calls) {
      if (fc.next != expected) continue;
      const std::int32_t t = AnalyseAndCacheFunction(fc.target, nullptr, -1, false, false);
      if (t < 0) continue;
      const std::string& n = Caches().functions[static_cast<std::size_t>(t)].name;
      if (ContainsNoCase(n, "@RaiseExcept") || ContainsNoCase(n, "Error")) {
        value = fc.next;
        out = {fc.target, fc.start, true};
        return true;
      }
    }
  }
  for (const auto& a : Caches().functions[static_cast<std::size_t>(f)].info.codeAreas) {
    if (!(a.start < value && value <= a.end + 1)) continue;
    Address at = a.start;
    for (int guard = 0; guard < 100000 && at < value; ++guard) {
      InstructionRecord rec;
      DecodeInstructionChecked(*FReader, at, *FReader, rec);
      if (!rec.valid || rec.next <= at) break;  // stop on an undecodable byte
      if (rec.next == value) {
        out = {0, at, false};
        return true;
      }
      at = rec.next;
    }
  }
  return false;
}

void TTracer::CollectFrameChain(std::uintptr_t fp) {
  FChain.clear();
  const std::uintptr_t start = P.stackStart, top = P.stackTop;
  if (fp + 4 > start && fp + 4 < top) FChain.push_back(fp + 4);
  while (fp + 4 < top && FChain.size() < kMaxTraceItems) {
    std::uint32_t next = 0;
    if (!ReadCode(fp, &next, 4)) break;
    if (next <= fp) break;
    if (next + 4 > start && next + 4 < top) FChain.push_back(next + 4);
    fp = next;
  }
  std::sort(FChain.begin(), FChain.end());
  FChainIndex = static_cast<std::ptrdiff_t>(FChain.size()) - 1;
}

bool TTracer::EvaluateStackSlot(std::optional<std::uintptr_t> slot, std::uintptr_t value, bool forcedByCaller,
                                bool frameSlot) {
  bool forced = forcedByCaller || (P.exception && value != 0 && value == P.address);
  TraceAddress shown = static_cast<TraceAddress>(value);
  std::uintptr_t test = value - 1;
  if (forced) {
    std::uint8_t bytes[8];
    if (ReadCode(value, bytes, 8)) {
      InstructionRecord rec;
      DecodeInstructionChecked(*FReader, static_cast<Address>(value), *FReader, rec);
      if (rec.valid) value = rec.next;
    }
    test = shown;
  }
  if (FItems.empty() && P.creationAddress != 0) forced = true;
  // Candidate test.
  bool candidate = false;
  std::int32_t module = -1;
  MEMORY_BASIC_INFORMATION mbi;
  if (value > 7 && (forced || FollowsCallInstruction(value, *FReader)) && FRegions.Query(test, mbi) &&
      mbi.State == MEM_COMMIT && mbi.AllocationBase != nullptr) {
    const auto base = reinterpret_cast<std::uintptr_t>(mbi.AllocationBase);
    if (!CacheModule(base, module))
      candidate = true;
    else {
      const auto& m = Caches().modules[static_cast<std::size_t>(module)];
      candidate = m.InData(value) || m.InCode(value);
    }
  }
  if (!forced && !candidate) return false;
  bool chainSlot = false;
  if (slot) {
    while (FChainIndex >= 0 && FChain[static_cast<std::size_t>(FChainIndex)] > *slot) --FChainIndex;
    chainSlot = FChainIndex >= 0 && FChain[static_cast<std::size_t>(FChainIndex)] == *slot;
  }
  // Function and call site.
  std::int32_t function = -1;
  TCallCheck call;
  bool confirmed = false;
  TraceAddress v = static_cast<TraceAddress>(value);
  // 0: none (no return address is 0).
  const TraceAddress expected = P.hardwareException ? 0 : static_cast<TraceAddress>(test);
  if (module >= 0 && Caches().modules[static_cast<std::size_t>(module)].InCode(value)) {
    const auto map = Caches().modules[static_cast<std::size_t>(module)].map;
    if (map) {
      const TMfPublic pub = map->PublicOfAddress(test);
      if (pub.valid) {
        const std::int32_t f = AnalyseAndCacheFunction(pub.address, &pub.name, module, false, true);
        if (CheckCallTarget(f, expected, v, call, forced)) {
          function = f;
          confirmed = true;
        } else if (f >= 0) {
          const auto calls = Caches().functions[static_cast<std::size_t>(f)].info.farCalls;
          const auto info = Caches().functions[static_cast<std::size_t>(f)].info;
          for (const auto& fc : calls) {
            if (!(fc.target > info.begin && fc.target < info.begin + info.length)) continue;
            const std::string nested = pub.name + ".@label";
            const std::int32_t g = AnalyseAndCacheFunction(fc.target, &nested, module, false, true);
            TraceAddress v2 = v;
            if (CheckCallTarget(g, expected, v2, call, forced)) {
              function = g;
              confirmed = true;
              v = v2;
              break;
            }
          }
        }
      }
    } else if (static_cast<std::uintptr_t>(Caches().modules[static_cast<std::size_t>(module)].base) != FExe) {
      const std::int32_t f = NearestExportBefore(module, value);
      if (f >= 0 && AddressInFunctionAreas(Caches().functions[static_cast<std::size_t>(f)].info, v) &&
          CheckCallTarget(f, expected, v, call, forced)) {
        function = f;
        confirmed = true;
      }
    }
  }
  bool haveLink = confirmed;
  if (forced && !confirmed) {
    if (!P.exception || P.hardwareException) {
      shown = static_cast<TraceAddress>(test);
      call = {0, shown, false};
      haveLink = true;
    }
    std::uint8_t b;
    if (P.exception && value == P.address && !ReadCode(value, &b, 1)) {
      function = AnalyseAndCacheFunction(value, nullptr, module, true, true);
      confirmed = function >= 0;
      call = {0, static_cast<TraceAddress>(value), false};
      haveLink = true;
    }
  }
  if (!(forced || confirmed || frameSlot || chainSlot)) return false;
  if (FItems.size() >= kMaxTraceItems * 2) {
    // Keep the oldest quarter and the newest part: the middle of a runaway stack goes.
    const std::size_t keepOld = kMaxTraceItems / 4;
    FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(keepOld),
                 FItems.begin() + static_cast<std::ptrdiff_t>(FItems.size() - (kMaxTraceItems - keepOld)));
  }
  TTraceItem item;
  item.address = static_cast<TraceAddress>(value);
  item.module = module;
  item.forced = forced || frameSlot || chainSlot;
  item.chainSlot = frameSlot || chainSlot;
  item.final = forced && (!FItems.empty() || P.creationAddress == 0);
  // The item's own address stays the value before any move for the shown forms.
  if (haveLink) {
    TTraceLink link;
    link.callSite = call.shown != 0 ? call.shown : shown;
    link.knownCall = call.known;
    link.callee = call.callee;
    link.function = function;
    item.lists[1].links.push_back(link);
  }
  item.shownAddress = shown;
  FItems.push_back(std::move(item));
  return confirmed;
}

void TTracer::CollectPossibleStackItems() {
  FItems.clear();
  FItems.reserve(64);
  if (P.creationAddress != 0) EvaluateStackSlot(std::nullopt, P.creationAddress, false, false);
  if (P.framePointer != 0 && P.throwTimeStack == nullptr) CollectFrameChain(P.framePointer);
  auto newestFinal = [&] { return !FItems.empty() && FItems.back().final; };
  if (P.throwTimeStack != nullptr) {
    std::uint32_t count = 0;
    std::memcpy(&count, P.throwTimeStack, 4);
    const auto* entries = static_cast<const std::uint8_t*>(P.throwTimeStack) + 4;
    for (std::uint32_t i = 0; i < count && !newestFinal(); ++i) {
      TBcbStackItem e;
      std::memcpy(&e, entries + std::size_t{i} * 5, 5);
      EvaluateStackSlot(std::nullopt, e.address, false, e.frame != 0);
      Progress(static_cast<int>(std::uint64_t{i} * 25 / count));
    }
  } else {
    const std::uintptr_t span = P.stackTop - P.stackStart;
    for (std::uintptr_t slot = (P.stackTop - 4) & ~std::uintptr_t{3}; slot >= P.stackStart && slot < P.stackTop;
         slot -= 4) {
      std::uint32_t value = 0;
      if (ReadCode(slot, &value, 4)) {
        const std::size_t before = FItems.size();
        EvaluateStackSlot(slot, value, false, false);
        if (FItems.size() > before && FItems.back().forced && !FItems.back().final) slot -= 4;  // saved frame pointer
        if (newestFinal()) break;
      }
      if (((P.stackTop - slot) & 0xFFF) == 0) Progress(static_cast<int>(std::uint64_t{P.stackTop - slot} * 25 / span));
      if (slot < 8) break;
    }
  }
  if (newestFinal())
    P.throwTimeStack = nullptr;
  else
    EvaluateStackSlot(std::nullopt, P.address, true, false);
  FItems.shrink_to_fit();
}

std::int32_t TTracer::FirstConfirmedLink(std::int32_t i) const {
  const auto& links = FItems[static_cast<std::size_t>(i)].lists[1].links;
  for (std::size_t k = 0; k < links.size(); ++k)
    if (Confirmed(links[k].function)) return static_cast<std::int32_t>(k);
  return -1;
}

// Two neighbouring frame-chain items: the newer one returns into function F.
// When F sets up its own frame pointer, F called the newer frame's routine
// directly and the older chain item is F's own return: every return address
// between the two lies in F's locals and is a leftover of finished calls.
void TTracer::DropStaleBetweenFrames() {
  std::int32_t older = -1;
  const auto n = static_cast<std::int32_t>(FItems.size());
  for (std::int32_t i = 0; i < n; ++i) {
    const auto& it = FItems[static_cast<std::size_t>(i)];
    if (it.invalid || !it.chainSlot) continue;
    if (older >= 0 && i - older > 1) {
      const std::int32_t k = FirstConfirmedLink(i);
      if (k >= 0) {
        const std::int32_t f = it.lists[1].links[static_cast<std::size_t>(k)].function;
        std::uint8_t prologue[3] = {};
        const Address entry = Caches().functions[static_cast<std::size_t>(f)].info.entry;
        if (ReadCode(entry, prologue, 3) && prologue[0] == 0x55 &&
            ((prologue[1] == 0x89 && prologue[2] == 0xE5) || (prologue[1] == 0x8B && prologue[2] == 0xEC)))
          for (std::int32_t j = older + 1; j < i; ++j)
            if (!FItems[static_cast<std::size_t>(j)].forced) DropStackItem(FItems, j);
      }
    }
    older = i;
  }
}

void TTracer::DropFunctionLinks(std::int32_t f) {
  Caches().functions[static_cast<std::size_t>(f)].invalid = true;
  for (auto& item : FItems)
    for (auto& list : item.lists) {
      auto& links = list.links;
      links.erase(std::remove_if(links.begin(), links.end(), [&](const TTraceLink& l) { return l.function == f; }),
                  links.end());
      list.best = -1;
    }
}

void TTracer::LinkToCallees(std::int32_t i, TraceAddress callSite, TraceAddress callee, bool known,
                            bool confirmedMode) {
  std::int32_t c = -1;
  // The callee and the routines it leaves to by a jump (a tail call, an
  // import stub): a return address inside any of them returns from this call.
  std::vector<std::int32_t> callees;
  if (callee != 0) {
    c = AnalyseAndCacheFunction(callee, nullptr, -1, false, confirmedMode);
    if (c >= 0) callees.push_back(c);
    for (std::size_t q = 0; q < callees.size() && c >= 0; ++q) {
      const FunctionInfo info = Caches().functions[static_cast<std::size_t>(callees[q])].info;  // the cache may grow
      for (const auto& u : info.unknownTargets)
        if (!u.isCall) {
          c = -1;  // it jumps somewhere unknown: any later frame could be its callee's
          break;
        }
      for (const auto& fc : info.farCalls) {
        if (fc.isCall || fc.target == 0 || callees.size() >= kMaxTailCallees) continue;
        if (fc.target >= info.begin && fc.target < info.begin + info.length) continue;  // inside: not a leaving jump
        const std::int32_t t = AnalyseAndCacheFunction(fc.target, nullptr, -1, false, confirmedMode);
        if (t >= 0 && std::find(callees.begin(), callees.end(), t) == callees.end()) callees.push_back(t);
      }
    }
    if (c < 0) callee = 0;
  }
  auto& me = FItems[static_cast<std::size_t>(i)];
  if (callee == 0)
    for (const auto& l : me.lists[0].links)
      if (l.function < 0 && l.callSite == callSite) return;  // already linked as an unknown callee
  const auto n = static_cast<std::int32_t>(FItems.size());
  for (std::int32_t j = i + 1; j < n; ++j) {
    auto& it = FItems[static_cast<std::size_t>(j)];
    if (!it.invalid) {
      TCallCheck found;
      std::int32_t through = c;
      bool ok = callee == 0;
      for (std::size_t q = 0; !ok && q < callees.size(); ++q) {
        TraceAddress v = it.address;
        if (CheckCallTarget(callees[q], 0, v, found, it.final)) {
          ok = true;
          through = callees[q];
        }
      }
      if (ok && !confirmedMode) {
        for (const auto& l : it.lists[1].links)
          if (Confirmed(l.function) && (callee == 0 || l.callSite != found.shown)) {
            ok = false;
            break;
          }
      }
      if (ok) {
        TTraceLink back;
        back.target = i;
        back.function = through;
        back.callSite = found.shown;
        back.knownCall = found.known;
        back.callee = found.callee;
        it.lists[1].links.push_back(back);
        TTraceLink fwd;
        fwd.target = j;
        fwd.function = through;
        fwd.callSite = callSite;
        fwd.knownCall = known;
        fwd.callee = callee;
        FItems[static_cast<std::size_t>(i)].lists[0].links.push_back(fwd);
      }
    }
    if (it.forced) break;
  }
}

void TTracer::LinkCallers(std::int32_t i) {
  auto& item = FItems[static_cast<std::size_t>(i)];
  std::int32_t k = FirstConfirmedLink(i);
  if (k < 0) {
    const auto& fs = Caches().functions;
    for (std::size_t f = 0; f < fs.size(); ++f) {
      if (!fs[f].confirmed || fs[f].invalid || !AddressInFunctionAreas(fs[f].info, item.address)) continue;
      TCallCheck call;
      TraceAddress v = item.address;
      if (CheckCallTarget(static_cast<std::int32_t>(f), 0, v, call, item.final)) {
        TTraceLink link;
        link.callSite = call.shown;
        link.knownCall = call.known;
        link.callee = call.callee;
        link.function = static_cast<std::int32_t>(f);
        item.lists[1].links.push_back(link);
        k = static_cast<std::int32_t>(item.lists[1].links.size() - 1);
      } else {
        DropStackItem(FItems, i);
        return;
      }
      break;
    }
  }
  if (k >= 0) {
    const TTraceLink chosen = FItems[static_cast<std::size_t>(i)].lists[1].links[static_cast<std::size_t>(k)];
    std::vector<std::int32_t> others;
    for (const auto& l : FItems[static_cast<std::size_t>(i)].lists[1].links)
      if (l.function >= 0 && l.function != chosen.function && l.callSite != chosen.callSite) others.push_back(l.function);
    for (auto f : others) DropFunctionLinks(f);
    LinkToCallees(i, chosen.callSite, chosen.knownCall ? chosen.callee : 0, chosen.knownCall, true);
    return;
  }
  const TraceAddress address = item.address;
  MEMORY_BASIC_INFORMATION mbi;
  if (!FRegions.Query(address - 1, mbi) || mbi.State != MEM_COMMIT) return;
  const auto regionBase = reinterpret_cast<std::uintptr_t>(mbi.BaseAddress);
  for (std::uintptr_t s = std::max<std::uintptr_t>(address - 7, regionBase); s + 2 <= address; ++s) {
    InstructionRecord rec;
    DecodeInstructionChecked(*FReader, static_cast<Address>(s), *FReader, rec);
    if (!rec.valid || !rec.isCall || rec.next != address) continue;
    const bool known = rec.targetCellOperandLocation != 0 || rec.relative;
    LinkToCallees(i, static_cast<TraceAddress>(s), known ? rec.target : 0, known, false);
  }
}

void TTracer::FillFinalOutput() {
  auto& fs = Caches().functions;
  const auto& ms = Caches().modules;
  bool first = true, unknownCode = false, second = false;
  bool throwMachinery = P.throwMachinery, throwStack = P.throwTimeStack != nullptr, hideNextDispatcher = false;
  const auto n = static_cast<std::int32_t>(FItems.size());
  for (std::int32_t i = n - 1; i >= 0; --i) {
    auto& it = FItems[static_cast<std::size_t>(i)];
    if (it.invalid) continue;
    bool named = false;
    for (const auto& l : it.lists[1].links) {
      if (!Confirmed(l.function)) continue;
      const auto& fn = fs[static_cast<std::size_t>(l.function)];
      it.shownAddress = l.callSite;
      std::string name = fn.name, unit;
      DemangleExportName(name, unit);
      it.functionName = name;
      it.unitName = unit;
      it.functionStart = fn.info.entry;
      if (first) {
        if (fn.info.length > 0) {
          if (P.outFunctionStart) *P.outFunctionStart = fn.info.entry;
        } else {
          unknownCode = true;
        }
      } else if (second && unknownCode) {
        for (const auto& fc : fn.info.farCalls)
          if (fc.target == P.address) {
            if (P.outFunctionStart) *P.outFunctionStart = fn.info.entry;
            if (P.outShownAddress) *P.outShownAddress = fc.start;
          }
      }
      named = true;
      break;
    }
    if (!named) {
      bool set = false;
      for (const auto& l : it.lists[1].links)
        if (l.callSite != 0) {
          it.shownAddress = l.callSite;
          set = true;
          break;
        }
      const auto& l0 = it.lists[0];
      if (!set && l0.best >= 0 && static_cast<std::size_t>(l0.best) < l0.links.size()) {
        it.shownAddress = l0.links[static_cast<std::size_t>(l0.best)].callSite;
        set = true;
      }
      if (!set) it.shownAddress = it.address;
    }
    if (it.module < 0) {
      it.moduleName = "???";
    } else {
      const auto& m = ms[static_cast<std::size_t>(it.module)];
      it.moduleName = m.fileName;
      if (m.map) {
        const TMfPublic pub = m.map->PublicOfAddress(it.shownAddress);
        if (pub.valid) {
          if (it.functionName.empty()) it.functionName = pub.name;
          it.functionStart = static_cast<TraceAddress>(pub.address);
        }
        const TMfSegment seg = m.map->SegmentOfAddress(true, it.shownAddress);
        if (seg.valid) it.unitName = seg.unit;
        it.line = m.map->LineOfAddress(it.shownAddress);
        if (P.showRelativeLines && it.line > 0 && it.functionStart != 0) {
          const std::int32_t fnLine = m.map->LineOfAddress(it.functionStart);
          if (fnLine > 0) {
            it.absLine = it.line;
            it.line -= fnLine;
          }
        }
      }
    }
    if (first && P.outShownAddress) *P.outShownAddress = it.shownAddress;
    second = first;
    first = false;
    if (throwMachinery && (it.functionName == "_ThrowExceptionLDTC" || it.functionName == "_ReThrowException")) {
      throwMachinery = false;
      for (std::int32_t k = i; k < n; ++k) FItems[static_cast<std::size_t>(k)].invalid = true;
    }
    if (hideNextDispatcher && !it.functionName.empty()) {
      hideNextDispatcher = false;
      if (it.functionName == "KiUserExceptionDispatcher") it.invalid = true;
    }
    if (throwStack && it.functionName == "__ExceptionHandler") {
      throwStack = false;
      for (std::int32_t k = i; k < n - 1; ++k) FItems[static_cast<std::size_t>(k)].invalid = true;
      hideNextDispatcher = true;
    }
  }
}

std::string TTracer::Run() {
  if (P.outShownAddress) *P.outShownAddress = 0;
  if (P.outFunctionStart) *P.outFunctionStart = 0;
  if (P.stackStart == 0) P.stackStart = CurrentStackPointer();
  if (P.stackTop == 0) P.stackTop = ThreadStackTop();
  if (P.stackTop <= P.stackStart) return {};
  FTable.reset(SnapshotReadableRanges());
  if (!FTable || !IsSpanReadable(FTable.get(), P.stackStart, P.stackTop - P.stackStart)) return {};
  FReader = std::make_unique<TPageCache>(FTable.get());
  const char* phase = "CollectPossibleStackItems";
  std::string result;
  const bool done = RunGuarded([&] {
    CollectPossibleStackItems();
    Progress(25);
    phase = "RemoveRecursiveStackAreas";
    RemoveRecursion(FItems, 1);
    phase = "InDeepChecks";
    DropStaleBetweenFrames();
    const auto n = static_cast<std::int32_t>(FItems.size());
    for (std::int32_t i = P.creationAddress != 0 ? 1 : 0; i < n; ++i) {
      if (!FItems[static_cast<std::size_t>(i)].invalid) LinkCallers(i);
      Progress(25 + i * 625 / std::max(n, 1));
    }
    Progress(650);
    phase = "RealizeOptimalLinkChains";
    if (!P.listAllStackCandidates) {
      const auto& ms = Caches().modules;
      for (auto& it : FItems) {
        if (it.module < 0) continue;
        const auto& m = ms[static_cast<std::size_t>(it.module)];
        it.mapKnown = static_cast<bool>(m.map);
        if (m.map) it.mapLine = m.map->LineOfAddress(it.address - 1);
      }
      SelectChains(FItems, [this](std::int32_t f) { return Confirmed(f); },
                   [this](int perMille) { Progress(perMille); });
    }
    Progress(1000);
    phase = "RemoveRecursiveAreas";
    RemoveRecursion(FItems, 0);
    phase = "FillFinalOutput";
    FillFinalOutput();
    phase = "ComposeResult";
    TComposeOptions o;
    o.hideItemsWithoutLineNumber = P.hideItemsWithoutLineNumber;
    o.showRelativeAddresses = P.showRelativeAddresses;
    o.showRelativeLines = P.showRelativeLines;
    o.haveCreationAddress = P.creationAddress != 0;
    result = ComposeResult(FItems, o);
  });
  return done ? result : InternalErrorText(phase);
}

thread_local std::uintptr_t tHandledExceptionAddress = 0;

}  // namespace

std::uintptr_t CurrentStackPointer() { return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)); }

std::uintptr_t ThreadStackTop() { return ReadFsDword(4); }

const TPageCache::TPage& TPageCache::PageAt(std::uintptr_t page) const {
  auto it = FPages.find(page);
  if (it != FPages.end()) return it->second;
  TPage p;
  p.bytes.resize(0x1000);
  p.readable = SafeReadMemory(reinterpret_cast<const void*>(page), p.bytes.data(), 0x1000, FTable);
  if (!p.readable) p.bytes.clear();
  return FPages.emplace(page, std::move(p)).first->second;
}

bool TPageCache::Read(Address va, void* buf, std::size_t n) const {
  auto* out = static_cast<std::uint8_t*>(buf);
  std::uintptr_t at = va;
  while (n > 0) {
    if (at < 0x1000) return false;
    const std::uintptr_t page = at & ~std::uintptr_t{0xFFF};
    const TPage& p = PageAt(page);
    if (!p.readable) return false;
    const std::size_t offset = at - page;
    const std::size_t take = std::min<std::size_t>(n, 0x1000 - offset);
    std::memcpy(out, p.bytes.data() + offset, take);
    out += take;
    at += take;
    n -= take;
    if (at == 0) return n == 0;  // wrapped past the top
  }
  return true;
}

bool FollowsCallInstruction(std::uintptr_t value, const TPageCache& memory) {
  std::uint8_t b[8];
  if (value < 8 || !memory.ReadAt(value - 8, b, 8)) return false;
  return FollowsCallBytes(b);
}

bool FollowsCallInstruction(std::uintptr_t value, const TRangeTable* table) {
  std::uint8_t b[8];
  if (value < 8 || !SafeReadMemory(reinterpret_cast<const void*>(value - 8), b, 8, table)) return false;
  return FollowsCallBytes(b);
}

std::string TraceStack(const TTraceStackParams& params) {
  TTraceStackParams p = params;
  if (p.address == 0 && !p.exception) p.address = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  try {
    std::lock_guard<std::mutex> lock(gTraceLock);
    // Guarded inside the lock: a fault must not leave it held.
    std::string result;
    if (RunGuarded([&] {
          TTracer tracer(p);
          result = tracer.Run();
        }))
      return result;
  } catch (...) {
  }
  return InternalErrorText("TraceStack");
}

void TraceStack(bool hideItemsWithoutLineNumber, bool showRelativeAddresses, bool showRelativeLines,
                std::uintptr_t address, bool exception, bool hardwareException, std::uintptr_t stackStart,
                std::uintptr_t stackTop, std::uintptr_t creationAddress, std::uintptr_t* outShownAddress,
                std::uintptr_t* outFunctionStart, TTraceProgress* progress, std::uintptr_t framePointer,
                bool listAllStackCandidates, bool throwMachinery, const void* throwTimeStack, std::string& result) {
  TTraceStackParams p;
  p.hideItemsWithoutLineNumber = hideItemsWithoutLineNumber;
  p.showRelativeAddresses = showRelativeAddresses;
  p.showRelativeLines = showRelativeLines;
  p.address = address != 0 || exception ? address : reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  p.exception = exception;
  p.hardwareException = hardwareException;
  p.stackStart = stackStart;
  p.stackTop = stackTop;
  p.creationAddress = creationAddress;
  p.outShownAddress = outShownAddress;
  p.outFunctionStart = outFunctionStart;
  p.progress = progress;
  p.framePointer = framePointer;
  p.listAllStackCandidates = listAllStackCandidates;
  p.throwMachinery = throwMachinery;
  p.throwTimeStack = throwTimeStack;
  result = TraceStack(p);
}

std::string AddressToText(std::uintptr_t address) {
  std::string module, unit, name;
  MapAddress pubAddress = 0;
  std::int32_t line = 0;
  bool found = false;
  if (!RunGuarded([&] { found = AddressMapInfo(address, module, unit, name, pubAddress, line); })) found = false;
  return AddressText(static_cast<TraceAddress>(address), found, FileNameOnly(module), unit, line, name);
}

void SetHandledExceptionAddress(std::uintptr_t address) { tHandledExceptionAddress = address; }

std::string InternalErrorText(const std::string& step) {
  std::string s = InternalErrorPrefix(step);
  // The exception being handled: one the reporter was told of, else the
  // fault that ended the latest failed guarded section.
  const std::uintptr_t handled = tHandledExceptionAddress != 0 ? tHandledExceptionAddress : LastGuardFaultAddress();
  if (handled != 0) {
    std::string text;
    if (RunGuarded([&] { text = AddressToText(handled); })) s += ":\r\n" + text;
  }
  return s;
}

void qelStackTraceFini() {
  std::lock_guard<std::mutex> lock(gTraceLock);
  gCaches.reset();
}

}  // namespace qel
