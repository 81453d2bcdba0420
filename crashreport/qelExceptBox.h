// The exception box: the modal window of the exception thread that shows the
// message and the bug report and offers the actions. Windows.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "qelExceptReportCore.h"

namespace qel {

// Shows the box and returns when it is gone (continue) or WM_QUIT arrived;
// close and restart end the process inside. Console programs with
// ConsoleOutput write to standard output instead.
void ShowExceptionBox(bool frozen, const TExceptionObject* object, uintptr_t address, bool canContinue,
                      const std::string& screenshot, const std::string& report);

// Puts text on the clipboard as CF_TEXT; nothing when it cannot be opened.
void CopyReportToClipboard(const std::string& text);

// The box's message: FrozenMessage or ExceptMessage with "%LF%" as CR LF and
// "%exceptMsg%" as the exception's message (and "." after it when withDot).
std::string ExceptionBoxMessage(bool frozen, const TExceptionObject* object, bool withDot);

// What a console program writes in place of the box: for a web program the
// HTML page behind its content type, else the message and, when the box would
// offer it, the report.
void WriteConsoleReport(HANDLE output, bool webProgram, bool frozen, const TExceptionObject* object,
                        const std::string& report);

// Whether the program's executable is a console program.
bool IsConsoleProgram();

// Each channel moved by the amount's channel: up, unless two or more channels
// would pass 255, then down; clamped to 0..255.
COLORREF ShiftColor(COLORREF colour, COLORREF amount);

}  // namespace qel
