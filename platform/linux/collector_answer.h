// The administrator collector's answer, composed and read: one whole
// snapshot of the four tables with every owner's name, path and program
// file identity.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "machine_tables.h"

namespace ombrel::platform {

struct CollectedOwner {
    uint32_t pid = 0;
    bool pathRead = false;
    uint64_t startTime = 0;
    uint64_t device = 0; // the program file's, through the process; 0 and 0 unknown
    uint64_t inode = 0;
    uint32_t claimant = 0; // who may have chosen the program link (ProgramFile's)
    std::string name;      // as the process list gives it
    std::string path;      // the exe link's text, when pathRead
};

struct CollectorAnswer {
    MachineTables tables;
    std::vector<CollectedOwner> owners; // ascending by pid, one per pid a row names
};

// One answer of the root's tables and owners, as the caller sees them; empty
// when the machine has more rows than an answer may carry, or its owners
// could not be read whole.
std::string ComposeCollectorAnswer(const std::string& root);

// The answer's total size from its header, when the header is one a reader
// takes (magic, bounds, a size that matches its counts); 0 otherwise.
uint64_t CollectorAnswerSize(const char* header, size_t size);

// A whole answer and nothing else: every count within its bounds, every
// row's owner among the records, names and paths inside the text. False,
// with answer emptied, for anything else. Nothing is read past size.
bool ParseCollectorAnswer(const char* data, size_t size, CollectorAnswer& answer);

} // namespace ombrel::platform
