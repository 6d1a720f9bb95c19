// Within the arrows: the data library names its own headers and its
// public ones.
#include <ombrel/administrator.h>

#include "refresh/refresh_context.h"
