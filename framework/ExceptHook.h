// Where exceptions caught at a platform boundary (window procedure, timer,
// callback) go: the application object installs its handler here.
#pragma once
#include <exception>

namespace zf {

using TBoundaryHandler = void (*)(std::exception_ptr);

// Returns the previous handler.
TBoundaryHandler SetBoundaryExceptionHandler(TBoundaryHandler h);
// Call from inside a catch block: hands the current exception to the handler.
void HandleBoundaryException() noexcept;

}  // namespace zf
