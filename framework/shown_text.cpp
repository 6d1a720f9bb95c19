#include "shown_text.h"

#include <ombrel/text.h>

std::string ShownText(const std::string& text) {
    return ombrel::platform::ShownText(text);
}

QString ShownText(const QString& text) {
    return QString::fromStdString(ombrel::platform::ShownText(text.toStdString()));
}
