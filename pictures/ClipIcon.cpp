#include "ClipIcon.h"

#include "Graphics.h"

namespace pictures {

namespace {
int g_iconInits = 0;
UINT g_iconFormat = 0;
}  // namespace

UINT IconClipboardFormat() { return g_iconFormat; }

void RegisterIconFormat() {
  if (g_iconInits++ > 0) return;
  g_iconFormat = RegisterClipboardFormatA("Icon Image");
  if (g_iconFormat) zf::TPicture::RegisterClipboardFormat(g_iconFormat, zf::TIcon::Class());
}

void UnregisterIconFormat() {
  if (g_iconInits > 0) --g_iconInits;
}

}  // namespace pictures
