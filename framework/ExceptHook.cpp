#include "ExceptHook.h"

#include <atomic>
#include <cstdio>

#include "SysUtils.h"

namespace zf {

namespace {
void DefaultHandler(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const EAbort&) {
  } catch (const std::exception& x) {
    std::fprintf(stderr, "unhandled exception: %s\n", x.what());
  } catch (...) {
    std::fprintf(stderr, "unhandled exception\n");
  }
}
std::atomic<TBoundaryHandler> g_handler{&DefaultHandler};
}  // namespace

TBoundaryHandler SetBoundaryExceptionHandler(TBoundaryHandler h) {
  return g_handler.exchange(h ? h : &DefaultHandler);
}

void HandleBoundaryException() noexcept {
  try {
    g_handler.load()(std::current_exception());
  } catch (...) {
    // A handler that raises must not let the exception cross into Windows.
  }
}

}  // namespace zf
