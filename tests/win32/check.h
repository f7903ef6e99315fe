// A small scenario runner for the Windows test programs: named scenarios made of checks, one result
// line each, and the closing "N passed, N failed, N skipped" line that tests/win32/run-wine.sh adds up.
// No test framework: the programs must run on a bare Windows (or wine) with nothing but system DLLs.
#pragma once

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

class ScenarioRunner {
public:
    // Runs only scenarios whose name contains filter (null: all).
    explicit ScenarioRunner(const char *filter) : filter_(filter) {}

    template <typename Body> void Run(const char *name, Body body) {
        if (filter_ != nullptr && strstr(name, filter_) == nullptr) {
            return;
        }
        name_ = name;
        problems_.clear();
        skipReason_.clear();
        const DWORD start = GetTickCount();
        body();
        const DWORD elapsed = GetTickCount() - start;
        if (!skipReason_.empty() && problems_.empty()) {
            printf("[skip] %s: %s\n", name, skipReason_.c_str());
            skipped_++;
        } else if (problems_.empty()) {
            printf("[ ok ] %s (%lu ms)\n", name, static_cast<unsigned long>(elapsed));
            passed_++;
        } else {
            printf("[FAIL] %s (%lu ms)\n", name, static_cast<unsigned long>(elapsed));
            for (const std::string &p : problems_) {
                printf("         %s\n", p.c_str());
            }
            failed_++;
        }
        fflush(stdout);
    }

    // A failed check is recorded and the scenario goes on; the result tells the caller.
    bool Check(bool ok, const char *file, int line, const char *format, ...)
        __attribute__((format(__MINGW_PRINTF_FORMAT, 5, 6))) {
        if (ok) {
            return true;
        }
        char text[1024];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        char where[1200];
        snprintf(where, sizeof where, "%s:%d: %s", BaseName(file), line, text);
        problems_.push_back(where);
        return false;
    }

    // The scenario cannot be checked here; it counts as skipped when nothing failed before.
    void Skip(const char *reason) { skipReason_ = reason; }
    void Note(const char *format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 2, 3))) {
        va_list args;
        va_start(args, format);
        printf("[note] ");
        vprintf(format, args);
        printf("\n");
        va_end(args);
    }

    int Finish() const {
        printf("%d passed, %d failed, %d skipped\n", passed_, failed_, skipped_);
        fflush(stdout);
        return failed_ == 0 && passed_ > 0 ? 0 : 1;
    }

private:
    static const char *BaseName(const char *path) {
        const char *slash = strrchr(path, '/');
        const char *back = strrchr(path, '\\');
        const char *last = slash > back ? slash : back;
        return last != nullptr ? last + 1 : path;
    }

    const char *filter_;
    std::string name_;
    std::vector<std::string> problems_;
    std::string skipReason_;
    int passed_ = 0;
    int failed_ = 0;
    int skipped_ = 0;
};

// Checks inside a scenario; each records its own text with the file and line on failure.
#define CHECK(runner, cond)          (runner).Check((cond), __FILE__, __LINE__, "%s", #cond)
#define CHECK_MSG(runner, cond, ...) (runner).Check((cond), __FILE__, __LINE__, __VA_ARGS__)
#define CHECK_EQ(runner, expected, actual)                                                                             \
    CheckEqual((runner), static_cast<long long>(expected), static_cast<long long>(actual), #expected, #actual,         \
               __FILE__, __LINE__)

// Each side is evaluated once: the checks call the operations they check.
inline bool CheckEqual(ScenarioRunner &runner, long long expected, long long actual, const char *expectedText,
                       const char *actualText, const char *file, int line) {
    return runner.Check(expected == actual, file, line, "%s == %s: expected %lld, got %lld", expectedText, actualText,
                        expected, actual);
}

// Milliseconds since an arbitrary start, for timing checks with generous bounds.
inline DWORD NowMs() { return GetTickCount(); }
