#include <cstdio>

#include "provisions.h"

namespace ombrel::platform {
namespace {
MessageBoxPresenter& Presenter() {
    static MessageBoxPresenter presenter = nullptr;
    return presenter;
}
} // namespace

void SetMessageBoxPresenter(MessageBoxPresenter presenter) {
    Presenter() = presenter;
}

namespace lx {

// A window where the program has one; otherwise, as for a program without
// windows, the text on standard error.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    if (Presenter() != nullptr && Presenter()(owner, text, caption, type))
        return IDOK;
    std::fprintf(stderr, "%s\n", text ? text : "");
    return IDOK;
}

} // namespace lx
} // namespace ombrel::platform
