#include <QApplication>
#include <QMessageBox>

#include <ombrel/framework.h>

#include "provisions.h"

namespace ombrel::platform {
namespace {

bool ShowMessageWindow(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return false;
    UINT icon = type & 0xF0u;
    QMessageBox box(icon == MB_ICONSTOP          ? QMessageBox::Critical
                    : icon == MB_ICONEXCLAMATION ? QMessageBox::Warning
                                                 : QMessageBox::NoIcon,
                    QString::fromUtf8(caption ? caption : ""), QString::fromUtf8(text ? text : ""),
                    QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return true;
}

} // namespace

void UseWindowMessageBoxes() {
    SetMessageBoxPresenter(ShowMessageWindow);
}

} // namespace ombrel::platform
