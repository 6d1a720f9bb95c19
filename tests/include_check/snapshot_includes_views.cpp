// Against the arrows: the snapshot may not see the views above it (a views
// header that itself needs nothing the snapshot lacks).
#include "file_version.h"
