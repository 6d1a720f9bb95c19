// Against the arrows: no module sees another module's own headers (the
// version module's resource reader, here).
#include "version_block.h"
