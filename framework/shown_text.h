// How a text the system does not control (a path, a process name, a string
// read from a file) is shown on one line in the window: the layer's rule,
// the one the command-line listing writes too, with a backslash shown as it
// is.
#pragma once

#include <QString>
#include <string>

std::string ShownText(const std::string& text);
// The same for text already in a QString, through its UTF-8 form.
QString ShownText(const QString& text);
