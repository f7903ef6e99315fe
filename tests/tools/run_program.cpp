#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

ProgramResult RunProgram(const std::vector<std::string> &argv, int timeoutSeconds) {
    ProgramResult result;
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return result;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        close(out[0]);
        close(err[0]);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        struct pollfd p[2] = {{out[0], static_cast<short>(outOpen ? POLLIN : 0), 0},
                              {err[0], static_cast<short>(errOpen ? POLLIN : 0), 0}};
        if (poll(p, 2, static_cast<int>(left.count())) < 0)
            continue;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            const ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n <= 0)
                (i == 0 ? outOpen : errOpen) = false;
            else
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
        }
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::vector<std::string> SplitCsv(const std::string &line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

std::vector<kesta::sim::TrafficRecord> SettledTraffic(kesta::sim::Simulator &sim) {
    std::vector<kesta::sim::TrafficRecord> traffic = sim.traffic();
    for (int quiet = 0, rounds = 0; quiet < 3 && rounds < 100; ++rounds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::vector<kesta::sim::TrafficRecord> now = sim.traffic();
        quiet = now.size() == traffic.size() ? quiet + 1 : 0;
        traffic.swap(now);
    }
    return traffic;
}
