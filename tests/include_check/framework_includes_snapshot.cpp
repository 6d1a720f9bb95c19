// Against the arrows: the framework knows nothing of the snapshot.
#include "port_entry.h"
