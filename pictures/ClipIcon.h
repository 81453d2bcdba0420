// Icons on the clipboard: a clipboard format of their own, registered with the
// picture registry for the framework's icon class.
#pragma once
#include <windows.h>

namespace pictures {

// The format's number (0 before registration).
UINT IconClipboardFormat();

// Unit start and end; only the first start acts, the end only counts.
void RegisterIconFormat();
void UnregisterIconFormat();

}  // namespace pictures
