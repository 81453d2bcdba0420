#include "qelExceptReport.h"

#include <windows.h>
#include <shellapi.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

#include "qelDisAsmListing.h"
#include "qelExceptGuard.h"
#include "qelExceptNormalize.h"
#include "qelExceptProcess.h"
#include "qelExceptRtlHooks.h"
#include "qelExceptSettings.h"
#include "qelMapFile.h"
#include "qelProgressBar.h"
#include "qelStackTrace.h"
#include "qelExceptSysInfo.h"
#include "qelExceptThreads.h"
#include "qelStrings.h"
#include "qelTools.h"

namespace qel {

namespace {

TReportTracer gTracer;

struct HandleCloser {
  void operator()(void* h) const {
    if (h) CloseHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

std::string Hex8(std::uintptr_t v) {
  char buf[12];
  std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(v));
  return buf;
}

std::string ExeFileName() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

std::string ReporterModuleFileName() {
  HMODULE module = nullptr;
  std::string name;
  if (!ModuleOfAddress(reinterpret_cast<const void*>(&ReporterModuleFileName), module, name)) return ExeFileName();
  return name;
}

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

std::string NamePart(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string LocalNow() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return ReportDateTime(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

std::string FileDateText(const std::string& file, bool& found) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  found = GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data) != 0;
  if (!found) return {};
  FILETIME local;
  SYSTEMTIME t;
  if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) || !FileTimeToSystemTime(&local, &t)) return {};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute);
  return buf;
}

}  // namespace

std::uint64_t ProgramStartTime = 0;

namespace {

std::uint64_t ProcessStartTime() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

bool HasProgramParameter() {
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args) LocalFree(args);
  return count > 1;
}

// The header's lines up to the version; the exception lines follow.
std::vector<THeaderLine> SystemHeaderLines() {
  std::vector<THeaderLine> lines;
  lines.push_back({"date/time", LocalNow});
  lines.push_back({"computer name", [] {
                     char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
                     DWORD size = sizeof name;
                     return GetComputerNameA(name, &size) ? std::string(name) : std::string();
                   }});
  lines.push_back({"wts client name", TerminalClientName, true});
  lines.push_back({"user name", [] {
                     char name[260] = {};
                     DWORD size = sizeof name;
                     return GetUserNameA(name, &size) ? std::string(name) : std::string();
                   }});
  lines.push_back({"operating system", OsVersionText});
  lines.push_back({"system language", GetSystemLanguageText, true});
  lines.push_back({"system up time", GetSystemUpTimeText, true});
  lines.push_back({"program up time", [] {
                     return GetProgramUpTimeText(ProgramStartTime != 0 ? ProgramStartTime : ProcessStartTime());
                   }, true});
  const int processors = CountProcessors();
  lines.push_back({processors > 1 ? "processors" : "processor", [processors] {
                     const std::string name = GetProcessorNameText();
                     if (name.empty()) return name;
                     return processors > 1 ? std::to_string(processors) + "x " + name : name;
                   }, true});
  lines.push_back({"physical memory", GetPhysicalMemoryText});
  if (OsInfo().Is9x) lines.push_back({"system resources", GetSystemResourcesText});
  lines.push_back({"free disk space", [] {
                     char windows[MAX_PATH] = {};
                     GetWindowsDirectoryA(windows, MAX_PATH);
                     const std::string exe = ExeFileName();
                     std::string text = DiskFreeText(windows[0]);
                     if (!exe.empty() && Upper(exe[0]) != Upper(windows[0])) {
                       text += ' ';
                       text += DiskFreeText(exe[0]);
                     }
                     return text;
                   }});
  lines.push_back({"display mode", GetDisplayModeText});
  lines.push_back({"process id", [] { return HexStrPadded(GetCurrentProcessId(), 1, '0'); }});
  if (ShowCommandLine && HasProgramParameter())
    lines.push_back({"command line", [] { return std::string(GetCommandLineA()); }});
  const std::string exe = ExeFileName();
  lines.push_back({"executable", [exe] { return NamePart(exe); }});
  const std::string module = ReporterModuleFileName();
  if (lstrcmpiA(module.c_str(), exe.c_str()) != 0) lines.push_back({"current module", [module] { return module; }});
  bool found = false;
  const std::string date = FileDateText(module, found);
  if (found) {
    lines.push_back({module == exe || lstrcmpiA(module.c_str(), exe.c_str()) == 0 ? "exec. date/time"
                                                                                     : "module date/time",
                     [date] { return date; }});
    lines.push_back({"version", [module] {
                       const std::uint64_t v = FileVersion64(module);
                       return v ? FileVersionText(v) : std::string();
                     }, true});
  }
  if (HMODULE bde = GetModuleHandleA("idapi32.dll")) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(bde, path, MAX_PATH);
    const std::string file = path;
    lines.push_back({"bde version", [file] {
                       const std::uint64_t v = FileVersion64(file);
                       return v ? FileVersionText(v) : std::string();
                     }, true});
  }
  lines.push_back({"qelExcept version", [] { return std::string(kQelExceptVersion); }});
  return lines;
}

TThreadContextInfo ThreadContextInfo(std::uint32_t threadId) {
  TThreadContextInfo info;
  void* raw = OpenThreadById(threadId, 0x4A);
  if (!raw) raw = OpenThreadById(threadId, 0x8);
  if (!raw) return info;
  UniqueHandle thread(raw);
  CONTEXT context{};
  context.ContextFlags = 0x10007;
  if (threadId == GetCurrentThreadId() || !GetThreadContext(thread.get(), &context)) {
    if (threadId != GetCurrentThreadId()) return info;
    // The calling thread's own context is not defined; its registers now.
    RtlCaptureContext(&context);
  }
  info.stackPointer = context.Esp;
  info.framePointer = context.Ebp;
  info.instructionPointer = context.Eip;
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(reinterpret_cast<const void*>(info.stackPointer), &region, sizeof region) == sizeof region)
    info.stackTop = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
  const int priority = GetThreadPriority(thread.get());
  info.priority = priority == 0x7FFFFFFF ? 0 : priority;
  if (threadId != GetCurrentThreadId()) {
    const DWORD previous = SuspendThread(thread.get());
    if (previous != static_cast<DWORD>(-1)) {
      ResumeThread(thread.get());
      info.suspended = previous > 0;
    }
  }
  info.readable = true;
  return info;
}

class TProcessReportSource : public TReportSource {
public:
  explicit TProcessReportSource(bool frozen, const TExceptionObject* object) : FFrozen(frozen), FObject(object) {}

  std::vector<THeaderLine> HeaderLines() override {
    std::vector<THeaderLine> lines = SystemHeaderLines();
    AppendExceptionHeaderLines(lines, FFrozen, FObject, FrozenMessage.Str());
    return lines;
  }
  std::vector<std::uint32_t> Threads() override { return EnumProcessThreads(); }
  std::uint32_t MainThreadId() override { return qel::MainThreadId; }
  bool IsReporterThread(std::uint32_t id) override {
    void* creation = nullptr;
    std::string title;
    std::uint32_t creator = 0;
    ThreadTitle(id, false, creation, title, creator);
    return title.empty();
  }
  TThreadTitleInfo Title(std::uint32_t id, bool force) override {
    TThreadTitleInfo info;
    void* creation = nullptr;
    ThreadTitle(id, force, creation, info.title, info.creatorId);
    info.creationAddress = reinterpret_cast<std::uintptr_t>(creation);
    return info;
  }
  TThreadContextInfo Context(std::uint32_t id) override { return ThreadContextInfo(id); }
  std::string TraceStack(const TStackRequest& request) override {
    if (gTracer.traceStack)
      return gTracer.traceStack(request, HideItemsWithoutLineNumber, ShowRelativeAddresses, ShowRelativeLines,
                                ListAllStackCandidates);
    if (request.outFunctionStart) *request.outFunctionStart = 0;
    return AddressText(request.address);
  }
  std::string AddressText(std::uintptr_t address) override {
    return gTracer.addressText ? gTracer.addressText(address) : Hex8(address) + " ???";
  }
  std::string InternalErrorText(const std::string& step) override {
    return gTracer.internalErrorText ? gTracer.internalErrorText(step) : ">> internal error in " + step;
  }
  std::string ModuleReport() override {
    std::string text;
    GetModuleReport(text);
    return text;
  }
  std::string HardwareList() override {
    std::string text;
    GetHardwareList(text);
    return text;
  }
  bool DisAsmLinked() override { return DisAsmListingRoutine != nullptr; }
  std::string DisAsm(std::uintptr_t functionStart, std::uintptr_t marked) override {
    const TPageCache memory(nullptr);
    TOwnProcessSymbolizer symbols;
    const ListingEnvironment env{memory, symbols};
    FunctionInfo info;
    std::string listing;
    DisAsmListingRoutine(env, static_cast<Address>(functionStart), listing, static_cast<Address>(marked),
                         static_cast<std::int32_t>(DisAsmLineLimit), DisAsmListingOption, info);
    return listing;
  }
  // The fault that ended the failed section, if one did.
  std::uintptr_t HandledExceptionAddress() override { return LastGuardFaultAddress(); }
  void BeginProgress(const std::vector<std::uint64_t>& weights) override {
    FProgress = NewTraceProgress();
    for (std::uint64_t w : weights) AddProgressPhase(FProgress.get(), w);
  }
  void EndPhase() override { EndProgressPhase(FProgress.get()); }
  void EndProgress() override { FreeTraceProgress(FProgress); }
  TTraceProgress* Progress() override { return FProgress.get(); }

private:
  std::unique_ptr<TTraceProgress> FProgress;
  bool FFrozen;
  const TExceptionObject* FObject;
};

}  // namespace

void SetReportTracer(const TReportTracer& tracer) { gTracer = tracer; }
const TReportTracer& ReportTracer() { return gTracer; }

void NormalizeException(TExceptionObject& object, std::uintptr_t& address, std::vector<std::uint8_t>& stack,
                        const void* thrownObject) {
  try {
    if (object.classChain.empty()) object = DescribeCurrentException();
    if (thrownObject && gTracer.throwTimeStack) {
      std::uintptr_t site = 0;
      stack = gTracer.throwTimeStack(thrownObject, &site);
      if (!address) address = site;
    }
  } catch (...) {
    // what is known stands
  }
  try {
    // An exception of the foreign run-time: its current exception block.
    const bool haveObject = !object.classChain.empty();
    if (!haveObject || !address) {
      const void* foreign = haveObject ? &object : nullptr;
      std::vector<std::uint8_t> foreignStack;
      ThrowStackOfException(address, foreign, foreignStack);
      std::string className;
      if (!haveObject && foreign && IsValidExceptionObject(foreign, &className)) object.classChain = {className};
      if (stack.empty()) stack = std::move(foreignStack);
    }
  } catch (...) {
    // what is known stands
  }
  if (!address) return;
  try {
    // A recorded address may stop 4 bytes short of its instruction.
    std::string moduleFile, unit, routine;
    MapAddress routineStart = 0;
    std::int32_t line = 0;
    if (!AddressMapInfo(static_cast<MapAddress>(address), moduleFile, unit, routine, routineStart, line)) return;
    const TPageCache memory(nullptr);
    TOwnProcessSymbolizer symbols;
    const AnalyserEnvironment env{memory, symbols};
    FunctionInfo info;
    AnalyseFunction(env, static_cast<Address>(routineStart), info);
    if (info.valid) address = AdjustedExceptionAddress(memory, info, static_cast<Address>(address));
  } catch (...) {
    // the address stands
  }
}

void ComposeBugReport(bool frozen, const TExceptionObject* object, std::uintptr_t address, std::uint32_t threadId,
                      std::uintptr_t stackPointer, std::uintptr_t framePointer, bool progress, const void* extra,
                      std::string& result, const std::uint8_t* throwStack) {
  TExceptionObject normalized = object ? *object : TExceptionObject{};
  std::vector<std::uint8_t> stack;
  if (!frozen) NormalizeException(normalized, address, stack, throwStack ? nullptr : extra);
  if (!frozen && throwStack) {
    std::uint32_t count = 0;
    std::memcpy(&count, throwStack, 4);
    stack.assign(throwStack, throwStack + 4 + 5 * std::size_t{count});
  }
  TReportException e;
  e.frozen = frozen;
  e.object = frozen ? nullptr : &normalized;
  e.address = address;
  e.threadId = threadId;
  e.stackPointer = stackPointer;
  e.framePointer = framePointer;
  e.throwTimeStack = stack.empty() ? nullptr : stack.data();
  TProcessReportSource source(frozen, e.object);
  result = ComposeBugReportText(source, {ListAllThreads, ListModules, ListHardware, progress}, e);
}

std::string DiskFreeText(char driveLetter) {
  if (driveLetter == '\\') return {};
  const char upper = Upper(driveLetter);
  const std::string root = std::string(1, driveLetter) + ":\\";
  ULARGE_INTEGER available{}, total{}, free{};
  std::int64_t bytes = 0;
  if (GetDiskFreeSpaceExA(root.c_str(), &available, &total, &free)) {
    bytes = static_cast<std::int64_t>(free.QuadPart);
  } else {
    DWORD sectors = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (GetDiskFreeSpaceA(root.c_str(), &sectors, &bytesPerSector, &freeClusters, &clusters))
      bytes = static_cast<std::int64_t>(sectors) * bytesPerSector * freeClusters;
  }
  return std::string("(") + upper + ":) " + ByteSizeText(bytes);
}

std::string TerminalClientName() {
  if (GetVersion() & 0x80000000u) return {};
  if (GetSystemMetrics(0x1000 /* SM_REMOTESESSION */) == 0) return {};
  HMODULE wts = LoadLibraryA("wtsapi32.dll");
  if (!wts) return {};
  using QueryFn = BOOL(WINAPI*)(HANDLE, DWORD, int, LPSTR*, DWORD*);
  using FreeFn = void(WINAPI*)(void*);
  auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(GetProcAddress(wts, "WTSQuerySessionInformationA")));
  auto freeMemory = reinterpret_cast<FreeFn>(reinterpret_cast<void*>(GetProcAddress(wts, "WTSFreeMemory")));
  std::string name;
  LPSTR buffer = nullptr;
  DWORD length = 0;
  if (query && freeMemory && query(nullptr, static_cast<DWORD>(-1), 10, &buffer, &length) && buffer) {
    if (length > 1) name.assign(buffer, length - 1);
    freeMemory(buffer);
  }
  FreeLibrary(wts);
  return name;
}

std::string OsVersionText() {
  const TOS os = OsInfo();
  return os.Name + " build " + std::to_string(os.BuildNumber);
}

}  // namespace qel
