#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <cstdio>

#include <ombrel/framework.h>

#include "../core/provisions.h"

namespace ombrel::platform::lx {

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    QString message = QString::fromUtf8(text ? text : "");
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        std::fprintf(stderr, "%s\n", text ? text : "");
        return IDOK;
    }
    UINT icon = type & 0xF0u;
    QMessageBox box(icon == MB_ICONSTOP          ? QMessageBox::Critical
                    : icon == MB_ICONEXCLAMATION ? QMessageBox::Warning
                                                 : QMessageBox::NoIcon,
                    QString::fromUtf8(caption ? caption : ""), message, QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return IDOK;
}

} // namespace ombrel::platform::lx

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    return ombrel::platform::ActiveServices().MessageBoxA(owner, text, caption, type);
}

CWinThread* AfxGetThread() {
    static CWinThread guiThread;
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() != app->thread())
        return nullptr;
    return &guiThread;
}
