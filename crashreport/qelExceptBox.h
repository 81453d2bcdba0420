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

}  // namespace qel
