// Against the arrows: the framework may not see the program's views above it.
#include "file_version.h"
