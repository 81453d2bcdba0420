// Handler phases and cooperative pausing of the program's other threads while
// a report is made. Nothing is suspended from outside: a thread is held when
// it next calls a hooked message-retrieval function (or the main thread's
// handler window answers a message), and waits there on one of two
// manual-reset events while serving messages that other threads send to it.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qel {

// --- what pausing needs of the reporter's other units ----------------------
// Set once at installation, before the first report. Every link may be left
// empty: without thread enumeration nothing but the main thread is held,
// without the handler window no call moves to the main thread.
using TMsgHandlerProc = void (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

struct TPauseLinks {
  // The process's thread ids.
  std::vector<uint32_t> (*EnumProcessThreads)() = nullptr;
  // The creation address the thread list holds for a thread, waiting at most
  // 50 ms for the list; false when the list is busy or has none.
  bool (*ThreadCreationAddress)(uint32_t threadId, uintptr_t& address) = nullptr;
  // Whether map data of the module holding the address are loaded.
  bool (*HasMapData)(uintptr_t address) = nullptr;
  // Hooks the message-retrieval functions so that they call PauseIfRequested.
  void (*HookMessageFunctions)() = nullptr;
  // Per-thread message-handler windows: the calling thread's window (thread
  // id 0), registration of a handler (message 0: a free number is chosen).
  HWND (*HandlerWindowForThread)(uint32_t threadId) = nullptr;
  uint32_t (*AddMessageHandler)(TMsgHandlerProc handler, uint32_t message, uint32_t threadId) = nullptr;
  void (*RemoveMessageHandler)(TMsgHandlerProc handler, uint32_t message, uint32_t threadId) = nullptr;
  // Settings: the run-time library's main thread, and whether other threads
  // are held at all while a report is made.
  uint32_t MainThreadId = 0;
  bool PauseRunningThreads = true;
};

void SetPauseLinks(const TPauseLinks& links);

// The links to the thread list, the module maps, the handler windows and the
// settings as they stand (MainThreadId set), and the message hooks.
TPauseLinks DefaultPauseLinks();

// --- pausing ----------------------------------------------------------------

// True starts a pause (called by the thread that processes a report, which is
// never held itself), False ends it.
void PauseOtherThreads(bool pause);

// Called at the start of every hooked message-retrieval call: holds the
// calling thread while a pause asks for it. Keeps the thread's last error.
void PauseIfRequested();

// Lets a held main thread go for a while (true when it was held) and holds it
// again.
bool ReleaseMainThread();
void HoldMainThread();

// Whether a thread is one the program's own code created (its creator's
// module has map data), so that it is held during a pause.
bool IsPausableThread(uint32_t threadId);

// Sets and closes the events, so that no thread stays held (shutdown).
void ShutdownPause();

// --- handler phases -----------------------------------------------------------

enum THandlerKind : uint8_t {
  hkExceptEvent = 0,     // exception events, by phase
  hkAction = 1,          // actions of the exception box and automatic decisions
  hkHandledFreeing = 2,  // handled exceptions whose object is being freed
};
inline constexpr uint8_t AnyPhase = 0xFF;  // an entry that wants every phase

// What every handler of one call is given, and what it may change.
struct THandlerCall {
  uint8_t Kind = 0, Phase = 0;
  uint32_t Action = 0;
  bool Frozen = false;
  void* ExceptObject = nullptr;
  uintptr_t ExceptAddr = 0;
  uint32_t ThreadId = 0;
  std::string ScreenShot, Report;
  bool CanContinue = false, Handled = false;
  bool MovedToMainThread = false;  // runs in the main thread through its handler window
  bool MoveFailed = false;         // meant for the main thread, runs here instead
};

using TExceptHandlerProc = void (*)(THandlerCall& call);
using TExceptHandlerMethod = void (*)(void* object, THandlerCall& call);

// Registration; false for a duplicate or an unknown kind.
bool AddExceptHandler(uint8_t kind, TExceptHandlerProc proc, bool inMainThread, uint8_t phase);
bool AddExceptHandlerMethod(uint8_t kind, TExceptHandlerMethod method, void* object, bool inMainThread, uint8_t phase);
void RemoveExceptHandler(uint8_t kind, TExceptHandlerProc proc);
void RemoveExceptHandlerMethod(uint8_t kind, TExceptHandlerMethod method, void* object);

// Runs the handlers of a kind for a phase, moving those that want it to the
// main thread; copies strings and bytes back. With no handler of the kind
// nothing is touched.
void CallExceptHandlers(uint8_t kind, uint8_t phase, uint32_t action, bool* handled, bool* canContinue,
                        std::string* screenShot, std::string* report, uint32_t threadId, uintptr_t exceptAddr,
                        void* exceptObject, bool frozen);

// Registers AnswerHandlerCall at the calling (main) thread's handler window.
bool StartHandlerWindow();
void StopHandlerWindow();
uint32_t HandlerCallMessage();

// The handler-window side: holds the main thread when asked (wParam 1 only
// wakes it), runs the main-thread handlers of the record lParam points at
// (wParam 0); answers 777.
void AnswerHandlerCall(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

// True while the main thread runs handlers: its own reports are ignored then.
bool MainThreadRunsHandlers();

}  // namespace qel
