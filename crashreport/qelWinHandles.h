// Owners of kernel handles and mapped views. Windows.
#pragma once
#include <windows.h>

#include <memory>

namespace qel {

struct THandleClose {
  void operator()(HANDLE h) const {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using TOwnedHandle = std::unique_ptr<void, THandleClose>;

struct TViewUnmap {
  void operator()(void* view) const { UnmapViewOfFile(view); }
};
using TOwnedView = std::unique_ptr<void, TViewUnmap>;

}  // namespace qel
