// The banded gradient painter.
#pragma once

#include <windows.h>

class QPainter;

// Fills rect with bands that step from `from` towards `to`: stacked top to
// bottom when vertical, else left to right. One band per step of the
// largest colour component, at most one per pixel; band i has the start
// colour plus i/n of the difference, so `to` itself is never painted.
void FillGradient(QPainter* dc, RECT rect, COLORREF from, COLORREF to, int vertical);
