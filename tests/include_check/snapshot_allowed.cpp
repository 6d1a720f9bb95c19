// The snapshot sees its own headers and the platform's.
#include <ombrel/services.h>
#include <windows.h>

#include "port_table.h"
