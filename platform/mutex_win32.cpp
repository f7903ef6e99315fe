// Named mutexes on Win32: the system's own named mutex objects, shared by every process of the session
// under one name. Failures leave their code in GetLastError().
#include <windows.h>

#include "platform/system.h"

int plat_mutex_create(const char *name, MutexHandle *mutex) {
    if (mutex == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    // Not initially owned, default security. An existing mutex of that name is opened instead
    // (ERROR_ALREADY_EXISTS is then set, but the handle is good).
    HANDLE handle = CreateMutexA(nullptr, FALSE, name);
    if (handle == nullptr) {
        return -1;
    }
    *mutex = reinterpret_cast<MutexHandle>(handle);
    return 0;
}

int plat_mutex_wait(MutexHandle mutex, uint32_t milliseconds) {
    switch (WaitForSingleObject(reinterpret_cast<HANDLE>(mutex), milliseconds)) {
    case WAIT_OBJECT_0: return PLAT_WAIT_OK;
    case WAIT_ABANDONED: return PLAT_WAIT_ABANDONED;
    case WAIT_TIMEOUT: return PLAT_WAIT_TIMEOUT;
    default: return PLAT_WAIT_FAILED;
    }
}

int plat_mutex_release(MutexHandle mutex) { return ReleaseMutex(reinterpret_cast<HANDLE>(mutex)) ? 0 : -1; }

int plat_mutex_close(MutexHandle mutex) { return CloseHandle(reinterpret_cast<HANDLE>(mutex)) ? 0 : -1; }
