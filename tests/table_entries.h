// Copies of a snapshot's entries, in the table's walk order.
#pragma once

#include <vector>

#include "port_table.h"

inline std::vector<PortEntry> Entries(CPortTable& table) {
    std::vector<PortEntry> entries;
    int index = 0;
    PortEntry* entry = nullptr;
    for (int more = table.GetFirst(index, entry); more; more = table.GetNext(index, entry))
        entries.push_back(*entry);
    return entries;
}
