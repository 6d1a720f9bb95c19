#include "gradient.h"

#include <QPainter>
#include <algorithm>
#include <cstdlib>

void FillGradient(QPainter* dc, RECT rect, COLORREF from, COLORREF to, int vertical) {
    if (dc == nullptr)
        return;
    int r0 = GetRValue(from), g0 = GetGValue(from), b0 = GetBValue(from);
    int dR = GetRValue(to) - r0, dG = GetGValue(to) - g0, dB = GetBValue(to) - b0;
    int n = std::max({std::abs(dR), std::abs(dG), std::abs(dB)});
    int extent = vertical ? rect.bottom - rect.top : rect.right - rect.left;
    if (n >= extent)
        n = extent;
    if (n <= 0)
        return;
    // Single-precision steps, as the bands have always been computed; the
    // products are exact in double precision and only then truncated.
    const float step = static_cast<float>(extent) / static_cast<float>(n);
    const float incR = static_cast<float>(dR) / static_cast<float>(n);
    const float incG = static_cast<float>(dG) / static_cast<float>(n);
    const float incB = static_cast<float>(dB) / static_cast<float>(n);
    const float startR = static_cast<float>(r0), startG = static_cast<float>(g0),
                startB = static_cast<float>(b0);
    for (int i = 0; i < n; ++i) {
        int lo = static_cast<int>(static_cast<double>(i) * static_cast<double>(step));
        int hi = static_cast<int>(static_cast<double>(i + 1) * static_cast<double>(step));
        int red =
            static_cast<int>(static_cast<double>(startR) + i * static_cast<double>(incR)) & 0xFF;
        int green =
            static_cast<int>(static_cast<double>(startG) + i * static_cast<double>(incG)) & 0xFF;
        int blue =
            static_cast<int>(static_cast<double>(startB) + i * static_cast<double>(incB)) & 0xFF;
        // The platform's rectangle fill leaves the right and bottom edges out.
        QRect band = vertical ? QRect(rect.left, rect.top + lo, rect.right - rect.left, hi - lo)
                              : QRect(rect.left + lo, rect.top, hi - lo, rect.bottom - rect.top);
        dc->fillRect(band, QColor(red, green, blue));
    }
}
