// Code patches that make the framework's own exception paths report through
// the reporter: jumps over framework routines and redirected calls, each to a
// replacement entry point. Every write is undone at shutdown. Windows, i686.
#pragma once
#include <windows.h>

namespace qel {

// Applies the patches of the (relocated) patch table of the module at
// instance. isExecutable: whether the module is the program's executable;
// worked out here when the caller passes false and it is.
void InstallCodePatches(HMODULE instance, bool& isExecutable);

}  // namespace qel
