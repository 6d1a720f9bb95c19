// Against the arrows: the layer's Win32-side public headers are not the
// data library's either.
#include <ombrel/program_file.h>
