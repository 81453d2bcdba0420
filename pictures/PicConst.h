// The picture units' cursors: a hand and a dragging hand, loaded from the
// program's resources "PIC_HANDCUR" and "PIC_DRAGCUR" into the screen's cursor table.
#pragma once

namespace pictures {

inline constexpr int crPicHand = 14000;
inline constexpr int crPicDrag = 14001;

// Unit start and end; only the first start acts.
void RegisterCursors();
void UnregisterCursors();

}  // namespace pictures
