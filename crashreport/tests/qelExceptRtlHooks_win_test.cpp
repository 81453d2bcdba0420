// The foreign run-time's lookup, gate and hooks, on the stand-in library
// "cc3260mt.dll" (assembly of the run-time's shape), and the abnormal ends
// (foreign termination, pure-virtual call, invalid parameter), each reported
// by a child process: this program started again with "--child MODE FILE".
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "ChildRun.h"
#include "qelExceptReport.h"
#include "qelExceptRtlHooks.h"
#include "qelExceptRtlScan.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"
#include "qelFuncInfo.h"
#include "qelPatch.h"
#include "qelTools.h"

namespace qel {

// Outside the anonymous namespace: the compiler must not see the whole
// hierarchy, or it would drop the pure-virtual call as impossible.
struct EForeignThrown : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct PureBase {
  PureBase();
  virtual ~PureBase() = default;
  virtual int Value() = 0;
};
__attribute__((noipa)) int CallValue(PureBase* object) { return object->Value(); }
PureBase::PureBase() { CallValue(this); }  // the derived part does not exist yet
struct PureDerived : PureBase {
  int Value() override { return 1; }
};

namespace {

std::uintptr_t Export(HMODULE module, const char* name) {
  return reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

template <typename F>
std::uintptr_t CodeAddress(F* f) {
  return reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(f));
}

std::uintptr_t OwnBase() { return reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr)); }

// The target of the E8 call at site, 0 for no such call.
std::uintptr_t CallTarget(std::uintptr_t site) {
  const auto* code = reinterpret_cast<const std::uint8_t*>(site);
  if (code[0] != 0xE8) return 0;
  std::int32_t disp = 0;
  std::memcpy(&disp, code + 1, 4);
  return site + 5 + static_cast<std::uintptr_t>(disp);
}

// The stand-in library, loaded; on leaving every patch is undone and the
// analyser's run-time entries are cleared.
struct FixtureLibrary {
  HMODULE module = LoadLibraryA("cc3260mt.dll");
  FixtureLibrary() = default;
  FixtureLibrary(const FixtureLibrary&) = delete;
  FixtureLibrary& operator=(const FixtureLibrary&) = delete;
  ~FixtureLibrary() {
    UndoPatches();
    ExceptionFrameRoutine = 0;
    RuntimeRoutines.anyExceptHandler = 0;
    if (module) FreeLibrary(module);
  }
  std::uintptr_t operator[](const char* name) const { return Export(module, name); }
  // The run-time as the lookup finds it, with the frame routine that only
  // the build-time table could give.
  TForeignRtl Rtl() const {
    TForeignRtl rtl = LookupForeignRtl(OwnBase());
    rtl.exceptionFrameRoutine = (*this)["FixtureFrameRoutine"];
    return rtl;
  }
  std::uintptr_t CurrentBlock() const {
    return *reinterpret_cast<const std::uint32_t*>((*this)["FixturePtd"] + 0x120);
  }
};

// Continues the stand-in's exceptions (raised continuable) and counts them.
LONG gForeignRaised = 0;
LONG WINAPI ContinueForeign(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != kForeignExceptionCode) return EXCEPTION_CONTINUE_SEARCH;
  ++gForeignRaised;
  return EXCEPTION_CONTINUE_EXECUTION;
}
struct ContinueForeignExceptions {
  void* handler = AddVectoredExceptionHandler(1, ContinueForeign);
  ContinueForeignExceptions() { gForeignRaised = 0; }
  ContinueForeignExceptions(const ContinueForeignExceptions&) = delete;
  ContinueForeignExceptions& operator=(const ContinueForeignExceptions&) = delete;
  ~ContinueForeignExceptions() { RemoveVectoredExceptionHandler(handler); }
};

TThrowStackHeader RecordOf(std::uintptr_t block, Address& record) {
  TThrowStackHeader header;
  const TOwnProcessReader memory;
  EXPECT_TRUE(ThrowRecordOf(memory, static_cast<Address>(block), record, header));
  return header;
}

TEST(ForeignRtl, CompletenessGate) {
  TForeignRtl full{1, 2, 3, 4, 5, 6, 7};
  EXPECT_TRUE(ForeignRtlComplete(full));
  TForeignRtl onlyRoutine = full;
  onlyRoutine.terminatePointer = 0;
  EXPECT_TRUE(ForeignRtlComplete(onlyRoutine));
  std::uintptr_t TForeignRtl::*required[] = {&TForeignRtl::exceptionHandler, &TForeignRtl::throwRoutine,
                                             &TForeignRtl::exceptionFrameRoutine, &TForeignRtl::malloc,
                                             &TForeignRtl::memcpy};
  for (auto field : required) {
    TForeignRtl missing = full;
    missing.*field = 0;
    EXPECT_FALSE(ForeignRtlComplete(missing));
    EXPECT_FALSE(InstallForeignRtlHooks(missing, true));
  }
  TForeignRtl noTerminate = full;
  noTerminate.terminatePointer = noTerminate.terminateRoutine = 0;
  EXPECT_FALSE(ForeignRtlComplete(noTerminate));
  EXPECT_TRUE(PatchRecords().empty());
}

TEST(ForeignRtl, NothingLoadedNothingChanged) {
  for (std::size_t i = peForeignFirst; i <= peForeignLast; ++i) EXPECT_EQ(qelPatchTable[i], 0u);
  ASSERT_EQ(GetModuleHandleA("cc3260mt.dll"), nullptr);
  const TForeignRtl rtl = LookupForeignRtl(OwnBase());
  EXPECT_EQ(rtl.exceptionHandler, 0u);
  EXPECT_EQ(rtl.throwRoutine, 0u);
  const std::terminate_handler before = std::get_terminate();
  EXPECT_FALSE(InstallRtlHooks(true));
  EXPECT_FALSE(InstallRtlHooks(false));
  EXPECT_EQ(std::get_terminate(), before);
  EXPECT_TRUE(PatchRecords().empty());
  EXPECT_EQ(ExceptionFrameRoutine, 0u);
}

TEST(ForeignRtl, LibraryExportsFoundButNotInstalledWithoutFrameRoutine) {
  FixtureLibrary library;
  ASSERT_NE(library.module, nullptr);
  const TForeignRtl rtl = LookupForeignRtl(OwnBase());
  EXPECT_EQ(rtl.exceptionHandler, library["____ExceptionHandler"]);
  EXPECT_EQ(rtl.throwRoutine, library["@_ThrowExceptionLDTC$qpvt1t1t1uiuiuipuct1"]);
  EXPECT_EQ(rtl.malloc, library["_malloc"]);
  EXPECT_EQ(rtl.memcpy, library["_memcpy"]);
  EXPECT_EQ(rtl.terminatePointer, library["___terminatePTR"]);
  EXPECT_NE(rtl.throwRoutine, 0u);
  EXPECT_EQ(rtl.exceptionFrameRoutine, 0u);
  EXPECT_FALSE(ForeignRtlComplete(rtl));
  // The library's code and its terminate pointer stay as they were.
  unsigned char code[16];
  std::memcpy(code, reinterpret_cast<const void*>(rtl.throwRoutine), sizeof code);
  EXPECT_FALSE(InstallRtlHooks(true));
  EXPECT_EQ(std::memcmp(code, reinterpret_cast<const void*>(rtl.throwRoutine), sizeof code), 0);
  EXPECT_EQ(*reinterpret_cast<void* const*>(rtl.terminatePointer), nullptr);
  EXPECT_TRUE(PatchRecords().empty());
}

TEST(ForeignRtl, EachCallSiteRedirectedAndUndone) {
  FixtureLibrary library;
  ASSERT_NE(library.module, nullptr);
  const TForeignRtl rtl = library.Rtl();
  const char* const sites[] = {"FixtureSiteMalloc", "FixtureSiteRaise", "FixtureSiteGetObject",
                               "FixtureSiteInitCatch", "FixtureSiteOther", "FixtureTerminate"};
  std::vector<std::array<std::uint8_t, 5>> before;
  for (const char* site : sites) {
    before.emplace_back();
    std::memcpy(before.back().data(), reinterpret_cast<const void*>(library[site]), 5);
  }
  const std::uintptr_t previous[] = {CallTarget(library["FixtureSiteMalloc"]), CallTarget(library["FixtureSiteRaise"]),
                                     CallTarget(library["FixtureSiteGetObject"]),
                                     CallTarget(library["FixtureSiteInitCatch"])};
  TForeignRtlHooks found;
  ASSERT_TRUE(InstallForeignRtlHooks(rtl, false, &found));
  EXPECT_EQ(ExceptionFrameRoutine, rtl.exceptionFrameRoutine);
  EXPECT_EQ(found.perThreadData, library["FixturePerThreadData"]);
  EXPECT_EQ(found.currentExceptionOffset, 0x120u);
  EXPECT_EQ(found.allocatingRoutine, library["FixtureAllocBlock"]);
  ASSERT_EQ(found.getObjectSites.size(), 1u);
  ASSERT_EQ(found.initCatchSites.size(), 1u);
  const struct {
    const char* site;
    std::uintptr_t found;
    std::uintptr_t hook;
    std::uintptr_t saved, previous;
  } redirected[] = {
      {"FixtureSiteMalloc", found.mallocSite, CodeAddress(&AllocWithThrowStack), found.savedMalloc, previous[0]},
      {"FixtureSiteRaise", found.raiseSite, CodeAddress(&RaiseExceptionHook), found.savedRaise, previous[1]},
      {"FixtureSiteGetObject", found.getObjectSites[0], CodeAddress(&GetExceptionObjectHook), found.savedGetObject,
       previous[2]},
      {"FixtureSiteInitCatch", found.initCatchSites[0], CodeAddress(&InitCatchArgHook), found.savedInitCatch,
       previous[3]},
  };
  for (const auto& r : redirected) {
    EXPECT_EQ(r.found, library[r.site]) << r.site;
    EXPECT_EQ(CallTarget(library[r.site]), r.hook) << r.site;
    EXPECT_EQ(r.saved, r.previous) << r.site;
  }
  EXPECT_EQ(found.savedMalloc, rtl.malloc);
  EXPECT_EQ(std::memcmp(before[4].data(), reinterpret_cast<const void*>(library["FixtureSiteOther"]), 5), 0);
  EXPECT_EQ(found.anyExceptionSite, 0u) << "not an executable";
  EXPECT_TRUE(found.terminateHooked);
  EXPECT_EQ(*reinterpret_cast<const std::uintptr_t*>(rtl.terminatePointer), CodeAddress(&TerminateHook));
  EXPECT_EQ(PatchRecords().size(), 5u);
  // Installed again: the calls that lead to hooks already are not taken for
  // the run-time's own.
  TForeignRtlHooks again;
  ASSERT_TRUE(InstallForeignRtlHooks(rtl, false, &again));
  EXPECT_EQ(again.mallocSite + again.raiseSite + again.getObjectSites.size() + again.initCatchSites.size(), 0u);
  EXPECT_EQ(PatchRecords().size(), 5u);
  for (const auto& r : redirected) EXPECT_EQ(CallTarget(library[r.site]), r.hook) << r.site;

  UndoPatches();
  for (std::size_t i = 0; i < before.size(); ++i)
    EXPECT_EQ(std::memcmp(before[i].data(), reinterpret_cast<const void*>(library[sites[i]]), 5), 0) << sites[i];
  EXPECT_EQ(*reinterpret_cast<const std::uintptr_t*>(rtl.terminatePointer), 0u);

  // Without the pointer variable the terminate routine jumps to the hook.
  TForeignRtl byRoutine = rtl;
  byRoutine.terminatePointer = 0;
  byRoutine.terminateRoutine = library["FixtureTerminate"];
  ASSERT_TRUE(InstallForeignRtlHooks(byRoutine, false, &found));
  EXPECT_TRUE(found.terminateHooked);
  const auto* jump = reinterpret_cast<const std::uint8_t*>(byRoutine.terminateRoutine);
  std::int32_t disp = 0;
  std::memcpy(&disp, jump + 1, 4);
  EXPECT_EQ(jump[0], 0xE9);
  EXPECT_EQ(byRoutine.terminateRoutine + 5 + static_cast<std::uintptr_t>(disp), CodeAddress(&TerminateHook));
}

TEST(ForeignRtl, ThrowRecordsAddressAndStackBehindTheBlock) {
  FixtureLibrary library;
  ASSERT_NE(library.module, nullptr);
  ASSERT_TRUE(InstallForeignRtlHooks(library.Rtl(), false));
  const ContinueForeignExceptions continuing;
  static const EForeignThrown thrown("thrown by the foreign run-time");
  using ThrowProc = std::uintptr_t(__cdecl*)(const void* value);
  const auto throwValue = reinterpret_cast<ThrowProc>(library["FixtureThrow"]);
  const std::uintptr_t block = throwValue(&thrown);
  ASSERT_NE(block, 0u);
  EXPECT_EQ(gForeignRaised, 1);
  EXPECT_EQ(library.CurrentBlock(), block);
  Address record = 0;
  const TThrowStackHeader header = RecordOf(block, record);
  EXPECT_EQ(record, block + 86);
  EXPECT_TRUE(ThrowRecordValid(header));
  const std::uintptr_t throwAddress = library["FixtureThrowReturn"];
  EXPECT_EQ(header.address, throwAddress);
  // The stack at the allocation holds the return address of the throw.
  ASSERT_GT(header.count, 0u);
  bool listed = false;
  for (std::uint32_t i = 0; i < header.count; ++i) {
    std::uint32_t address = 0;
    std::memcpy(&address, reinterpret_cast<const std::uint8_t*>(record) + 12 + 5 * i + 1, 4);
    listed = listed || address == throwAddress;
  }
  EXPECT_TRUE(listed);

  // What the report takes of it: object, address, the record's stack block.
  std::uintptr_t address = 0;
  const void* object = nullptr;
  std::vector<std::uint8_t> stack;
  ThrowStackOfException(address, object, stack);
  EXPECT_EQ(address, throwAddress);
  EXPECT_EQ(object, &thrown);
  ASSERT_EQ(stack.size(), 4 + 5 * header.count);
  EXPECT_EQ(std::memcmp(stack.data(), reinterpret_cast<const std::uint8_t*>(record) + 8, stack.size()), 0);
  std::uintptr_t known = 0x1234;
  const void* given = &known;
  std::vector<std::uint8_t> none;
  ThrowStackOfException(known, given, none);
  EXPECT_EQ(known, 0x1234u);
  EXPECT_EQ(given, &known);
  EXPECT_TRUE(none.empty());

  TExceptionObject normalized;
  std::uintptr_t normalizedAddress = 0;
  std::vector<std::uint8_t> normalizedStack;
  NormalizeException(normalized, normalizedAddress, normalizedStack, nullptr);
  EXPECT_EQ(normalizedAddress, throwAddress);
  EXPECT_EQ(ExceptionClassName(&normalized), "EForeignThrown");
  EXPECT_EQ(normalizedStack, stack);
}

TEST(ForeignRtl, HandlerHooksStoreTheExceptionAddress) {
  FixtureLibrary library;
  ASSERT_NE(library.module, nullptr);
  ASSERT_TRUE(InstallForeignRtlHooks(library.Rtl(), false));
  const ContinueForeignExceptions continuing;
  using ThrowProc = std::uintptr_t(__cdecl*)(const void* value);
  using HandlerProc = std::uintptr_t(__cdecl*)(const EXCEPTION_RECORD* record, void* frame,
                                               const std::uint32_t* catchInfo);
  const auto throwValue = reinterpret_cast<ThrowProc>(library["FixtureThrow"]);
  const auto handler = reinterpret_cast<HandlerProc>(library["____ExceptionHandler"]);
  EXCEPTION_RECORD record{};
  record.ExceptionCode = kForeignExceptionCode;
  record.ExceptionAddress = reinterpret_cast<void*>(0x00C0FFE0);
  // The catch argument's address is the sixth word, 4 on when the fifth is 8.
  const struct {
    std::uint32_t fifth, sixth, stored;
  } cases[] = {{8, 0x1000, 0x1004}, {4, 0x2000, 0x2000}, {0, 0x3000, 0x3000}};
  for (const auto& c : cases) {
    const std::uint32_t catchInfo[6] = {0, 0, 0, 0, c.fifth, c.sixth};
    const std::uintptr_t thrownBlock = throwValue(nullptr);
    ASSERT_NE(thrownBlock, 0u);
    const std::uintptr_t objectBlock = handler(&record, nullptr, catchInfo);
    ASSERT_NE(objectBlock, 0u);
    Address at = 0;
    const TThrowStackHeader fetched = RecordOf(objectBlock, at);
    EXPECT_TRUE(ThrowRecordValid(fetched));
    EXPECT_EQ(fetched.address, 0x00C0FFE0u);
    const TThrowStackHeader current = RecordOf(thrownBlock, at);
    EXPECT_TRUE(ThrowRecordValid(current));
    EXPECT_EQ(current.address, c.stored) << c.fifth;
  }
  // The forwarding hook gives back what the routine left in edx:eax.
  const std::uint32_t catchInfo[6] = {};
  EXPECT_EQ(InitCatchArgHook(0, 0, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(catchInfo)), 0, 0,
                             0, 0, 0),
            0x6B6B6B6B5A5A5A5Aull);
}

TEST(ForeignRtl, AnyExceptionHandlerCallsTheHookAtTheLastSequence) {
  FixtureLibrary library;
  ASSERT_NE(library.module, nullptr);
  EXPECT_EQ(AnyExceptionHandlerEntry(), 0u) << "our run-time has no such handler";
  RuntimeRoutines.anyExceptHandler = static_cast<Address>(library["FixtureAnyJump"]);
  EXPECT_EQ(AnyExceptionHandlerEntry(), library["FixtureAnyJump"]);
  const std::uintptr_t site = library["FixtureAnySite"];
  std::uint8_t before[9];
  std::memcpy(before, reinterpret_cast<const void*>(site), sizeof before);
  TForeignRtlHooks found;
  ASSERT_TRUE(InstallForeignRtlHooks(library.Rtl(), true, &found));
  EXPECT_EQ(found.anyExceptionSite, site);
  EXPECT_EQ(CallTarget(site), CodeAddress(&AnyExceptionCallHook));
  EXPECT_EQ(std::memcmp(before + 5, reinterpret_cast<const std::uint8_t*>(site) + 5, 4), 0);

  using AnyProc = std::uint32_t(__cdecl*)(const EXCEPTION_RECORD* record);
  const auto any = reinterpret_cast<AnyProc>(library["FixtureAnyJump"]);
  auto* edx = reinterpret_cast<volatile std::uint32_t*>(library["FixtureAnyEdx"]);
  EXCEPTION_RECORD record{};
  record.ExceptionAddress = reinterpret_cast<void*>(0x00401000);
  record.ExceptionInformation[1] = 0x00ABCDEF;
  const struct {
    DWORD code, parameters;
    std::uint32_t address;
  } cases[] = {
      {kForeignExceptionCode, 3, 0x00ABCDEF},  // the throw address
      {kForeignExceptionCode, 1, 0x00401000},  // no second parameter
      {EXCEPTION_ACCESS_VIOLATION, 2, 0x00401000},
  };
  for (const auto& c : cases) {
    record.ExceptionCode = c.code;
    record.NumberParameters = c.parameters;
    *edx = 0;
    EXPECT_EQ(any(&record), c.address) << std::hex << c.code << " " << c.parameters;
    EXPECT_EQ(*edx, 0x22222222u);
  }
  UndoPatches();
  EXPECT_EQ(std::memcmp(before, reinterpret_cast<const void*>(site), sizeof before), 0);
}

TEST(ForeignRtl, ThrowBlockHeaderWithAndWithoutItems) {
  static std::uint8_t arena[256];
  static std::size_t requested = 0;
  auto allocate = [](std::size_t n) -> void* {
    requested = n;
    std::memset(arena, 0xCC, sizeof arena);
    return n <= sizeof arena ? arena : nullptr;
  };
  const std::vector<std::uint8_t> twoItems = {1, 0x10, 0x20, 0x40, 0x00, 0, 0x30, 0x20, 0x40, 0x00};
  for (const auto& items : {std::vector<std::uint8_t>{}, twoItems}) {
    void* block = AllocThrowBlock(86, items, allocate);
    ASSERT_EQ(block, arena);
    EXPECT_EQ(requested, 86 + 12 + items.size());
    for (std::size_t i = 0; i < 86; ++i) ASSERT_EQ(arena[i], 0) << i;
    TThrowStackHeader header;
    std::memcpy(&header, arena + 86, 12);
    EXPECT_TRUE(ThrowRecordValid(header));
    EXPECT_EQ(header.address, 0u);
    EXPECT_EQ(header.count, items.size() / 5);
    EXPECT_EQ(std::vector<std::uint8_t>(arena + 98, arena + 98 + items.size()), items);
  }
  EXPECT_EQ(AllocThrowBlock(250, twoItems, allocate), nullptr) << "the allocation fails";
  EXPECT_EQ(AllocThrowBlock(0xFFFFFFF0u, {}, allocate), nullptr) << "the size overflows";
}

// --- abnormal ends, in a child process ------------------------------------------------------

using test::ChildRun;

ChildRun RunChild(const std::string& mode) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  return test::RunChildWithFile(self, "--child " + mode, "qelrtlhooks_" + mode);
}

TEST(AbnormalEnd, ReportedThroughTheInstalledHandler) {
  const struct {
    const char* mode;
    const char* fields;  // class|message|can continue|address|stack and frame pointer known|handlers
  } cases[] = {
      {"terminate", "BcbTermination|Abnormal program termination|0|0|1"},
      {"pure-virtual", "EPureVirtualCall|Pure virtual function call|0|0|1"},
      {"invalid-parameter",
       "EInvalidParameter|Invalid parameter passed to a C run-time routine fread (stdio.c, line 12): count > 0|0|0|1"},
  };
  // Then which of the C run-time DLL's handlers were installed: those whose
  // setters it exports (the lane's exports neither).
  HMODULE crt = GetModuleHandleA("msvcrt.dll");
  const std::string handlers = std::string("|") + (Export(crt, "_set_purecall_handler") ? "1" : "0") +
                               (Export(crt, "_set_invalid_parameter_handler") ? "1" : "0");
  for (const auto& c : cases) {
    const ChildRun run = RunChild(c.mode);
    EXPECT_EQ(run.exitCode, 3u) << c.mode;
    EXPECT_EQ(run.output.substr(0, run.output.find('\n')), c.fields + handlers) << c.mode;
  }
}

TEST(AbnormalEnd, ForeignTerminationGivesABugReport) {
  const ChildRun run = RunChild("terminate-report");
  EXPECT_EQ(run.exitCode, 3u);
  EXPECT_NE(run.output.find("BcbTermination"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Abnormal program termination."), std::string::npos);
  EXPECT_NE(run.output.find("qelExcept version"), std::string::npos);
}

// The child's side.
const char* gChildFile = nullptr;
bool gComposeReport = false;

void WriteChildReport(const TRuntimeException& caught) {
  TRuntimeException e = caught;
  DescribeFault(e);
  std::string text = ExceptionClassName(&e.object) + "|" + ExceptionMessageText(&e.object) + "|" +
                     (e.canContinue ? "1" : "0") + "|" + std::to_string(e.address) + "|" +
                     (e.stackPointer && e.framePointer && e.threadId == GetCurrentThreadId() ? "1" : "0");
  const TRuntimeHandlers handlers = InstalledRuntimeHandlers();
  text += '|';
  for (bool installed : {handlers.crtPurecallHandler, handlers.crtInvalidParameterHandler})
    text += installed ? '1' : '0';
  text += '\n';
  if (gComposeReport) {
    std::string report;
    ComposeBugReport(false, &e.object, e.address, e.threadId, e.stackPointer, e.framePointer, false,
                     e.thrownObject, report);
    text += report;
  }
  if (FILE* f = std::fopen(gChildFile, "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
}

int RunChildMode(const std::string& mode, const char* file) {
  gChildFile = file;
  MainThreadId = GetCurrentThreadId();
  InstallThreadList();
  InstallRuntimeHooks(WriteChildReport);
  if (mode == "terminate" || mode == "terminate-report") {
    gComposeReport = mode == "terminate-report";
    const FixtureLibrary library;
    if (!InstallForeignRtlHooks(library.Rtl(), true)) return 4;
    reinterpret_cast<void(__cdecl*)()>(library["FixtureTerminate"])();
  } else if (mode == "pure-virtual") {
    const PureDerived object;
  } else if (mode == "invalid-parameter") {
    InvalidParameterHook(L"count > 0", L"fread", L"stdio.c", 12, 0);
  }
  return 5;  // not ended by the hook
}

}  // namespace
}  // namespace qel

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return qel::RunChildMode(argv[2], argv[3]);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
