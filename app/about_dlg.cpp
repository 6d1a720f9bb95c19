#include "about_dlg.h"

#include <QFontMetrics>
#include <QFrame>
#include <QImageReader>
#include <QLabel>
#include <QPushButton>

#include <ombrel/font_mapper.h>
#include <ombrel/icon_pixmap.h>

#include <ombrel/res/dialogs.h>

namespace {

QPixmap IconImage(unsigned id) {
    return ombrel::platform::IconPixmap(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id)),
                                        32);
}

// A bitmap at its own size in pixels, drawn from its artwork at the
// screen's pixel ratio.
QPixmap BitmapImage(unsigned id, qreal ratio) {
    QImageReader reader(QStringLiteral(":/bitmaps/%1.svg").arg(id));
    reader.setScaledSize(reader.size() * ratio);
    QPixmap image = QPixmap::fromImage(reader.read());
    image.setDevicePixelRatio(ratio);
    return image;
}

} // namespace

DialogUnits DialogUnitsOf(const QFont& font) {
    QFontMetrics metrics(font);
    int width = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(width / 26 + 1) / 2, metrics.height()};
}

CAboutDlg::CAboutDlg(QWidget* parent) : CDialog(parent) {
    const ombrel::res::DialogTemplate* layout = ombrel::res::FindDialog(kTemplate);
    if (layout == nullptr)
        return;
    QFont font = ombrel::platform::MappedFont(QString::fromUtf8(layout->fontFace));
    font.setPointSize(layout->pointSize);
    setFont(font);
    setWindowTitle(QString::fromUtf8(layout->caption));
    DialogUnits units = DialogUnitsOf(font);
    setFixedSize(units.X(layout->cx), units.Y(layout->cy));

    for (size_t i = 0; i < layout->count; ++i) {
        const ombrel::res::DialogControl& control = layout->controls[i];
        QRect place(units.X(control.x), units.Y(control.y), units.X(control.cx),
                    units.Y(control.cy));
        QWidget* widget = nullptr;
        switch (control.kind) {
        case ombrel::res::DialogControl::Icon: {
            // A static icon takes the icon's own size.
            QPixmap image = IconImage(control.image);
            auto* label = new QLabel(this);
            label->setPixmap(image);
            place.setSize(image.isNull() ? place.size() : image.deviceIndependentSize().toSize());
            widget = label;
            break;
        }
        case ombrel::res::DialogControl::Bitmap: {
            // A static bitmap sizes itself to its bitmap, whatever the
            // template says.
            QPixmap image = BitmapImage(control.image, devicePixelRatio());
            auto* label = new QLabel(this);
            label->setPixmap(image);
            if (!image.isNull())
                place.setSize(image.deviceIndependentSize().toSize());
            widget = label;
            break;
        }
        case ombrel::res::DialogControl::Text: {
            auto* label = new QLabel(QString::fromUtf8(control.text), this);
            label->setTextFormat(Qt::PlainText);
            label->setWordWrap(true);
            label->setAlignment((control.centred ? Qt::AlignHCenter : Qt::AlignLeft) |
                                Qt::AlignTop);
            widget = label;
            break;
        }
        case ombrel::res::DialogControl::Button: {
            auto* button = new QPushButton(QString::fromUtf8(control.text), this);
            button->setDefault(control.defaultButton);
            button->setAutoDefault(control.defaultButton);
            if (control.id == 1) // IDOK
                connect(button, &QPushButton::clicked, this, &QDialog::accept);
            widget = button;
            break;
        }
        case ombrel::res::DialogControl::Separator: {
            auto* line = new QFrame(this);
            line->setFrameShape(QFrame::HLine);
            line->setFrameShadow(QFrame::Sunken);
            place.setHeight(2);
            widget = line;
            break;
        }
        }
        widget->setGeometry(place);
        widget->setObjectName(QStringLiteral("control%1").arg(i + 1));
    }
}
