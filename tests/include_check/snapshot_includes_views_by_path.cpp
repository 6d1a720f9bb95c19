// Against the arrows, by a path from the project's root.
#include "views/file_version.h"
