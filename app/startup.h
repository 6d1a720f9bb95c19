// The window program's start: display check, a safe environment, Qt and the
// application object, then the message loop.
#pragma once

class QLocale;
class QTranslator;

// Loads Qt's own translations for the locale into the translator and
// installs it; false where Qt has none for the locale.
bool InstallQtTranslations(QTranslator& translator, const QLocale& locale);

// The exit status of the program.
int RunOmbrel(int argc, char** argv);
