// The kernel's walk of every descriptor table, a program loaded into the
// kernel: each process's socket descriptors in one pass, where a /proc scan
// pays a path lookup and a readlink for every descriptor.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "owners/socket_holders.h"

namespace ombrel::platform {

class SocketWalk {
public:
    // Over a compiled walk program: an ELF object for BPF, relocated
    // against the running kernel's type information as it loads.
    explicit SocketWalk(std::string object);
    ~SocketWalk();
    SocketWalk(const SocketWalk&) = delete;
    SocketWalk& operator=(const SocketWalk&) = delete;

    // Loads, verifies and attaches the program where the caller may, once
    // for the walk's life (again only after a failure that may pass, such
    // as want of memory); safe to call from any thread.
    void Prepare();
    // Every socket descriptor of every process. False, with nothing read,
    // where the kernel refuses it; Refusal() then says why. sockets, where
    // given, gets each TCP or UDP socket of another network namespace than
    // ownNetns, once per descriptor that holds it.
    bool Read(std::vector<SocketHolder>& holders, std::vector<WalkedSocket>* sockets = nullptr,
              uint32_t ownNetns = 0);
    // Why the last Read read nothing: a line, then libbpf's warnings and
    // the verifier's log where the kernel refused the program; empty after
    // a Read that walked.
    const std::string& Refusal() const { return refusal_; }
    // How many descriptors, sockets or not, the last walk passed.
    uint64_t Descriptors() const { return descriptors_; }

private:
    struct Program;
    bool Load(); // under mutex_

    std::string object_;
    std::mutex mutex_;
    std::unique_ptr<Program> program_;
    bool final_ = false; // a refusal that a second load would only repeat
    std::string loadRefusal_;
    std::string refusal_;
    uint64_t descriptors_ = 0;
};

// The process's walk, over the program built with it; the kernel drops it
// with the process.
SocketWalk& MachineSocketWalk();

} // namespace ombrel::platform
