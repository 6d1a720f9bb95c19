// A hostile neighbour on a shared machine, to run the suite and the program
// beside: as another user, processes whose names and program paths hold
// terminal controls, tabs, newlines, bytes that are no UTF-8 and a name
// that looks like a path, each listening on loopback, and one process with
// many threads that each hold a descriptor table of their own and a socket.
//
//   hostile-neighbour [--uid UID] [--threads N]
//
// Prints "ready" once all of it runs, then holds it until its input ends.
// Run as root it becomes UID (default 65534) first.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The texts a hostile user chooses: an 8-bit CSI, a UTF-8 C1 control, a
// reordering mark, a byte that is no UTF-8, a tab and a newline, and a name
// that reads as a path.
const char* const kNames[] = {"\x9b"
                              "2J",
                              "\xc2\x9b"
                              "2J",
                              "\xe2\x80\xae"
                              "evil",
                              "bad\xff",
                              "tab\there\nnl",
                              "/usr/sbin/sshd"};

int Listen(int family, int type) {
    int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_storage address{};
    socklen_t length;
    if (family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *v4;
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        length = sizeof *v6;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 4) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void HoldSockets() {
    Listen(AF_INET, SOCK_STREAM);
    Listen(AF_INET6, SOCK_STREAM);
    Listen(AF_INET, SOCK_DGRAM);
    Listen(AF_INET6, SOCK_DGRAM);
}

// Each thread: a descriptor table of its own, with a socket in it.
int OwnTableThread(void*) {
    if (::unshare(CLONE_FILES) == 0)
        Listen(AF_INET, SOCK_DGRAM);
    for (;;)
        ::pause();
}

bool StartOwnTableThreads(int count) {
    constexpr size_t kStack = 64 * 1024;
    for (int i = 0; i < count; ++i) {
        void* stack = ::mmap(nullptr, kStack, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (stack == MAP_FAILED)
            return false;
        int flags = CLONE_VM | CLONE_FS | CLONE_SIGHAND | CLONE_THREAD | CLONE_SYSVSEM;
        if (::clone(OwnTableThread, static_cast<char*>(stack) + kStack, flags, nullptr) < 0)
            return false;
    }
    return true;
}

// A copy of this program under a hostile path, started with the given
// name; it holds its sockets until killed.
pid_t StartNamed(const std::string& folder, const char* name, size_t index) {
    std::string program = folder + "/held\tby\nneighbour\x9b" + std::to_string(index);
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return -1;
    int in = ::open(self, O_RDONLY | O_CLOEXEC);
    int out = ::open(program.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    char buffer[1 << 16];
    ssize_t got;
    while (in >= 0 && out >= 0 && (got = ::read(in, buffer, sizeof buffer)) > 0)
        if (::write(out, buffer, static_cast<size_t>(got)) != got)
            break;
    ::close(in);
    ::close(out);
    pid_t child = ::fork();
    if (child == 0) {
        ::execl(program.c_str(), name, "--named", name, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return child;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--named") == 0) {
        ::prctl(PR_SET_NAME, argv[2]);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        HoldSockets();
        for (;;)
            ::pause();
    }
    uid_t uid = 65534;
    int threads = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--uid") == 0)
            uid = static_cast<uid_t>(std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--threads") == 0)
            threads = std::atoi(argv[i + 1]);
    }
    char folder[] = "/tmp/ombrel-neighbour-XXXXXX";
    if (::mkdtemp(folder) == nullptr)
        return 1;
    if (::geteuid() == 0) {
        if (::chown(folder, uid, uid) != 0 || ::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 ||
            ::setuid(uid) != 0)
            return 1;
        ::prctl(PR_SET_DUMPABLE, 1); // as a process the user started herself
    }
    std::vector<pid_t> children;
    for (size_t i = 0; i < sizeof kNames / sizeof *kNames; ++i)
        children.push_back(StartNamed(folder, kNames[i], i));
    HoldSockets();
    bool started = StartOwnTableThreads(threads);
    std::printf("%s\n", started ? "ready" : "ready (fewer threads than asked)");
    std::fflush(stdout);
    char byte;
    while (::read(0, &byte, 1) > 0) {
    }
    for (pid_t child : children)
        if (child > 0)
            ::kill(child, SIGKILL);
    for (pid_t child : children)
        if (child > 0)
            ::waitpid(child, nullptr, 0);
    for (size_t i = 0; i < sizeof kNames / sizeof *kNames; ++i)
        ::unlink((std::string(folder) + "/held\tby\nneighbour\x9b" + std::to_string(i)).c_str());
    ::rmdir(folder);
    ::_exit(0); // the threads end with the process
}
