// The administrator collector's answer, composed and read: one whole
// snapshot of the four tables with every owner's name, path and program
// file identity.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "owners/collected_owners.h"
#include "sockets/machine_tables.h"

namespace ombrel::platform {

struct CollectorAnswer {
    MachineTables tables;
    std::vector<CollectedOwner> owners; // ascending by pid, one per pid a row names
    std::string report;                 // the collector's own source report
};

// Where the collector's parts go: false when they can go no further.
using CollectorSink = std::function<bool(const char* data, size_t size)>;

// One answer of tables already read: the rows, then each named owner as
// readOwner gives it (pid, and the start time the pass named it with), in
// parts of at most kCollectorMaxPart bytes. False when the sink refused.
bool WriteCollectorAnswer(const MachineTables& tables, const std::string& report,
                          const std::function<CollectedOwner(uint32_t, uint64_t)>& readOwner,
                          const CollectorSink& sink);

// The collector's whole answer for root: its tables and owners, or an error
// part where it could not read the owners whole. False when the sink
// refused.
bool AnswerFromRoot(const std::string& root, const CollectorSink& sink);

// The same, gathered into one string (tests).
std::string ComposeCollectorAnswer(const std::string& root);

// A working part: the collector is busy, not stuck.
bool WriteCollectorWorking(const CollectorSink& sink);

// Nanoseconds every thread of this process but the caller ran and waited to
// run, each as the kernel keeps it: what moves while the others work, and
// stands still while they are stuck (asleep on a file system that never
// answers, say). The caller's own looking moves nothing.
uint64_t OtherThreadsProgress();

// Reads one answer as its bytes come, holding at most one part's bytes
// beyond what it has made of them.
class CollectorAnswerReader {
public:
    enum class State {
        Reading, // more is due
        Whole,   // the end came, and the answer is whole and consistent
        Error,   // the collector said it could not answer (error())
        Refused, // anything else: a malformed part, a count that does not
                 // match, a byte past the end
    };

    // Takes the next bytes of the answer; every byte after the end is one
    // too many.
    State Feed(const char* data, size_t size);
    State state() const { return state_; }
    uint32_t error() const { return error_; }
    // The answer, once Whole.
    CollectorAnswer Take();
    // The most bytes held at once for a part not yet whole.
    size_t mostHeld() const { return most_held_; }

private:
    State Part(uint32_t kind, const char* data, size_t size);
    State Rows(const char* data, size_t size);
    State Namespaces(const char* data, size_t size);
    State Owners(const char* data, size_t size);
    State End(const char* data, size_t size);

    enum class Phase { Rows, Namespaces, Owners, Report, Done };
    State state_ = State::Reading;
    Phase phase_ = Phase::Rows;
    uint32_t table_ = 0;
    std::unordered_set<uint32_t> namespaceInodes_;
    uint32_t error_ = 0;
    std::string held_; // the part not yet whole, its header included
    size_t most_held_ = 0;
    CollectorAnswer answer_;
};

// A whole answer and nothing else, all in data. False, with answer
// emptied, for anything else. Nothing is read past size.
bool ParseCollectorAnswer(const char* data, size_t size, CollectorAnswer& answer);

} // namespace ombrel::platform
