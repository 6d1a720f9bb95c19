#include <ombrel/program_file.h>
#include <ombrel/refresh_scope.h>

#include "current_refresh.h"
#include "refresh/refresh_context.h"

namespace ombrel::platform {
namespace {

// Scopes nest (a refresh reads icons in program-file scopes of its own):
// the outermost makes the context, the others share it.
struct Scopes {
    int depth = 0;
    std::weak_ptr<RefreshContext> context;
    RefreshContext* current = nullptr;
};

Scopes& TheScopes() {
    static Scopes scopes;
    return scopes;
}

} // namespace

RefreshScope::RefreshScope() : RefreshScope(BindingOnly{}) {
    // A refresh made within a program-file scope's own makes it a refresh.
    context_->bindingOnly = false;
}

RefreshScope::RefreshScope(BindingOnly) {
    Scopes& scopes = TheScopes();
    if (scopes.depth == 0) {
        context_ = std::make_shared<RefreshContext>(); // may throw: counted after
        context_->bindingOnly = true;
        scopes.context = context_;
        scopes.current = context_.get();
    } else {
        context_ = scopes.context.lock();
    }
    ++scopes.depth;
}

RefreshScope::~RefreshScope() {
    Scopes& scopes = TheScopes();
    if (--scopes.depth == 0)
        scopes.current = nullptr;
}

std::string RefreshScope::OwnerSourceReport() const {
    return context_->ownerSource;
}

RefreshContext* CurrentRefreshContext() {
    return TheScopes().current;
}

ProgramFileScope::ProgramFileScope(const char* path, const ProgramFile& file)
    : refresh_(new RefreshScope(RefreshScope::BindingOnly{})),
      saved_(CurrentRefreshContext()->binding) {
    auto binding = std::make_shared<BoundProgram>();
    binding->path = path != nullptr ? path : "";
    binding->file = {file.device, file.inode, file.processStart, file.processId, file.claimant};
    binding_ = std::move(binding);
    CurrentRefreshContext()->binding = binding_.get();
}

ProgramFileScope::~ProgramFileScope() {
    CurrentRefreshContext()->binding = saved_;
}

} // namespace ombrel::platform
