// Against the arrows: the layer's system part takes no resources of the
// program; the program hands it its strings.
#include <ombrel/res/strings.h>
