// Drawing an icon handle.
#pragma once

#include <QPixmap>

#include <windows.h>

namespace ombrel::platform {

// The icon's image at size x size pixels; images are decoded once per
// source and size and shared by every copy. A null pixmap for no icon.
QPixmap IconPixmap(HICON icon, int size);

} // namespace ombrel::platform
