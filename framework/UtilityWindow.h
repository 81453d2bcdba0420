// Hidden utility windows whose window procedure is a bound method (a
// component's message handler), for timers and notifications.
#pragma once
#include <functional>

#include "Messages.h"

namespace zf {

using TWndMethod = std::function<void(TMessage&)>;

// Owns one hidden top-level window of the calling thread. The method gets
// every message; it sets Message.Result, typically by calling DefaultHandler.
// An exception leaving the method is handed to HandleBoundaryException.
class TUtilityWindow {
public:
  explicit TUtilityWindow(TWndMethod method);
  ~TUtilityWindow();
  TUtilityWindow(const TUtilityWindow&) = delete;
  TUtilityWindow& operator=(const TUtilityWindow&) = delete;

  void* Handle() const { return FHandle; }  // HWND
  // The default window procedure for a message.
  intptr_t DefaultHandler(const TMessage& m) const;

private:
  static intptr_t __stdcall WndProc(void* hwnd, unsigned msg, uintptr_t wp, intptr_t lp);
  TWndMethod FMethod;
  void* FHandle = nullptr;
};

}  // namespace zf
