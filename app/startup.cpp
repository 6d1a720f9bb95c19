#include "startup.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <ombrel/framework.h>
#include <ombrel/startup.h>

#include "ombrel_app.h"

namespace {

// Whether an X server answers on a local display such as ":0"; a remote
// display is left to Qt.
bool LocalXServerAnswers(const std::string& display) {
    if (display.empty() || display[0] != ':')
        return !display.empty();
    std::string number = display.substr(1, display.find('.') - 1);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/tmp/.X11-unix/X%s", number.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool answers = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!answers) {
        // The abstract socket the server also listens on.
        address.sun_path[0] = '\0';
        std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "/tmp/.X11-unix/X%s",
                      number.c_str());
        answers = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ::close(fd);
    return answers;
}

bool HaveDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0' && std::string(platform).rfind("xcb", 0) != 0 &&
        std::string(platform).rfind("wayland", 0) != 0)
        return true; // offscreen, vnc, ...: no display needed
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland != nullptr && *wayland != '\0')
        return true;
    const char* display = std::getenv("DISPLAY");
    return display != nullptr && LocalXServerAnswers(display);
}

} // namespace

int RunOmbrel(int argc, char** argv) {
    // First, so that no variable dropped here decides the display either.
    ombrel::platform::DropUnsafeEnvironment();
    ombrel::platform::RaiseDescriptorLimit();
    if (!HaveDisplay()) {
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
    ombrel::platform::UseWindowMessageBoxes();
    COmbrelApp theApp(argc, argv);
    if (!theApp.InitInstance())
        return 1;
    return application.exec();
}
