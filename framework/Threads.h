// Thread objects and the run-time routine that starts threads for them.
#pragma once
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>

#include "Classes.h"

namespace zf {

// A thread routine as BeginThread runs it; its result is the thread's exit code.
using TThreadFunc = uint32_t (*)(void* parameter);

// What BeginThread hands the new thread: the routine and its parameter. Code
// that watches thread creation reads the second field (a thread object's
// parameter is the object itself).
struct TThreadStartRec {
  TThreadFunc Func;
  void* Parameter;
};

// The run-time's top-level exception handler of the threads BeginThread
// starts (an operating-system exception handler: record, establisher frame,
// context, dispatcher context). A C++ exception that leaves the thread routine
// reaches it as exception code 0x0EEDFADE with parameter 0 the address (0:
// the throw site) and parameter 1 the address of its std::exception_ptr. By
// itself it terminates for those (as an uncaught exception always did) and
// lets every other exception go on to the process's unhandled-exception
// handling; the exception reporter patches it.
int TopLevelExceptionHandler(void* record, void* establisherFrame, void* context, void* dispatcherContext);

// CreateThread with the run-time's start routine in front of `func`; the
// arguments are CreateThread's (security attributes, stack size, creation
// flags, where the thread id goes). Returns the thread's handle or nullptr.
void* BeginThread(void* securityAttributes, uint32_t stackSize, TThreadFunc func, void* parameter,
                  uint32_t creationFlags, uint32_t* threadId);

// The synchronize queue: a thread hands a call to the main thread and waits
// for it. The main thread runs the waiting calls in CheckSynchronize (its
// message loop calls it after every message); an exception a call raises is
// taken over with AcquireExceptionObject and raised again in the thread that
// asked. Both are patched at run time by the exception reporter.
using TThreadMethod = std::function<void()>;
// True when calls ran; false on any thread but the main thread.
bool CheckSynchronize();
// The exception being handled (call inside a catch block), now the caller's.
std::exception_ptr AcquireExceptionObject();
// The thread that ran the program's static initialization.
uint32_t MainThreadID();

// A thread object: derive, override Execute, then Start the object once it is
// fully constructed (the thread runs the most derived Execute). Execute looks
// at Terminated() to stop early. An exception leaving Execute ends the thread
// and is kept as FatalException(). With FreeOnTerminate the object deletes
// itself when Execute is done; otherwise its destructor terminates the thread
// and waits for it.
class TThread : public TObject {
public:
  TThread() = default;
  ~TThread() override;
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }

  // Creates the thread, running at once or held until Resume. Once only:
  // EThread when the object already has a thread or CreateThread fails.
  void Start(bool CreateSuspended = false);
  void Resume();
  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  // Waits for the thread to end and gives its exit code (ReturnValue).
  // Not for FreeOnTerminate objects, which may be gone by then.
  uint32_t WaitFor();

  bool FreeOnTerminate() const { return FFreeOnTerminate; }
  void SetFreeOnTerminate(bool v) { FFreeOnTerminate = v; }
  int ReturnValue() const { return FReturnValue; }
  std::exception_ptr FatalException() const { return FFatalException; }
  bool Suspended() const { return FSuspended; }
  bool Finished() const { return FFinished; }
  void* Handle() const { return FHandle; }  // HANDLE
  uint32_t ThreadID() const { return FThreadID; }

  // Runs method on the main thread (at once when called there) and waits for
  // it; what it raises is raised here.
  static void Synchronize(const TThreadMethod& method);

  // Index of Execute in the virtual table, for code that redirects a class's Execute.
  static int ExecuteVtableIndex();

protected:
  virtual void Execute() = 0;
  void SetReturnValue(int v) { FReturnValue = v; }

private:
  static uint32_t ThreadProc(void* self);
  void* FHandle = nullptr;
  uint32_t FThreadID = 0;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  bool FSuspended = false;
  bool FFreeOnTerminate = false;
  int FReturnValue = 0;
  std::exception_ptr FFatalException;
};

ZF_EXCEPTION_CLASS(EThread, Exception);

}  // namespace zf
