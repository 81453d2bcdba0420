// Guarded sections: a body that fails costs its caller one line, not the
// process. A C++ exception ends the body everywhere; on Windows a processor
// fault (or any other error-severity structured exception) that nothing inside
// the body handles ends it too, through a structured-exception frame of the
// calling thread. Guards are per thread and nest: the innermost one that is
// active on the faulting thread takes the fault; a fault outside every guard
// goes on to the process's own handlers as before.
//
// A fault leaves the body where it stood: destructors of its objects do not
// run (their memory is lost, handles stay open). Keep resources whose release
// matters (locks, windows) outside the body.
#pragma once

#include <cstdint>
#include <type_traits>

namespace qel {

struct TGuardFault {
  std::uint32_t code = 0;        // the structured exception's code; 0: a C++ exception
  std::uintptr_t address = 0;    // where it was raised; 0 for a C++ exception
};

// Runs body(context); true when it ran to its end. fault (optional) says what
// ended it otherwise.
bool RunGuardedBody(void (*body)(void*), void* context, TGuardFault* fault);

// The address of the fault that ended the latest failed guarded body on this
// thread (bodies that run to their end leave it, so the failure's own line
// can be composed under a guard); 0 when that one ended by a C++ exception.
std::uintptr_t LastGuardFaultAddress();

// One instance per body type; its name carries the body's type once (module
// maps keep routine names of at most 255 characters).
template <class Body>
void GuardCall(void* body) {
  (*static_cast<Body*>(body))();
}

template <class F>
bool RunGuarded(F&& body, TGuardFault* fault = nullptr) {
  using Body = std::remove_reference_t<F>;
  return RunGuardedBody(&GuardCall<Body>, const_cast<void*>(static_cast<const void*>(&body)), fault);
}

}  // namespace qel
