// socket-farm N [SECONDS [NAMESPACES]]: holds N endpoints, three quarters on IPv4
// loopback and a quarter on ::1 (listeners, connected TCP pairs and bound UDP
// sockets), in as many helper processes as the open-file limit needs,
// prints "ready" once they all stand, and ends after SECONDS (default 600)
// or on SIGTERM. Helper h holds its IPv4 sockets on 127.0.0.(1 + h), so a
// million endpoints find ports; the IPv6 UDP sockets share ports through
// SO_REUSEPORT once ::1 has none left. TCP sockets close with a reset, so
// nothing is left in TIME_WAIT. With NAMESPACES (as root), the endpoints
// are spread evenly over that many network namespaces of their own, one
// helper in each.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kReserveFds = 64; // stdio, pipes and the like

constexpr int kFirstPort = 1024;

// The loopback address of either family; helper picks the IPv4 one.
sockaddr_storage Loopback(bool v6, int helper, int port, socklen_t& length) {
    sockaddr_storage storage{};
    if (v6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_addr = in6addr_loopback;
        address->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof *address;
    } else {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_addr.s_addr = htonl(INADDR_LOOPBACK + static_cast<uint32_t>(helper));
        address->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof *address;
    }
    return storage;
}

// Every fourth socket of each kind is an IPv6 one.
bool IsV6(int index) {
    return index % 4 == 3;
}

int OpenSocket(int type, bool v6) {
    return socket(v6 ? AF_INET6 : AF_INET, type, 0);
}

void ResetOnClose(int fd) {
    linger option{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

// Binds to the next free port from *port on; false when none is left.
bool BindNext(int fd, bool v6, int helper, int& port) {
    for (; port < 65536; ++port) {
        socklen_t length = 0;
        sockaddr_storage address = Loopback(v6, helper, port, length);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
            ++port;
            return true;
        }
    }
    return false;
}

// A namespace of the helper's own, its loopback up.
bool OwnNamespace() {
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return up;
}

struct Share {
    bool ownNamespace; // the helper holds its endpoints in a namespace it makes
    int helper;
    int listeners, connections, udp;   // a connection is two endpoints
    int firstTcp6Port, firstUdp6Index; // ::1's ports are shared by all helpers
};

// One helper's endpoints; exits non-zero when it cannot open them all.
[[noreturn]] void Helper(const Share& share, int readyFd, int seconds) {
    if (share.ownNamespace && !OwnNamespace())
        _exit(2);
    std::vector<int> listeners;
    int port = kFirstPort, port6 = share.firstTcp6Port;
    for (int i = 0; i < share.listeners; ++i) {
        bool v6 = IsV6(i);
        int fd = OpenSocket(SOCK_STREAM, v6);
        if (fd < 0 || !BindNext(fd, v6, share.helper, v6 ? port6 : port) || listen(fd, 4096) != 0)
            _exit(3);
        ResetOnClose(fd);
        listeners.push_back(fd);
    }
    for (int i = 0; i < share.connections; ++i) {
        size_t which = static_cast<size_t>(i) % listeners.size();
        int listener = listeners[which];
        sockaddr_storage target{};
        socklen_t length = sizeof target;
        getsockname(listener, reinterpret_cast<sockaddr*>(&target), &length);
        int client = OpenSocket(SOCK_STREAM, IsV6(static_cast<int>(which)));
        if (client < 0 || connect(client, reinterpret_cast<sockaddr*>(&target), length) != 0)
            _exit(4);
        ResetOnClose(client);
        int server = accept(listener, nullptr, nullptr);
        if (server < 0)
            _exit(5);
        ResetOnClose(server);
    }
    port = kFirstPort;
    int v6Index = share.firstUdp6Index;
    for (int i = 0; i < share.udp; ++i) {
        bool v6 = IsV6(i);
        int fd = OpenSocket(SOCK_DGRAM, v6);
        if (fd < 0)
            _exit(6);
        if (v6) {
            // Each UDP socket is an endpoint of its own, port shared or not.
            int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
            int shared = kFirstPort + v6Index++ % (65536 - kFirstPort);
            if (!BindNext(fd, true, share.helper, shared))
                _exit(6);
        } else if (!BindNext(fd, false, share.helper, port)) {
            _exit(6);
        }
    }
    char ready = 'r';
    if (write(readyFd, &ready, 1) != 1)
        _exit(7);
    close(readyFd);
    alarm(static_cast<unsigned>(seconds));
    for (;;)
        pause(); // SIGALRM or SIGTERM ends it; the kernel closes every socket
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || atoi(argv[1]) <= 0 || (argc > 3 && atoi(argv[3]) <= 0)) {
        fprintf(stderr, "usage: socket-farm ENDPOINTS [SECONDS [NAMESPACES]]\n");
        return 2;
    }
    const int endpoints = atoi(argv[1]);
    const int seconds = argc > 2 ? atoi(argv[2]) : 600;
    const int namespaces = argc > 3 ? atoi(argv[3]) : 1;
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    const int perHelper = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20)) - kReserveFds;

    // A fifth listeners, two fifths in connected pairs, two fifths UDP.
    int listeners = std::max(1, endpoints / 5);
    int connections = endpoints * 2 / 5 / 2;
    int udp = endpoints - listeners - 2 * connections;
    // One helper to each namespace of its own, or to the farm's one.
    int helpers = namespaces > 1 ? namespaces : (endpoints + perHelper - 1) / perHelper;
    // The IPv6 listeners take ::1's ports in order, each helper its own
    // range; the connections' client ends take ephemeral ports.
    int tcp6Port = kFirstPort, udp6Index = 0;
    int readyPipe[2];
    if (pipe(readyPipe) != 0)
        return 1;
    std::vector<pid_t> children;
    for (int h = 0; h < helpers; ++h) {
        Share share{namespaces > 1,
                    h,
                    listeners / helpers + (h < listeners % helpers),
                    connections / helpers + (h < connections % helpers),
                    udp / helpers + (h < udp % helpers),
                    tcp6Port,
                    udp6Index};
        share.listeners = std::max(share.listeners, 1);
        tcp6Port += (share.listeners + 3) / 4;
        udp6Index += (share.udp + 3) / 4;
        pid_t child = fork();
        if (child == 0) {
            close(readyPipe[0]);
            Helper(share, readyPipe[1], seconds);
        }
        if (child < 0)
            return 1;
        children.push_back(child);
    }
    close(readyPipe[1]);
    int ready = 0;
    char byte;
    while (ready < helpers && read(readyPipe[0], &byte, 1) == 1)
        ++ready;
    if (ready < helpers) {
        fprintf(stderr, "socket-farm: a helper could not open its endpoints\n");
        for (pid_t child : children)
            kill(child, SIGTERM);
        return 1;
    }
    printf("ready %d endpoints in %d helpers\n", endpoints, helpers);
    fflush(stdout);
    // Ends with its helpers: SIGTERM to the farm is passed on. The handler
    // does not restart the wait, so the wait returns to pass it.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGTERM, &action, nullptr);
    for (;;) {
        int status = 0;
        pid_t ended = wait(&status);
        if (ended < 0 && errno == EINTR) {
            for (pid_t child : children)
                kill(child, SIGTERM);
        } else if (ended < 0) {
            return 0; // no helper left
        }
    }
}
