// Along the arrows: the framework sees its own headers and the layer's.
#include <windows.h>

#include "list_ctrl.h"
