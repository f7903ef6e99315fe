// Named mutexes with the semantics of a Win32 mutex on POSIX: one mutex per name for every process of
// the machine, owned by a thread, recursive, and an owner that ends while holding it (another process,
// or a thread of this one) leaves it abandoned, which the next wait acquires. Errors are left in errno.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/system.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KESTA_TSAN_POLLED_WAIT 1
#endif
#endif
#ifndef KESTA_TSAN_POLLED_WAIT
#define KESTA_TSAN_POLLED_WAIT 0
#endif

namespace {

// The shared-memory object of one name. A robust, recursive, process-shared pthread mutex gives the
// Win32 semantics: the kernel marks it owner-dead when the owning thread ends.
struct SharedMutex {
    uint32_t state; // STATE_*; changed with atomics only, by whichever process comes first
    uint32_t size;
    pthread_mutex_t mutex;
};

enum : uint32_t {
    STATE_UNTOUCHED = 0,
    STATE_INITIALISING = 1,
    STATE_READY = 0x4B534D31 // "KSM1"
};

enum {
    NAME_SLOTS = 256,    // distinct mutex names one process may use
    HANDLE_SLOTS = 1023, // open handles at once
    HANDLE_INDEX_BITS = 10,
    INIT_WAIT_MS = 2000,
    WAIT_INFINITE = 0xFFFFFFFFu
};

// A name stays mapped for the life of the process once used: unmapping a mutex that a thread of this
// process still owns would hide it from the kernel's owner-dead handling and leave every other process
// waiting on it for good. The mappings are few (one page per driver number).
struct MappedName {
    char name[NAME_MAX + 1];
    SharedMutex *shared;
};

// Handles carry a generation, so a closed handle never reaches a mutex again, even after its slot is
// reused: it fails with EBADF like a wait on a closed handle under Win32.
struct HandleSlot {
    SharedMutex *shared;
    uint32_t generation;
    bool open;
};

pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;
MappedName names[NAME_SLOTS];
HandleSlot handles[HANDLE_SLOTS];

MutexHandle MakeHandle(uint32_t index, uint32_t generation) {
    return static_cast<MutexHandle>(((generation & 0x3FFFFFu) << HANDLE_INDEX_BITS) | (index + 1u));
}

SharedMutex *Lookup(MutexHandle handle) {
    uint32_t index = static_cast<uint32_t>(handle & ((1u << HANDLE_INDEX_BITS) - 1u));
    if (handle == 0 || handle > 0xFFFFFFFFu || index == 0 || index > HANDLE_SLOTS) {
        return nullptr;
    }
    const HandleSlot &slot = handles[index - 1];
    if (!slot.open || MakeHandle(index - 1, slot.generation) != handle) {
        return nullptr;
    }
    return slot.shared;
}

// A wait until the monotonic deadline. ThreadSanitizer follows every lock call but
// pthread_mutex_clocklock (and the owner-dead hand-over only through the calls it follows): under it
// the wait polls with trylock instead, every millisecond, to the same deadline.
int ClockLock(pthread_mutex_t *mutex, const struct timespec *deadline) {
#if KESTA_TSAN_POLLED_WAIT
    for (;;) {
        const int rc = pthread_mutex_trylock(mutex);
        if (rc != EBUSY) {
            return rc;
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > deadline->tv_sec || (now.tv_sec == deadline->tv_sec && now.tv_nsec >= deadline->tv_nsec)) {
            return ETIMEDOUT;
        }
        struct timespec pause = {0, 1000000L};
        nanosleep(&pause, nullptr);
    }
#else
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, deadline);
#endif
}

void SleepMs(long milliseconds) {
    struct timespec pause = {0, milliseconds * 1000000L};
    nanosleep(&pause, nullptr);
}

// The first process to reach a fresh object initialises the mutex; any other waits until it is ready.
int InitialiseShared(SharedMutex *shared) {
    uint32_t expected = STATE_UNTOUCHED;
    if (__atomic_compare_exchange_n(&shared->state, &expected, STATE_INITIALISING, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        int rc = pthread_mutex_init(&shared->mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        if (rc != 0) {
            __atomic_store_n(&shared->state, STATE_UNTOUCHED, __ATOMIC_RELEASE);
            return rc;
        }
        shared->size = sizeof(SharedMutex);
        __atomic_store_n(&shared->state, STATE_READY, __ATOMIC_RELEASE);
        return 0;
    }
    for (long waited = 0; expected == STATE_INITIALISING && waited < static_cast<long>(INIT_WAIT_MS); ++waited) {
        SleepMs(1);
        expected = __atomic_load_n(&shared->state, __ATOMIC_ACQUIRE);
    }
    if (expected == STATE_INITIALISING) {
        return EAGAIN; // the initialising process stalled or died half-way
    }
    // An object of another layout under our name: refuse it rather than guess.
    return expected == STATE_READY && shared->size == sizeof(SharedMutex) ? 0 : EINVAL;
}

int MapName(const char *objectName, SharedMutex **shared) {
    int fd = shm_open(objectName, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    // Whoever comes first sizes the object; a second ftruncate to the same size changes nothing.
    struct stat info;
    if (fstat(fd, &info) != 0 ||
        (info.st_size < static_cast<off_t>(sizeof(SharedMutex)) && ftruncate(fd, sizeof(SharedMutex)) != 0)) {
        int rc = errno;
        close(fd);
        return rc;
    }
    void *memory = mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int mapError = errno;
    close(fd);
    if (memory == MAP_FAILED) {
        return mapError;
    }
    SharedMutex *mapped = static_cast<SharedMutex *>(memory);
    int rc = InitialiseShared(mapped);
    if (rc != 0) {
        munmap(memory, sizeof(SharedMutex));
        return rc;
    }
    *shared = mapped;
    return 0;
}

// Caller holds tableLock.
int FindOrMapName(const char *objectName, SharedMutex **shared) {
    MappedName *free = nullptr;
    for (MappedName &entry : names) {
        if (entry.shared != nullptr && strcmp(entry.name, objectName) == 0) {
            *shared = entry.shared;
            return 0;
        }
        if (entry.shared == nullptr && free == nullptr) {
            free = &entry;
        }
    }
    if (free == nullptr) {
        return EMFILE;
    }
    int rc = MapName(objectName, shared);
    if (rc == 0) {
        snprintf(free->name, sizeof free->name, "%s", objectName);
        free->shared = *shared;
    }
    return rc;
}

} // namespace

int plat_mutex_create(const char *name, MutexHandle *mutex) {
    if (name == nullptr || name[0] == '\0' || mutex == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // A shared-memory name is one path component after its leading slash.
    char objectName[NAME_MAX + 1];
    int length = snprintf(objectName, sizeof objectName, "/%s", name);
    if (length < 0 || length >= static_cast<int>(sizeof objectName)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    for (char *c = objectName + 1; *c != '\0'; ++c) {
        if (*c == '/') {
            *c = '_';
        }
    }

    pthread_mutex_lock(&tableLock);
    SharedMutex *shared = nullptr;
    int rc = FindOrMapName(objectName, &shared);
    if (rc == 0) {
        rc = EMFILE;
        for (uint32_t i = 0; i < HANDLE_SLOTS; ++i) {
            if (!handles[i].open) {
                handles[i].open = true;
                handles[i].shared = shared;
                handles[i].generation = (handles[i].generation + 1u) & 0x3FFFFFu;
                *mutex = MakeHandle(i, handles[i].generation);
                rc = 0;
                break;
            }
        }
    }
    pthread_mutex_unlock(&tableLock);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return 0;
}

int plat_mutex_wait(MutexHandle mutex, uint32_t milliseconds) {
    pthread_mutex_lock(&tableLock);
    SharedMutex *shared = Lookup(mutex);
    pthread_mutex_unlock(&tableLock);
    if (shared == nullptr) {
        errno = EBADF;
        return PLAT_WAIT_FAILED;
    }

    int rc;
    if (milliseconds == 0) {
        rc = pthread_mutex_trylock(&shared->mutex);
    } else if (milliseconds == WAIT_INFINITE) {
        rc = pthread_mutex_lock(&shared->mutex);
    } else {
        // Monotonic: a change of the wall clock must not stretch or cut the wait.
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        uint64_t nanos =
            static_cast<uint64_t>(deadline.tv_nsec) + static_cast<uint64_t>(milliseconds % 1000u) * 1000000u;
        deadline.tv_sec += static_cast<time_t>(milliseconds / 1000u + nanos / 1000000000u);
        deadline.tv_nsec = static_cast<long>(nanos % 1000000000u);
        rc = ClockLock(&shared->mutex, &deadline);
    }

    switch (rc) {
    case 0: return PLAT_WAIT_OK;
    case EOWNERDEAD:
        // The owner ended while holding it: ours now, as WAIT_ABANDONED hands it over under Win32.
        pthread_mutex_consistent(&shared->mutex);
        return PLAT_WAIT_ABANDONED;
    case EBUSY:
    case ETIMEDOUT: return PLAT_WAIT_TIMEOUT;
    default: errno = rc; return PLAT_WAIT_FAILED;
    }
}

int plat_mutex_release(MutexHandle mutex) {
    pthread_mutex_lock(&tableLock);
    SharedMutex *shared = Lookup(mutex);
    pthread_mutex_unlock(&tableLock);
    if (shared == nullptr) {
        errno = EBADF;
        return -1;
    }
    int rc = pthread_mutex_unlock(&shared->mutex); // EPERM when this thread does not own it
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return 0;
}

int plat_mutex_close(MutexHandle mutex) {
    pthread_mutex_lock(&tableLock);
    SharedMutex *shared = Lookup(mutex);
    if (shared != nullptr) {
        uint32_t index = static_cast<uint32_t>(mutex & ((1u << HANDLE_INDEX_BITS) - 1u));
        handles[index - 1].open = false;
        handles[index - 1].shared = nullptr;
    }
    pthread_mutex_unlock(&tableLock);
    if (shared == nullptr) {
        errno = EBADF;
        return -1;
    }
    return 0;
}
