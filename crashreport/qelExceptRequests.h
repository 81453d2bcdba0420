// Exception requests: every path that learns of a failure ends in
// ReportException, which hands the failure to the exception thread (or, with
// the loader lock held, processes it on the calling thread). Windows, i686.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "qelExceptReportCore.h"
#include "qelExceptRtlHooks.h"

namespace qel {

// Action codes told to action handlers and used by the exception box.
enum TExceptAction : uint8_t {
  eaMailBugReport = 0,
  eaSaveBugReport = 1,
  eaPrintBugReport = 2,
  eaShowBugReport = 3,
  eaContinueApplication = 4,
  eaRestartApplication = 5,
  eaCloseApplication = 6,
};

// The 40-byte record that passes whole through the exception pipe. The
// object and report-out pointers refer to the reporting thread, which waits
// until the request is done.
struct TExceptionRequest {
  HANDLE DoneEvent;  // 0: processed on the calling thread; read from the pipe: stop
  uint32_t RequestThreadId;
  bool Frozen;
  uint8_t Unused1[3];
  const TExceptionObject* ExceptObject;  // nil for a freeze
  uintptr_t ExceptAddr;
  bool CanContinue;
  uint8_t Unused2[3];
  uintptr_t StackPtr;
  uintptr_t FramePtr;
  std::string* ReportOut;  // receives the report in HTML mode; nil for none
  const uint8_t* ThrowStack;  // the throw-time stack block (dword count, 5-byte items); nil for none
};
static_assert(sizeof(void*) != 4 || sizeof(TExceptionRequest) == 40, "the request is 40 bytes on i686");

// A hardware fault, described without allocating; its object is made where
// the request is processed.
struct THardwareFault {
  uint32_t Code = 0;
  uint32_t AccessKind = 0;
  uintptr_t Accessed = 0;
};

// stackPtr/framePtr 0: taken here; reportOut may be nil; thrownObject: the
// C++ object of the exception, for its throw-time stack. With a fault,
// object is nil and nothing up to the pipe write touches the heap. Requests
// of any number of threads queue in the pipe and are processed in turn.
void ReportException(bool frozen, const TExceptionObject* object, uintptr_t address, bool canContinue,
                     uintptr_t stackPtr, uintptr_t framePtr, std::string* reportOut,
                     const void* thrownObject = nullptr, const THardwareFault* fault = nullptr);
// The run-time hooks' report handler: ReportException of what they caught.
void ReportRuntimeException(const TRuntimeException& exception);

void StartExceptionThread();
void StopExceptionThread();
// 0xFFFFFFFF while the thread is not started.
uint32_t ExceptionThreadId();
// Requests written to the pipe and not yet processed.
int PendingExceptionRequests();
// The pipe position (1, 2, ...) of the request the exception thread is
// processing; 0 while none.
uint32_t ProcessedRequestSerial();
void ProcessExceptionRequest(TExceptionRequest& request);

inline constexpr uint16_t DefaultFpuControlWord = 0x1332;
void ResetFpu();

// The exception box (shown modally on the exception thread); nil: no box.
using TExceptionBoxRoutine = void (*)(bool frozen, const TExceptionObject* object, uintptr_t address,
                                      bool canContinue, const std::string& screenshot, const std::string& report);
extern TExceptionBoxRoutine ExceptionBoxRoutine;

}  // namespace qel
