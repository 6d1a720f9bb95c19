// Loaded through LD_PRELOAD, it leaves a mark where OMBREL_PRELOAD_MARK
// says: a program that ran its code did not ignore the loader's variables.
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

__attribute__((constructor)) static void LeaveMark() {
    const char* mark = std::getenv("OMBREL_PRELOAD_MARK");
    if (mark != nullptr) {
        int fd = open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0)
            close(fd);
    }
}
