// Against the arrows: nor by their folder.
#include "version/version_block.h"
