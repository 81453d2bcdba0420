#include "PicConst.h"

#include "Forms.h"

namespace pictures {

namespace {
int g_cursorInits = 0;
}

void RegisterCursors() {
  if (g_cursorInits++ > 0) return;
  HINSTANCE self = GetModuleHandleA(nullptr);
  zf::Screen.SetCursors(crPicHand, LoadCursorA(self, "PIC_HANDCUR"));
  zf::Screen.SetCursors(crPicDrag, LoadCursorA(self, "PIC_DRAGCUR"));
}

void UnregisterCursors() {
  if (g_cursorInits > 0) --g_cursorInits;
}

}  // namespace pictures
