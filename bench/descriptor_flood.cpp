// descriptor-flood PROCESSES DESCRIPTORS UID: starts PROCESSES processes of
// the user UID, each holding DESCRIPTORS duplicates of one /dev/null
// descriptor (no socket among them), prints "ready" once they all stand,
// and ends them on SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4 || atoi(argv[1]) <= 0 || atoi(argv[2]) <= 0) {
        fprintf(stderr, "usage: descriptor-flood PROCESSES DESCRIPTORS UID\n");
        return 2;
    }
    const int processes = atoi(argv[1]);
    const int descriptors = atoi(argv[2]);
    const auto uid = static_cast<uid_t>(atoi(argv[3]));
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    int ready[2];
    int hold[2]; // its write end closes when the flood ends
    if (pipe(ready) != 0 || pipe(hold) != 0)
        return 1;
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        pid_t child = fork();
        if (child < 0)
            return 1;
        if (child == 0) {
            close(ready[0]);
            close(hold[1]);
            if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
                _exit(3);
            int fd = open("/dev/null", O_RDONLY);
            for (int i = 1; i < descriptors; ++i)
                if (dup(fd) < 0)
                    _exit(4);
            char byte = 'r';
            if (write(ready[1], &byte, 1) != 1)
                _exit(5);
            close(ready[1]);
            ssize_t got = read(hold[0], &byte, 1); // until the flood ends
            _exit(got == 0 ? 0 : 6);
        }
        children.push_back(child);
    }
    close(ready[1]);
    close(hold[0]);
    int standing = 0;
    char byte;
    while (standing < processes && read(ready[0], &byte, 1) == 1)
        ++standing;
    if (standing < processes) {
        fprintf(stderr, "descriptor-flood: a process could not open its descriptors\n");
        return 1;
    }
    printf("ready %d descriptors in %d processes\n", processes * descriptors, processes);
    fflush(stdout);
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    sigprocmask(SIG_BLOCK, &ending, nullptr);
    int signal = 0;
    sigwait(&ending, &signal);
    close(hold[1]);
    for (pid_t child : children)
        waitpid(child, nullptr, 0);
    return 0;
}
