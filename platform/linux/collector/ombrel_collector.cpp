// ombrel-collector: the administrator mode's root part. Started through
// pkexec by a window that runs as its user (or by the program's own start as
// root on a user's behalf, which then becomes that user), it answers each
// request on its standard input with one whole snapshot of the four socket
// tables, every row's owner, and each owner's name, program path and program
// file identity. It is no client of any display or bus, takes no argument,
// ignores its environment, opens nothing its caller names and ends when its
// input closes or on any byte that is not a request.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "../collector_answer.h"
#include "../fd.h"
#include "collector_answer.h"

namespace {

// Exit statuses: 0 its input ended, 1 a stray byte or a failed write, 2
// called with arguments.
constexpr int kEnded = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 2;

} // namespace

int main(int argc, char**) {
    if (argc != 1)
        return kUsage;
    // Nothing of the caller's steers it: no variable, no descriptor but the
    // two it talks on (and the error output nobody reads), no working folder.
    ::clearenv();
    ::close_range(3, ~0U, 0);
    ::umask(077);
    if (::chdir("/") != 0)
        return kRefused;
    // A reader that has gone ends it through the failed write, not a signal.
    ::signal(SIGPIPE, SIG_IGN);

    if (!ombrel::platform::WriteAll(STDOUT_FILENO, ombrel::platform::kCollectorHello,
                                    sizeof ombrel::platform::kCollectorHello))
        return kRefused;
    for (;;) {
        char request = 0;
        ssize_t got = ::read(STDIN_FILENO, &request, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0)
            return kEnded;
        if (got < 0 || request != ombrel::platform::kCollectorRequest)
            return kRefused;
        // The answer is made whole before a byte of it is written.
        std::string answer = ombrel::platform::ComposeCollectorAnswer("/proc");
        if (answer.empty() ||
            !ombrel::platform::WriteAll(STDOUT_FILENO, answer.data(), answer.size()))
            return kRefused;
    }
}
