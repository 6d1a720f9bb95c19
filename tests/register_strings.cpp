// Every test program has the program's texts, as the programs do from their
// start.
#include <ombrel/res/strings.h>

namespace {
const bool registered = (ombrel::res::RegisterStrings(), true);
} // namespace
