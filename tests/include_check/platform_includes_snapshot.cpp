// Against the arrows: the layer may not see the snapshot above it.
#include "snapshot/port_table.h"
