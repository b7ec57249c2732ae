// The frame around a window's client area. The windows' sizes are given whole, as the
// window is seen on the desktop, frame included: two 8-pixel borders, and a 31-pixel
// title bar over the lower border. Each window sizes its client area to its size less
// the frame.
#pragma once

#include <QSize>

namespace trm {

inline constexpr int kFrameWidth = 16;
inline constexpr int kFrameHeight = 39;

inline QSize ClientSizeOf(QSize outer) {
    return outer - QSize(kFrameWidth, kFrameHeight);
}

} // namespace trm
