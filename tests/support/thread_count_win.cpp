#include "support/thread_count.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// tlhelp32.h needs the types windows.h declares.
#include <tlhelp32.h>

namespace carovel_test {

// The system's thread list, filtered to this process.
int ProcessThreadCount() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const DWORD self = GetCurrentProcessId();
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count > 0 ? count : -1;
}

}  // namespace carovel_test
