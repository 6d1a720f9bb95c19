// Keeps the machine's endpoint and process lists moving until it is killed:
// opens and closes TCP pairs and UDP sockets on 127.0.0.1, and starts
// children that bind a socket and exit at once. Writes one byte to stdout
// once the first round is done.
#include <arpa/inet.h>
#include <ctime>
#include <deque>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int Bound(int type) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A listener and both ends of one connection to it.
struct Pair {
    int listener = -1, client = -1, server = -1;
    // A reset rather than an orderly close, except now and then: each
    // orderly close leaves a TIME_WAIT socket for a minute, and thousands
    // of those would only slow every refresh.
    void Close(bool orderly) {
        if (!orderly)
            for (int fd : {server, client}) {
                linger reset{1, 0};
                if (fd >= 0)
                    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
        for (int fd : {server, client, listener})
            if (fd >= 0)
                ::close(fd);
    }
};

Pair OpenPair() {
    Pair pair;
    pair.listener = Bound(SOCK_STREAM);
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (pair.listener < 0 || ::listen(pair.listener, 4) != 0 ||
        ::getsockname(pair.listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return pair;
    pair.client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (pair.client >= 0 &&
        ::connect(pair.client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        pair.server = ::accept4(pair.listener, nullptr, nullptr, SOCK_CLOEXEC);
    return pair;
}

} // namespace

int main() {
    std::deque<Pair> pairs;
    std::deque<int> datagrams;
    for (unsigned long round = 0;; ++round) {
        pairs.push_back(OpenPair());
        if (pairs.size() > 8) {
            pairs.front().Close(round % 64 == 0);
            pairs.pop_front();
        }
        datagrams.push_back(Bound(SOCK_DGRAM));
        if (datagrams.size() > 4) {
            if (datagrams.front() >= 0)
                ::close(datagrams.front());
            datagrams.pop_front();
        }
        if (round % 4 == 0) {
            pid_t child = ::fork();
            if (child == 0) {
                Bound(SOCK_DGRAM);
                ::_exit(0);
            }
            if (child > 0)
                ::waitpid(child, nullptr, 0);
        }
        if (round == 0 && ::write(STDOUT_FILENO, "!", 1) != 1)
            return 1;
        // Paced, so the refreshes it races have a core of their own.
        timespec pause{0, 2'000'000};
        ::nanosleep(&pause, nullptr);
    }
}
