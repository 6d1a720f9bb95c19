#include "startup.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include <ombrel/administrator.h>
#include <ombrel/font_mapper.h>
#include <ombrel/framework.h>
#include <ombrel/process_setup.h>
#include <ombrel/res/strings.h>

#include "ombrel_app.h"

bool InstallQtTranslations(QTranslator& translator, const QLocale& locale) {
    if (!translator.load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    return QCoreApplication::installTranslator(&translator);
}

int RunOmbrel(int argc, char** argv) {
    // Before anything else: no root process is a client of the user's
    // display or bus. A start as root for a user keeps only the collector as
    // root and goes on as that user.
    std::string refusal;
    if (ombrel::platform::LeaveRootForTheUser(refusal) == ombrel::platform::StartRights::Refused) {
        std::fprintf(stderr, "%s\n", refusal.c_str());
        return 1;
    }
    ombrel::res::RegisterStrings();
    // The administrator start of a window run by its user: the collector
    // through pkexec, which asks for the password before the window opens.
    // The option is the program's own; the framework's parser never sees it.
    std::vector<char*> arguments(argv, argv + argc);
    auto administrator = std::find_if(
        arguments.begin() + (argc > 0 ? 1 : 0), arguments.end(),
        [](const char* argument) { return std::strcmp(argument, "--administrator") == 0; });
    if (administrator != arguments.end()) {
        arguments.erase(administrator);
        if (::geteuid() != 0)
            ombrel::platform::StartCollectorThroughPkexec();
    }
    argc = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    argv = arguments.data();
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
