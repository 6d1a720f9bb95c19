#include <ombrel/refresh_scope.h>

#include "process_object.h"

namespace ombrel::platform {
namespace {
int& Depth() {
    static int depth = 0;
    return depth;
}
} // namespace

RefreshScope::RefreshScope() {
    ++Depth();
}

RefreshScope::~RefreshScope() {
    if (--Depth() == 0)
        ForgetProcessEntries();
}

bool InRefreshScope() {
    return Depth() > 0;
}

} // namespace ombrel::platform
