// Helpers of the host tests: the real libkesta.so loaded through dlopen (also as a private copy with
// state of its own), a scratch directory, standard error captured, mutex names no other run uses.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "kesta.h"
#include "support/hostlog.h"

typedef uint32_t(KVI_CALL *KviMainFunction)(DriverCall *call);

// A scratch directory, removed with its files at the end.
class TempDir {
public:
    TempDir() {
        const char *base = getenv("TMPDIR");
        path_ = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/kesta-host-XXXXXX";
        if (mkdtemp(&path_[0]) == nullptr) {
            path_.clear();
        }
    }
    ~TempDir() {
        if (!path_.empty()) {
            std::string command = "rm -rf '" + path_ + "'";
            if (system(command.c_str()) != 0) {
                fprintf(stderr, "cannot remove %s\n", path_.c_str());
            }
        }
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string File(const std::string &name) const { return path_ + "/" + name; }
    void Write(const std::string &name, const std::string &bytes) const {
        std::ofstream out(File(name), std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

private:
    std::string path_;
};

// libkesta.so through its one export. With a private copy the driver's state (the host runtime binding
// above all) starts afresh: the loader treats another file as another library.
class DriverLibrary {
public:
    explicit DriverLibrary(const char *path) { Open(path); }
    DriverLibrary(const TempDir &dir, const char *path, const char *copyName) {
        std::ifstream in(path, std::ios::binary);
        std::ofstream out(dir.File(copyName), std::ios::binary);
        out << in.rdbuf();
        out.close();
        Open(dir.File(copyName).c_str());
    }
    ~DriverLibrary() {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    DriverLibrary(const DriverLibrary &) = delete;
    DriverLibrary &operator=(const DriverLibrary &) = delete;

    bool loaded() const { return kviMain_ != nullptr; }
    uint32_t KviMain(DriverCall *call) const { return kviMain_(call); }
    void *handle() const { return handle_; }

private:
    void Open(const char *path) {
        handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) {
            fprintf(stderr, "dlopen %s: %s\n", path, dlerror());
            return;
        }
        kviMain_ = reinterpret_cast<KviMainFunction>(dlsym(handle_, "KviMain"));
    }

    void *handle_ = nullptr;
    KviMainFunction kviMain_ = nullptr;
};

// Everything written to standard error while it lives lands in a file, read back by Text().
class StderrCapture {
public:
    explicit StderrCapture(const TempDir &dir) : path_(dir.File("stderr.txt")) {
        fflush(stderr);
        saved_ = dup(2);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { Restore(); }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    std::string Text() {
        Restore();
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    void Restore() {
        if (saved_ >= 0) {
            fflush(stderr);
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
        }
    }

    std::string path_;
    int saved_ = -1;
};

// A driver number whose "SEMKESTA%02u" no other test run uses at the same time; its shared-memory
// object goes when the test ends.
class ScopedDriverNumber {
public:
    explicit ScopedDriverNumber(uint32_t salt)
        : number_(100000u + (static_cast<uint32_t>(getpid()) % 100000u) * 100u + salt) {
        snprintf(name_, sizeof name_, "SEMKESTA%02u", number_);
    }
    ~ScopedDriverNumber() {
        std::string object = std::string("/") + name_;
        shm_unlink(object.c_str());
    }
    ScopedDriverNumber(const ScopedDriverNumber &) = delete;
    ScopedDriverNumber &operator=(const ScopedDriverNumber &) = delete;

    uint32_t number() const { return number_; }
    const char *name() const { return name_; }

private:
    uint32_t number_;
    char name_[32];
};
