#include "startup.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdio>

#include <ombrel/font_mapper.h>
#include <ombrel/framework.h>
#include <ombrel/res/strings.h>
#include <ombrel/startup.h>

#include "ombrel_app.h"

bool InstallQtTranslations(QTranslator& translator, const QLocale& locale) {
    if (!translator.load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    return QCoreApplication::installTranslator(&translator);
}

int RunOmbrel(int argc, char** argv) {
    ombrel::res::RegisterStrings();
    // First, so that no variable dropped here decides the display either.
    ombrel::platform::DropUnsafeEnvironment();
    ombrel::platform::RaiseDescriptorLimit();
    if (!ombrel::platform::CanOpenDisplay()) {
        std::fprintf(stderr, "ombrel: no display to open a window on (DISPLAY is not set or "
                             "no X server answers)\n");
        return 1;
    }
    // Qt takes options of its own from the command line (a plug-in path and
    // a platform among them); the program takes none, so Qt sees only the
    // program's name. The arguments go to the framework's shell commands.
    static char* qtArgv[] = {argc > 0 ? argv[0] : const_cast<char*>("ombrel"), nullptr};
    static int qtArgc = 1;
    QApplication application(qtArgc, qtArgv);
    ombrel::platform::UseSimplifiedChineseGlyphs();
    // Qt's own texts (the file dialogs' among them) in the user's language.
    QTranslator qtTexts;
    InstallQtTranslations(qtTexts, QLocale());
    ombrel::platform::UseWindowMessageBoxes();
    COmbrelApp theApp(argc, argv);
    if (!theApp.InitInstance())
        return 1;
    return application.exec();
}
