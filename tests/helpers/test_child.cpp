// Records how it was started: "cwd\0arg1\0arg2\0..." into the file argv[1].
#include <cstdio>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr)
        return 3;
    char cwd[4096] = {};
    if (::getcwd(cwd, sizeof cwd) == nullptr)
        cwd[0] = '\0';
    std::fwrite(cwd, 1, std::char_traits<char>::length(cwd) + 1, out);
    for (int i = 2; i < argc; ++i)
        std::fwrite(argv[i], 1, std::char_traits<char>::length(argv[i]) + 1, out);
    std::fclose(out);
    return 7;
}
