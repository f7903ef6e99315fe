// Win32 services other than the serial line: the process-wide line lock, the last system error,
// sleeping, the monotonic clock and local time. Nothing here touches the line itself.
#include <windows.h>

#include <time.h>

#include "platform/system.h"

namespace {

CRITICAL_SECTION lineLock;
volatile LONG lineLockState = 0; // 0 not made, 1 being made, 2 ready

// The DLL does no work at attach, so the lock is made on first use; whoever loses the race to make it
// waits for the winner. A critical section is recursive, so nested exchanges on one thread are safe.
void EnsureLineLock() {
    if (lineLockState == 2) {
        return;
    }
    if (InterlockedCompareExchange(&lineLockState, 1, 0) == 0) {
        InitializeCriticalSection(&lineLock);
        InterlockedExchange(&lineLockState, 2);
        return;
    }
    while (InterlockedCompareExchange(&lineLockState, 2, 2) != 2) {
        Sleep(0);
    }
}

} // namespace

void plat_line_lock() {
    EnsureLineLock();
    EnterCriticalSection(&lineLock);
}

void plat_line_unlock() {
    EnsureLineLock();
    LeaveCriticalSection(&lineLock);
}

uint32_t plat_last_error() { return static_cast<uint32_t>(GetLastError()); }

void plat_sleep_ms(uint32_t milliseconds) { Sleep(milliseconds); }

uint64_t plat_monotonic_ms() {
    // The performance counter is there on every Windows the host runs on (GetTickCount64 would keep
    // the DLL off anything older than Vista) and does not wrap like GetTickCount.
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 || !QueryPerformanceCounter(&now)) {
        return static_cast<uint64_t>(GetTickCount());
    }
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    const uint64_t perSecond = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000u + ticks % perSecond * 1000u / perSecond;
}

uint64_t plat_monotonic_us() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 || !QueryPerformanceCounter(&now)) {
        return static_cast<uint64_t>(GetTickCount()) * 1000u;
    }
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    const uint64_t perSecond = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000000u + ticks % perSecond * 1000000u / perSecond;
}

int plat_localtime(time_t t, struct tm *out) { return localtime_s(out, &t) == 0 ? 0 : -1; }
