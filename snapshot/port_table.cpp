#include "port_table.h"

#include "bind_function.h"

#include <cstring>
#include <string_view>

#include <ombrel/text.h>

CPortTable::CPortTable() : m_hPsapi(LoadLibraryA("psapi.dll")) {
    if (m_hPsapi)
        m_pfnGetModuleFileNameEx =
            BindFunction<PFNGETMODULEFILENAMEEXA>(m_hPsapi.get(), "GetModuleFileNameExA");
}

// The entries go before the module their paths were read through.
CPortTable::~CPortTable() {
    Clear();
}

void CPortTable::EntryRelease::operator()(PortEntry* entry) const {
    if (entry->smallIcon != nullptr)
        DestroyIcon(entry->smallIcon);
    HeapFree(GetProcessHeap(), 0, entry);
}

void CPortTable::Clear() {
    // In the snapshot's order, each entry's icon before its block.
    for (OwnedEntry& entry : m_entries)
        entry.reset();
    m_entries.clear();
    m_compartments.clear();
}

int CPortTable::GetFirst(int& index, PortEntry*& entry) {
    index = -1;
    if (m_entries.empty())
        return 0;
    index = 0;
    entry = m_entries[0].get();
    return 1;
}

int CPortTable::GetNext(int& index, PortEntry*& entry) {
    ++index;
    if (static_cast<unsigned>(index) >= m_entries.size())
        return 0;
    entry = m_entries[static_cast<unsigned>(index)].get();
    return 1;
}

const std::string& CPortTable::OwnerSource() const {
    return m_ownerSource;
}

PortEntry* CPortTable::FindByKey(int key) {
    for (const OwnedEntry& entry : m_entries)
        if (entry != nullptr && entry->key == key)
            return entry.get();
    return nullptr;
}

namespace {

// A name in square brackets: every program path the refresh reads is
// absolute, so no name (which any process may set, "/usr/sbin/sshd" among
// them) reads as a path. A name too long for the field is cut inside the
// brackets.
void SetName(PortEntry& entry, const char* name) {
    std::string_view text(name);
    text = text.substr(0, ombrel::platform::Utf8FitLength(text, sizeof entry.processPath - 3));
    entry.processPath[0] = '[';
    std::memcpy(entry.processPath + 1, text.data(), text.size());
    entry.processPath[text.size() + 1] = ']';
    entry.processPath[text.size() + 2] = '\0';
}

} // namespace

void CPortTable::SetNameForPid(int processId, const char* name) {
    if (name == nullptr || *name == '\0')
        return;
    if (m_unnamedIndexed) {
        auto found = m_unnamed.find(processId);
        if (found == m_unnamed.end())
            return;
        for (PortEntry* entry : found->second)
            if (entry->processPath[0] == '\0')
                SetName(*entry, name);
        return;
    }
    for (const OwnedEntry& entry : m_entries)
        if (entry != nullptr && entry->processId == processId && entry->processPath[0] == '\0')
            SetName(*entry, name);
}

CPortTable::OwnedEntry CPortTable::NewEntry() {
    OwnedEntry entry(
        static_cast<PortEntry*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(PortEntry))));
    if (entry != nullptr && m_collecting != nullptr) {
        entry->compartment = m_collecting->id;
        if (!m_collectingHome)
            ombrel::platform::CopyText(entry->compartmentName, sizeof entry->compartmentName,
                                       m_collecting->name);
    }
    return entry;
}

const std::vector<ombrel::platform::NetworkCompartment>& CPortTable::Compartments() const {
    return m_compartments;
}
