// Within the arrows: a Win32 module names the Win32 headers, core's shared
// ones and the data library's.
#include <windows.h>

#include "process_object.h"
#include "refresh/refresh_context.h"
