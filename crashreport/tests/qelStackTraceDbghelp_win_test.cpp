// Our trace of waiting threads beside the platform's own walk (dbghelp's
// StackWalk64 over the same suspended context), frame by frame. Wine's
// dbghelp may not read our debug information, so frames are compared by
// address: each return address dbghelp finds in a loaded module must stand
// in our trace as the call before it.
#include <windows.h>
#include <dbghelp.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "DbghelpWalk.h"
#include "qelStackTrace.h"

namespace {

HANDLE gReady = nullptr;
HANDLE gRelease = nullptr;

__attribute__((noinline, noipa)) void WaitInKernel() {
  SetEvent(gReady);
  WaitForSingleObject(gRelease, 120000);
}

__attribute__((noinline, noipa)) void MessageLoop() {
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue
  SetEvent(gReady);
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
}

LRESULT CALLBACK ParkingWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) {
    SetEvent(gReady);
    WaitForSingleObject(gRelease, 120000);
    return 1;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

__attribute__((noinline, noipa)) void InCallback() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = ParkingWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "qelDbghelpParking";
  RegisterClassA(&wc);
  HWND hwnd = CreateWindowA(wc.lpszClassName, "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance, nullptr);
  SendMessageA(hwnd, WM_APP, 0, 0);
  DestroyWindow(hwnd);
}

DWORD WINAPI Shape(void* body) {
  reinterpret_cast<void (*)()>(body)();
  return 0;
}

struct TFrame {
  std::uintptr_t pc;
  std::string module;
};

std::string ModuleOf(std::uintptr_t address) {
  HMODULE m = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(address), &m))
    return {};
  char path[MAX_PATH] = {};
  GetModuleFileNameA(m, path, MAX_PATH);
  const std::string p = path;
  return p.substr(p.find_last_of("\\/") + 1);
}

std::vector<TFrame> DbghelpFrames(HANDLE thread, CONTEXT context) {
  STACKFRAME64 frame = qeltest::FirstStackFrame(context);
  std::vector<TFrame> frames;
  while (frames.size() < 64 && StackWalk64(IMAGE_FILE_MACHINE_I386, GetCurrentProcess(), thread, &frame, &context,
                                           nullptr, SymFunctionTableAccess64, SymGetModuleBase64, nullptr)) {
    if (frame.AddrPC.Offset == 0) break;
    const auto pc = static_cast<std::uintptr_t>(frame.AddrPC.Offset);
    frames.push_back({pc, ModuleOf(pc)});
  }
  return frames;
}

std::vector<std::uintptr_t> TraceAddresses(const std::string& trace) {
  std::vector<std::uintptr_t> out;
  for (std::size_t at = 0; at < trace.size();) {
    out.push_back(std::stoul(trace.substr(at, 8), nullptr, 16));
    const std::size_t nl = trace.find('\n', at);
    if (nl == std::string::npos) break;
    at = nl + 1;
  }
  return out;
}

// Our line for a return address is the call before it (at most 7 bytes).
bool HasCallBefore(const std::vector<std::uintptr_t>& ours, std::uintptr_t pc, bool first) {
  for (std::uintptr_t a : ours)
    if (first ? (a + 16 >= pc && a <= pc + 16) : (a < pc && a + 8 >= pc)) return true;
  return false;
}

struct TShapeCase {
  const char* name;
  void (*body)();
  const char* ownRoutine;  // our routine that must be named in the trace
};

TEST(TraceBesideDbghelp, WaitingThreadShapes) {
  SymSetOptions(SYMOPT_DEFERRED_LOADS);
  ASSERT_TRUE(SymInitialize(GetCurrentProcess(), nullptr, TRUE));
  const TShapeCase cases[] = {
      {"kernel wait", WaitInKernel, "WaitInKernel"},
      {"message loop", MessageLoop, "MessageLoop"},
      {"window procedure", InCallback, "ParkingWindowProc"},
  };
  for (const TShapeCase& c : cases) {
    SCOPED_TRACE(c.name);
    gReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    gRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, Shape, reinterpret_cast<void*>(c.body), 0, &id);
    ASSERT_EQ(WaitForSingleObject(gReady, 60000), WAIT_OBJECT_0);
    // Suspended once it waits: its instruction pointer in a system-call stub.
    CONTEXT context{};
    bool waiting = false;
    for (int attempt = 0; attempt < 600 && !waiting; ++attempt) {
      ASSERT_NE(SuspendThread(thread), static_cast<DWORD>(-1));
      context = CONTEXT{};
      context.ContextFlags = CONTEXT_FULL;
      ASSERT_TRUE(GetThreadContext(thread, &context));
      const std::string module = ModuleOf(context.Eip);
      waiting = module == "ntdll.dll" || module == "win32u.dll";
      if (!waiting) {
        ResumeThread(thread);
        Sleep(50);
      }
    }
    ASSERT_TRUE(waiting);
    MEMORY_BASIC_INFORMATION region{};
    VirtualQuery(reinterpret_cast<void*>(context.Esp), &region, sizeof region);
    qel::TTraceStackParams p;
    p.address = context.Eip;
    p.stackStart = context.Esp;
    p.stackTop = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
    p.framePointer = context.Ebp;
    const std::string trace = qel::TraceStack(p);
    const std::vector<TFrame> theirs = DbghelpFrames(thread, context);
    ResumeThread(thread);
    SetEvent(gRelease);
    PostThreadMessageA(id, WM_QUIT, 0, 0);
    EXPECT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(gReady);
    CloseHandle(gRelease);

    std::printf("--- %s: ours\n%s\n--- dbghelp\n", c.name, trace.c_str());
    for (const TFrame& f : theirs) std::printf("%08x %s\n", static_cast<unsigned>(f.pc), f.module.c_str());
    const std::vector<std::uintptr_t> ours = TraceAddresses(trace);
    EXPECT_NE(trace.find(c.ownRoutine), std::string::npos) << trace;
    ASSERT_FALSE(theirs.empty());
    const std::string exe = ModuleOf(reinterpret_cast<std::uintptr_t>(&Shape));
    int unnamed = 0;
    for (std::size_t i = 0; i < theirs.size(); ++i) {
      const TFrame& f = theirs[i];
      if (f.module.empty()) continue;  // no module: not a frame of ours or the system's
      const bool present = HasCallBefore(ours, f.pc, i == 0);
      // Frames of ours, the waiting call itself and the system routine each
      // of ours called must all be there.
      const bool calledByOurs = i + 1 < theirs.size() && theirs[i + 1].module == exe;
      if (f.module == exe || i == 0 || calledByOurs) {
        EXPECT_TRUE(present) << "dbghelp frame " << i << " " << std::hex << f.pc << " in " << f.module;
        continue;
      }
      // Explained: the trace names a frame of a module without a map by the
      // module's exports only (the routine before the address must be an
      // export whose code holds it) and lists named frames only. Internal
      // routines of the system's modules (Wine's thread-start wrapper in
      // ntdll between BaseThreadInitThunk and RtlUserThreadStart, user32's
      // window-procedure dispatch between SendMessageA and the procedure)
      // have no export and are left out.
      if (!present) ++unnamed;
    }
    // The other way round, dbghelp walks frame pointers only and misses a
    // frame whose callee keeps none (GetMessageA above win32u's system-call
    // stub): the trace has it from the stack scan.
    std::printf("%s: %u frames ours, %u dbghelp's, %d unexported system frames left out\n", c.name,
                static_cast<unsigned>(ours.size()), static_cast<unsigned>(theirs.size()), unnamed);
  }
  SymCleanup(GetCurrentProcess());
}

}  // namespace
