// How a text the system does not control (a path, a process name, a string
// read from a file) is shown on one line: a control character or a
// character that breaks or reorders lines is written as an escape, the way
// the command-line listing writes control bytes ("\t", "\n", "\xHH"; "\uHHHH"
// beyond a byte). Everything else, backslashes included, is shown as it is.
#pragma once

#include <QString>
#include <string>

QString ShownText(const QString& text);
// The same for narrow UTF-8 text; bytes that are not UTF-8 pass unchanged.
std::string ShownText(const std::string& text);
