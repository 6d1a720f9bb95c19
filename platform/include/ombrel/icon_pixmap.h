// Drawing an icon handle.
#pragma once

#include <QPixmap>

#include <windows.h>

namespace ombrel::platform {

// The icon's image at size x size device-independent pixels, drawn at the
// application's device pixel ratio; images are decoded once per source,
// size and ratio and shared by every copy. A null pixmap for no icon.
QPixmap IconPixmap(HICON icon, int size);

} // namespace ombrel::platform
