// ombrel-collector: the administrator mode's root part. Started through
// pkexec by a window that runs as its user (or by the program's own start as
// root on a user's behalf, which then becomes that user), it answers each
// request on its standard input with one whole snapshot of the four socket
// tables, every row's owner, and each owner's name, program path and program
// file identity, written in parts as it has them. It is no client of any
// display or bus, takes no argument, ignores its environment, opens nothing
// its caller names and ends when its input closes or on any byte that is not
// a request.
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "base/fd.h"
#include "privilege/collector_answer.h"
#include "privilege/collector_wire.h"

namespace {

using ombrel::platform::WriteAll;

// Exit statuses: 0 its input ended, 1 a stray byte or a failed write, 2
// called with arguments.
constexpr int kEnded = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 2;

std::mutex output;     // one part at a time on the standard output
bool answered = false; // the answer's last part is out: nothing more until asked

// One whole part of the answer; its end, or an error, closes it.
bool Send(const char* data, size_t size) {
    std::lock_guard<std::mutex> hold(output);
    ombrel::platform::CollectorPart part{};
    if (size >= sizeof part)
        std::memcpy(&part, data, sizeof part);
    answered = part.kind == ombrel::platform::kPartEnd || part.kind == ombrel::platform::kPartError;
    return WriteAll(STDOUT_FILENO, data, size);
}

// A working part, unless the answer is already whole: a byte after its end
// would be a stray one.
bool SendWorking(const char* data, size_t size) {
    std::lock_guard<std::mutex> hold(output);
    return answered || WriteAll(STDOUT_FILENO, data, size);
}

// While an answer is made, a working part every quarter second in which
// the answer moved on; none while it stands still, so that the window's
// bound on silence finds a stuck collector.
class Working {
public:
    Working() {
        // Without a thread to spare, the answer goes out without them.
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
        }
    }
    ~Working() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable())
            thread_.join();
    }

private:
    void Run() {
        uint64_t last = ombrel::platform::OtherThreadsProgress();
        std::unique_lock<std::mutex> hold(mutex_);
        while (!wake_.wait_for(hold, std::chrono::milliseconds(250), [this] { return done_; })) {
            uint64_t now = ombrel::platform::OtherThreadsProgress();
            if (now != last && !ombrel::platform::WriteCollectorWorking(SendWorking))
                return;
            last = now;
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

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

    if (!WriteAll(STDOUT_FILENO, ombrel::platform::kCollectorHello,
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
        bool sent;
        {
            std::lock_guard<std::mutex> hold(output);
            answered = false;
        }
        {
            Working working;
            sent = ombrel::platform::AnswerFromRoot("/proc", Send);
        }
        if (!sent)
            return kRefused;
    }
}
