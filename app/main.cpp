// ombrel: the window program.
#include "startup.h"

int main(int argc, char** argv) {
    return RunOmbrel(argc, argv);
}
