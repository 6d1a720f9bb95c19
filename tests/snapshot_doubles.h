// Test doubles for the services a refresh uses: the two tables, process
// open and module path, and the process list, each set up per test.
#pragma once

#include <arpa/inet.h>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <iphlpapi.h>

#include "file_identity.h"
#include "port_entry.h"
#include <ombrel/services.h>
#include <ombrel/text.h>

namespace testing_doubles {

using ombrel::platform::ServiceOverride;
using ombrel::platform::Services;

inline DWORD Address(const char* dotted) {
    return inet_addr(dotted);
}
inline DWORD Port(int port) {
    return htons(static_cast<uint16_t>(port));
}

// The program's own network compartment, as the doubles number it.
constexpr NET_IF_COMPARTMENT_ID kHomeCompartment = 7;

struct FakeSystem {
    // Compartments beside the program's own, each with IPv4 rows of its
    // own; the rest below are the own compartment's.
    struct Compartment {
        NET_IF_COMPARTMENT_ID id;
        std::string name;
        std::vector<MIB_TCPROW_EX> tcp;
        std::vector<MIB_UDPROW_EX> udp;
        std::vector<MIB_TCP6ROW_OWNER_PID> tcp6;
        DWORD result = 0; // of its IPv4 tables
    };
    std::vector<Compartment> compartments;
    NET_IF_COMPARTMENT_ID current = kHomeCompartment; // the thread's
    std::vector<MIB_TCPROW_EX> tcp;
    std::vector<MIB_UDPROW_EX> udp;
    DWORD tcpResult = 0;
    DWORD udpResult = 0;
    std::vector<MIB_TCP6ROW_OWNER_PID> tcp6;
    std::vector<MIB_UDP6ROW_OWNER_PID> udp6;
    DWORD tcp6Result = 0;
    DWORD udp6Result = 0;
    std::map<DWORD, std::string> paths; // module path by process id; absent: open fails
    std::vector<std::pair<DWORD, std::string>> processes;
    bool processListFails = false;
    bool snapshotClosed = false;

    std::map<DWORD, int> opens;
    int closes = 0;
    std::set<void*> tablesOut; // tables handed out and not yet freed
    int entryAllocations = 0;
    int failEntryAllocation = -1; // the n-th entry allocation (0-based) fails
};

class Doubles {
public:
    explicit Doubles(FakeSystem& fake) : fake_(fake) {
        auto heapAlloc = ombrel::platform::LinuxServices().HeapAlloc;
        auto heapFree = ombrel::platform::LinuxServices().HeapFree;
        Add(&Services::HeapAlloc, [this, heapAlloc](HANDLE heap, DWORD flags, SIZE_T bytes) {
            if (bytes == sizeof(PortEntry) && fake_.entryAllocations++ == fake_.failEntryAllocation)
                return static_cast<LPVOID>(nullptr);
            return heapAlloc(heap, flags, bytes);
        });
        Add(&Services::HeapFree, [this, heapFree](HANDLE heap, DWORD flags, LPVOID memory) {
            fake_.tablesOut.erase(memory);
            return heapFree(heap, flags, memory);
        });
        Add(&Services::AllocateAndGetTcpExTableFromStack,
            [this](PVOID* out, BOOL, HANDLE heap, DWORD, DWORD) -> DWORD {
                const FakeSystem::Compartment* other = Current();
                if (DWORD result = other != nullptr ? other->result : fake_.tcpResult; result != 0)
                    return result;
                *out = MakeTable<MIB_TCPEXTABLE>(heap, other != nullptr ? other->tcp : fake_.tcp);
                return 0;
            });
        Add(&Services::AllocateAndGetUdpExTableFromStack,
            [this](PVOID* out, BOOL, HANDLE heap, DWORD, DWORD) -> DWORD {
                const FakeSystem::Compartment* other = Current();
                if (DWORD result = other != nullptr ? other->result : fake_.udpResult; result != 0)
                    return result;
                *out = MakeTable<MIB_UDPEXTABLE>(heap, other != nullptr ? other->udp : fake_.udp);
                return 0;
            });
        Add(&Services::GetExtendedTcpTable,
            [this](PVOID out, PDWORD size, BOOL, ULONG, TCP_TABLE_CLASS, ULONG) -> DWORD {
                return fake_.tcp6Result != 0
                           ? fake_.tcp6Result
                           : FillSized<MIB_TCP6TABLE_OWNER_PID>(
                                 out, size, Current() != nullptr ? Current()->tcp6 : fake_.tcp6);
            });
        Add(&Services::GetExtendedUdpTable,
            [this](PVOID out, PDWORD size, BOOL, ULONG, UDP_TABLE_CLASS, ULONG) -> DWORD {
                return fake_.udp6Result != 0
                           ? fake_.udp6Result
                           : FillSized<MIB_UDP6TABLE_OWNER_PID>(
                                 out, size, Current() != nullptr ? kNoUdp6 : fake_.udp6);
            });
        Add(&Services::GetCurrentThreadCompartmentId, [this] { return fake_.current; });
        Add(&Services::SetCurrentThreadCompartmentId, [this](NET_IF_COMPARTMENT_ID id) -> DWORD {
            fake_.current = id;
            return NO_ERROR;
        });
        Add(&Services::GetNetworkCompartments,
            [this](ombrel::platform::NetworkCompartment* out, PDWORD count) -> DWORD {
                auto needed = static_cast<DWORD>(fake_.compartments.size() + 1);
                if (out == nullptr || *count < needed) {
                    *count = needed;
                    return ERROR_INSUFFICIENT_BUFFER;
                }
                out[0] = {};
                out[0].id = kHomeCompartment;
                for (size_t i = 0; i < fake_.compartments.size(); ++i) {
                    out[i + 1] = {};
                    out[i + 1].id = fake_.compartments[i].id;
                    ombrel::platform::CopyText(out[i + 1].name, sizeof out[i + 1].name,
                                               fake_.compartments[i].name);
                }
                *count = needed;
                return NO_ERROR;
            });
        Add(&Services::OpenProcess, [this](DWORD, BOOL, DWORD pid) -> HANDLE {
            ++fake_.opens[pid];
            if (!fake_.paths.count(pid))
                return nullptr;
            return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x40000000u + pid));
        });
        auto closeHandle = ombrel::platform::LinuxServices().CloseHandle;
        Add(&Services::CloseHandle, [this, closeHandle](HANDLE handle) -> BOOL {
            if (handle == kSnapshot) {
                fake_.snapshotClosed = true;
                return TRUE;
            }
            if (reinterpret_cast<uintptr_t>(handle) >= 0x40000000u &&
                reinterpret_cast<uintptr_t>(handle) < 0x80000000u) {
                ++fake_.closes;
                return TRUE;
            }
            return closeHandle(handle);
        });
        Add(&Services::GetModuleFileNameExA,
            [this](HANDLE handle, HMODULE, LPSTR path, DWORD size) -> DWORD {
                DWORD pid = static_cast<DWORD>(reinterpret_cast<uintptr_t>(handle) - 0x40000000u);
                const std::string& text = fake_.paths.at(pid);
                if (text.empty())
                    return 0;
                return static_cast<DWORD>(ombrel::platform::CopyText(path, size, text));
            });
        // A fake process runs the file its path names here.
        Add(&Services::GetProgramFile,
            [this](HANDLE handle, ombrel::platform::ProgramFile* file) -> BOOL {
                DWORD pid = static_cast<DWORD>(reinterpret_cast<uintptr_t>(handle) - 0x40000000u);
                *file = ProgramFileOf(fake_.paths.at(pid));
                return file->device != 0 || file->inode != 0;
            });
        Add(&Services::CreateToolhelp32Snapshot, [this](DWORD, DWORD) -> HANDLE {
            return fake_.processListFails ? INVALID_HANDLE_VALUE : kSnapshot;
        });
        Add(&Services::Process32First, [this](HANDLE, LPPROCESSENTRY32 entry) {
            next_ = 0;
            return Fill(entry);
        });
        Add(&Services::Process32Next,
            [this](HANDLE, LPPROCESSENTRY32 entry) { return Fill(entry); });
    }

    // The snapshot handle the process-list double hands out.
    static inline const HANDLE kSnapshot = reinterpret_cast<HANDLE>(uintptr_t{0x3FFFFFF0u});

private:
    const FakeSystem::Compartment* Current() const {
        for (const FakeSystem::Compartment& compartment : fake_.compartments)
            if (compartment.id == fake_.current)
                return &compartment;
        return nullptr;
    }
    inline static const std::vector<MIB_UDP6ROW_OWNER_PID> kNoUdp6;

    template <typename Signature, typename F>
    void Add(std::function<Signature> Services::*member, F function) {
        overrides_.push_back(std::make_shared<ServiceOverride<Signature>>(member, function));
    }

    template <typename Table, typename Row>
    void* MakeTable(HANDLE heap, const std::vector<Row>& rows) {
        size_t bytes = offsetof(Table, table) + std::max<size_t>(rows.size(), 1) * sizeof(Row);
        auto* table = static_cast<Table*>(HeapAlloc(heap, 0, bytes));
        table->dwNumEntries = static_cast<DWORD>(rows.size());
        if (!rows.empty())
            std::memcpy(reinterpret_cast<char*>(table) + offsetof(Table, table), rows.data(),
                        rows.size() * sizeof(Row));
        fake_.tablesOut.insert(table);
        return table;
    }

    // The platform's sizing protocol over the rows.
    template <typename Table, typename Row>
    static DWORD FillSized(PVOID out, PDWORD size, const std::vector<Row>& rows) {
        size_t bytes = offsetof(Table, table) + std::max<size_t>(rows.size(), 1) * sizeof(Row);
        if (out == nullptr || *size < bytes) {
            *size = static_cast<DWORD>(bytes);
            return ERROR_INSUFFICIENT_BUFFER;
        }
        static_cast<Table*>(out)->dwNumEntries = static_cast<DWORD>(rows.size());
        if (!rows.empty())
            std::memcpy(static_cast<char*>(out) + offsetof(Table, table), rows.data(),
                        rows.size() * sizeof(Row));
        return 0;
    }

    BOOL Fill(LPPROCESSENTRY32 entry) {
        if (entry->dwSize != sizeof(PROCESSENTRY32) || next_ >= fake_.processes.size())
            return FALSE;
        entry->th32ProcessID = fake_.processes[next_].first;
        ombrel::platform::CopyText(entry->szExeFile, sizeof entry->szExeFile,
                                   fake_.processes[next_].second);
        ++next_;
        return TRUE;
    }

    FakeSystem& fake_;
    size_t next_ = 0;
    std::vector<std::shared_ptr<void>> overrides_;
};

// Counts the TCP table calls, that is the snapshots taken, and passes them on.
class TableCallCounter {
public:
    int calls = 0;

private:
    ServiceOverride<DWORD(PVOID*, BOOL, HANDLE, DWORD, DWORD)> counter_{
        &Services::AllocateAndGetTcpExTableFromStack,
        [this, inner = ombrel::platform::ActiveServices().AllocateAndGetTcpExTableFromStack](
            PVOID* table, BOOL order, HANDLE heap, DWORD flags, DWORD family) {
            ++calls;
            return inner(table, order, heap, flags, family);
        }};
};

} // namespace testing_doubles
