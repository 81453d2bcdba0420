#include "UtilityWindow.h"

#include <windows.h>

#include "ExceptHook.h"
#include "SysUtils.h"

namespace zf {

namespace {
constexpr char kClassName[] = "TZivoUtilWindow";

ATOM RegisterUtilClass(WNDPROC proc) {
  static const ATOM atom = [proc] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kClassName;
    return RegisterClassA(&wc);
  }();
  return atom;
}
}  // namespace

intptr_t __stdcall TUtilityWindow::WndProc(void* hwnd, unsigned msg, uintptr_t wp, intptr_t lp) {
  HWND h = static_cast<HWND>(hwnd);
  auto* self = reinterpret_cast<TUtilityWindow*>(GetWindowLongPtrA(h, GWLP_USERDATA));
  if (!self) return DefWindowProcA(h, msg, wp, lp);
  TMessage m{msg, wp, lp, 0};
  try {
    self->FMethod(m);
  } catch (...) {
    HandleBoundaryException();
  }
  return m.Result;
}

TUtilityWindow::TUtilityWindow(TWndMethod method) : FMethod(std::move(method)) {
  WNDPROC proc = reinterpret_cast<WNDPROC>(&TUtilityWindow::WndProc);
  if (!RegisterUtilClass(proc)) throw EOutOfResources("Cannot register the utility window class");
  HWND h = CreateWindowExA(WS_EX_TOOLWINDOW, kClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
  if (!h) throw EOutOfResources("Error creating window");
  SetWindowLongPtrA(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  FHandle = h;
}

TUtilityWindow::~TUtilityWindow() {
  if (FHandle) {
    HWND h = static_cast<HWND>(FHandle);
    SetWindowLongPtrA(h, GWLP_USERDATA, 0);
    DestroyWindow(h);
  }
}

intptr_t TUtilityWindow::DefaultHandler(const TMessage& m) const {
  return DefWindowProcA(static_cast<HWND>(FHandle), m.Msg, m.WParam, m.LParam);
}

}  // namespace zf
