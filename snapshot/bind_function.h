// Binding a function the platform exports by name.
#pragma once

#include <windows.h>

// The function, or none; through void (*)(), the cast between function
// types that is meant.
template <typename F> F BindFunction(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
