// The snapshot of the machine's TCP and UDP endpoints.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <iphlpapi.h>
#include <psapi.h>

#include <ombrel/compartments.h>
#include <ombrel/owned.h>

#include "port_entry.h"

class CPortTable {
public:
    CPortTable();
    virtual ~CPortTable();
    CPortTable(const CPortTable&) = delete;
    CPortTable& operator=(const CPortTable&) = delete;

    // Destroys every entry and its icon.
    void Clear();
    // Replaces the whole snapshot: Clear, then the three refresh passes.
    void Refresh();
    // Which source named the last refresh's owners, and why a faster one
    // did not: lines of text, the last one naming the source.
    const std::string& OwnerSource() const;
    // The compartments (network namespaces) the last refresh read, in the
    // order of their entries: the program's own first.
    const std::vector<ombrel::platform::NetworkCompartment>& Compartments() const;

    // The walk: GetFirst, then GetNext while it returns 1; an empty slot
    // yields no entry.
    int GetFirst(int& index, PortEntry*& entry);
    int GetNext(int& index, PortEntry*& entry);
    PortEntry* FindByKey(int key);
    // Gives the name, as "[name]", to the entries of that process that have
    // no path yet.
    void SetNameForPid(int processId, const char* name);

    // The refresh passes, in the order Refresh runs them.
    void CollectEndpoints();
    void AssignKeysAndIcons();
    void FillProcessNames();

    // Binds the two table functions into the process-wide references.
    static int ResolveTableFunctions();
    // Binds the two IPv6 table functions likewise; 1 when both are there.
    static int ResolveIPv6TableFunctions();
    static char* FormatIPv4(uint32_t address, char* text);
    // text holds 64 bytes.
    static char* FormatIPv6(const UCHAR* address, DWORD scopeId, char* text, bool nameScope = true);
    static void GetStateText(uint32_t state, std::string& out);
    // The program path of a process, and with it the identity of its file
    // when file is given.
    int GetProcessPath(uint32_t processId, char* path, int size,
                       ombrel::platform::ProgramFile* file = nullptr);

private:
    // Bound by name on every refresh and kept for the whole process, also
    // when missing.
    struct TableFunctions {
        PFNALLOCATEANDGETTCPEXTABLEFROMSTACK pfnAllocateAndGetTcpExTable = nullptr;
        PFNALLOCATEANDGETUDPEXTABLEFROMSTACK pfnAllocateAndGetUdpExTable = nullptr;
        PFNGETEXTENDEDTCPTABLE pfnGetExtendedTcpTable = nullptr;
        PFNGETEXTENDEDUDPTABLE pfnGetExtendedUdpTable = nullptr;
    };
    static TableFunctions s_tables;

    // An entry is a block of the process heap that owns its icon.
    struct EntryRelease {
        void operator()(PortEntry* entry) const;
    };
    using OwnedEntry = std::unique_ptr<PortEntry, EntryRelease>;

    OwnedEntry NewEntry();
    // The four tables of the thread's compartment; false where the IPv4
    // pair cannot be read.
    bool CollectCompartment();
    void CollectIPv6Tcp(const MIB_TCP6TABLE_OWNER_PID* table);
    void CollectIPv6Udp(const MIB_UDP6TABLE_OWNER_PID* table);

    std::vector<OwnedEntry> m_entries;
    // While the name pass runs: the entries without a path, by process id,
    // so naming a process does not rescan every entry.
    std::unordered_map<int, std::vector<PortEntry*>> m_unnamed;
    bool m_unnamedIndexed = false;
    ombrel::UniqueModule m_hPsapi;
    PFNGETMODULEFILENAMEEXA m_pfnGetModuleFileNameEx = nullptr;
    std::string m_ownerSource;
    std::vector<ombrel::platform::NetworkCompartment> m_compartments;
    // While the endpoints are collected: the compartment they live in, and
    // whether it is the program's own.
    const ombrel::platform::NetworkCompartment* m_collecting = nullptr;
    bool m_collectingHome = true;
};
