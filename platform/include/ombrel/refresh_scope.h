// The span of one snapshot. Within it the layer shares work between calls
// (a process's /proc entry opened once for all its endpoints, the tables
// read together with all their owners); the scope owns all of that, and
// when the outermost scope ends it is let go, descriptors included, and
// every later call reads the system afresh. Nothing on the original
// platform.
#pragma once

#include <memory>
#include <string>

namespace ombrel::platform {

struct RefreshContext;

class RefreshScope {
public:
    RefreshScope();
    ~RefreshScope();
    RefreshScope(const RefreshScope&) = delete;
    RefreshScope& operator=(const RefreshScope&) = delete;

    // Which source named the owners of the tables read in this scope (the
    // kernel's walk, a scan of /proc, the owner helper or the
    // administrator's collector), and why a faster one did not (the
    // verifier's log among it when the kernel refused the walk). For
    // whoever asks why owners are missing or slow to come: lines of text,
    // the last one naming the source; empty before any table is read.
    std::string OwnerSourceReport() const;

private:
    friend class ProgramFileScope;
    // A program-file scope's own, outside any refresh: its context holds
    // the binding and keeps nothing else.
    struct BindingOnly {};
    explicit RefreshScope(BindingOnly);

    // Shared by the scopes that nest: the last of them to end, in whatever
    // order they end, lets it go.
    std::shared_ptr<RefreshContext> context_;
};

} // namespace ombrel::platform
