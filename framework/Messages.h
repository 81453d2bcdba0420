// A window message as component window procedures see it.
#pragma once
#include <cstdint>

namespace zf {

struct TMessage {
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
  intptr_t Result = 0;
};

constexpr uint32_t WM_TIMER_MSG = 0x0113;

}  // namespace zf
