#include <ombrel/refresh_scope.h>

#include <algorithm>
#include <vector>

#include "scope_memo.h"

namespace ombrel::platform {
namespace {
int& Depth() {
    static int depth = 0;
    return depth;
}
std::vector<void (*)()>& Forgetters() {
    static std::vector<void (*)()> forgetters;
    return forgetters;
}
} // namespace

RefreshScope::RefreshScope() {
    ++Depth();
}

RefreshScope::~RefreshScope() {
    if (--Depth() != 0)
        return;
    for (void (*forget)() : Forgetters())
        forget();
}

bool InRefreshScope() {
    return Depth() > 0;
}

void ForgetAtScopeEnd(void (*forget)()) {
    std::vector<void (*)()>& forgetters = Forgetters();
    if (std::find(forgetters.begin(), forgetters.end(), forget) == forgetters.end())
        forgetters.push_back(forget);
}

} // namespace ombrel::platform
