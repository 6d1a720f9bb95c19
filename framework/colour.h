// The platform's COLORREF and Qt's colours, one way and the other.
#pragma once

#include <QColor>

#include <windows.h>

inline QColor ToQColor(COLORREF colour) {
    return QColor(GetRValue(colour), GetGValue(colour), GetBValue(colour));
}

inline COLORREF FromQColor(const QColor& colour) {
    return RGB(colour.red(), colour.green(), colour.blue());
}
