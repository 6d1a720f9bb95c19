// Against the arrows: the data library knows no Win32 type.
#include <windows.h>
