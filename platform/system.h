// Operating-system services other than the serial line: named mutexes shared across processes, the
// process-wide line lock, the last system error, sleeping, local time.
#pragma once

#include <stdint.h>
#include <time.h>

typedef uintptr_t MutexHandle; // 0 means none

enum { PLAT_WAIT_OK = 0, PLAT_WAIT_ABANDONED = 1, PLAT_WAIT_TIMEOUT = 2, PLAT_WAIT_FAILED = 3 };

// A named mutex with Win32 semantics: one per name for every process of the machine, owned by a
// thread, recursive, abandoned (owner ended while holding it) counts as acquired on the next wait.
int plat_mutex_create(const char *name, MutexHandle *mutex);   // 0 ok, else plat_last_error() tells
int plat_mutex_wait(MutexHandle mutex, uint32_t milliseconds); // PLAT_WAIT_*; 0 ms never blocks
int plat_mutex_release(MutexHandle mutex);                     // 0 ok
int plat_mutex_close(MutexHandle mutex);                       // 0 ok

// The process-wide lock that serialises every exchange on the line (all instances share one stack).
void plat_line_lock();
void plat_line_unlock();

// The line lock held for a scope. Recursive: an entry point that holds it may call another that takes it.
class LineLock {
public:
    LineLock() { plat_line_lock(); }
    ~LineLock() { plat_line_unlock(); }
    LineLock(const LineLock &) = delete;
    LineLock &operator=(const LineLock &) = delete;
};

uint32_t plat_last_error();
void plat_sleep_ms(uint32_t milliseconds);
uint64_t plat_monotonic_ms();
// The same clock in microseconds, for ages finer than a millisecond.
uint64_t plat_monotonic_us();

// Local time of a calendar time, thread-safe; -1 when the C library cannot convert it.
int plat_localtime(time_t t, struct tm *out);
