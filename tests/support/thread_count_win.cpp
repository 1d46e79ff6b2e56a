#include <cstdint>
#include <vector>

#include "support/thread_count.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// winternl.h needs the types windows.h declares.
#include <winternl.h>

namespace carovel_test {

// From the system's process list: one query, where a Toolhelp snapshot of
// every thread costs ten times as long (under wine, 17 ms against 1.7 ms).
int ProcessThreadCount() {
    constexpr NTSTATUS kLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
    std::vector<std::uint64_t> buffer(64 * 1024);  // 8-byte aligned entries
    NTSTATUS status;
    for (;;) {
        ULONG needed = 0;
        const auto bytes = static_cast<ULONG>(buffer.size() * sizeof buffer[0]);
        status = NtQuerySystemInformation(SystemProcessInformation, buffer.data(), bytes, &needed);
        if (status != kLengthMismatch) {
            break;
        }
        buffer.resize(buffer.size() * 2 + needed / sizeof buffer[0]);
    }
    if (status < 0) {
        return -1;
    }
    const auto self = static_cast<ULONG_PTR>(GetCurrentProcessId());
    const auto* at = reinterpret_cast<const unsigned char*>(buffer.data());
    for (;;) {
        const auto* process = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(at);
        if (reinterpret_cast<ULONG_PTR>(process->UniqueProcessId) == self) {
            return static_cast<int>(process->NumberOfThreads);
        }
        if (process->NextEntryOffset == 0) {
            return -1;
        }
        at += process->NextEntryOffset;
    }
}

}  // namespace carovel_test
