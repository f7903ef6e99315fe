// POSIX services other than the serial line: the process-wide line lock, the last system error,
// sleeping, the monotonic clock and local time. Nothing here touches the line itself.
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include "platform/system.h"

namespace {

pthread_once_t lineLockOnce = PTHREAD_ONCE_INIT;
pthread_mutex_t lineLock;

// Recursive: an exchange that nests another one on the same thread (a connect inside a parse) must not
// deadlock against itself.
void InitLineLock() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lineLock, &attr);
    pthread_mutexattr_destroy(&attr);
}

} // namespace

void plat_line_lock() {
    pthread_once(&lineLockOnce, InitLineLock);
    pthread_mutex_lock(&lineLock);
}

void plat_line_unlock() {
    pthread_once(&lineLockOnce, InitLineLock);
    pthread_mutex_unlock(&lineLock);
}

uint32_t plat_last_error() { return static_cast<uint32_t>(errno); }

void plat_sleep_ms(uint32_t milliseconds) {
    struct timespec left;
    left.tv_sec = static_cast<time_t>(milliseconds / 1000u);
    left.tv_nsec = static_cast<long>(milliseconds % 1000u) * 1000000L;
    // A signal cuts nanosleep short; carry on with what is left (it only ever shrinks).
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

uint64_t plat_monotonic_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

uint64_t plat_monotonic_us() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

int plat_localtime(time_t t, struct tm *out) { return localtime_r(&t, out) != nullptr ? 0 : -1; }
