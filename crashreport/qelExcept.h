// The exception reporter's installation: the qelExcept unit's start and end
// entries, the restart's receiving side, and the export qelTraceProcess with
// which an outside tool asks a running program for a report of its threads.
// Windows, i686.
#pragma once

#include <cstdint>

#include "qelMapFile.h"
#include "qelStackTrace.h"
#include "qelTools.h"

namespace qel {

// The unit's entries: the body runs once per module, however often the
// entries are called (a counter that initialization lowers and finalization
// raises).
void qelExceptInitialization();
void qelExceptFinalization();

// Installs the reporter in this module: the shared thread list, MainThreadId,
// the code patches and run-time hooks, the exception thread, the handler
// window, the thread-creation hook and the freeze watchdog, as the settings
// ask. Without catching and without a watchdog only MainThreadId is set.
// A shared block that cannot be had ends the process (exit code 0) after a
// message box.
void InitExceptUnit(bool isExecutable);
// Takes it all down again, in reverse.
void DoneExceptUnit();

// A process started by the restart action takes over the exception-time
// history of the process it replaces, once that has ended.
void TakeOverFromPredecessor();

// Box texts when the shared block cannot be had.
inline constexpr const char* kInternalErrorCaption = "qelExcept";
inline constexpr const char* kInternalErrorText = "internal error";
inline constexpr const char* kInternalErrorNotifyText = "internal error. please notify bugreport@zivo.example";

// Where qelTraceProcess writes the report: "Global\" + this first on the NT family.
inline constexpr const char* kTraceProcessMapName = "qelTraceProcessMap";

}  // namespace qel

// The module's export (ordinal 1; see qelExcept.def): composes a report of
// every thread of the process on the calling thread and writes it, cut to
// size - 1 characters and a zero byte, into the mapping kTraceProcessMapName
// made by the caller; with size below 1 it goes on the clipboard. Always 0.
extern "C" std::int32_t __stdcall qelTraceProcess(std::int32_t size);

// The reporter's units in the order a program's unit table lists them: after
// the support library's tools unit and before the program's own (component)
// units, so that the patches and hooks are in place before any form exists.
// clang-format off
#define QEL_REPORTER_UNITS                                                        \
  {"qelTools", nullptr, qel::CloseHandlerMutex},                                  \
  {"qelExcept", qel::qelExceptInitialization, qel::qelExceptFinalization},        \
  {"qelTypes", nullptr, nullptr},                                                 \
  {"qelStrings", nullptr, nullptr},                                               \
  {"qelDisAsm", nullptr, nullptr},                                                \
  {"qelCrypt", nullptr, nullptr},                                                 \
  {"qelZip", nullptr, nullptr},                                                   \
  {"qelMapFile", qel::qelMapFileInit, qel::qelMapFileFini},                       \
  {"qelStackTrace", nullptr, qel::qelStackTraceFini},                             \
  {"qelLinkDisAsm", nullptr, nullptr},                                            \
  {"qelScreenShot", nullptr, nullptr}
// clang-format on
