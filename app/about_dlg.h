// The about box.
#pragma once

#include <QFont>

#include "dialog.h"

class CAboutDlg : public CDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    static constexpr unsigned kTemplate = 100;
};

// Dialog units of a font in pixels: horizontal units are a quarter of the
// font's average character width, vertical ones an eighth of its height.
struct DialogUnits {
    int baseX;
    int baseY;
    int X(int units) const { return (units * baseX + 2) / 4; }
    int Y(int units) const { return (units * baseY + 4) / 8; }
};
DialogUnits DialogUnitsOf(const QFont& font);
