#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

#include <ombrel/process_setup.h>

#include "base/fd.h"

namespace ombrel::platform {
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
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return false;
    bool answers = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!answers) {
        // The abstract socket the server also listens on.
        address.sun_path[0] = '\0';
        std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "/tmp/.X11-unix/X%s",
                      number.c_str());
        answers = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    return answers;
}

} // namespace

bool CanOpenDisplay() {
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

} // namespace ombrel::platform
