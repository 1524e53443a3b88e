// Runs vornic-cli (or any program) as a child process and collects its exit
// status, standard output and standard error; a child that outlives its time
// limit is killed, so a hang fails a test instead of stalling the run.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace clitest {

struct Result {
    int status = -1;  // exit status; -1 when killed or not run
    std::string out;
    std::string err;
    bool killed = false;  // ran past its time limit
    long peakKiB = 0;     // the child's peak resident memory
};

inline std::string Drain(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

inline Result RunProcess(std::vector<std::string> args, int limitSeconds = 60) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]), close(out[1]), close(err[0]), close(err[1]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    std::atomic<bool> finished{false}, killed{false};
    std::thread watchdog([&] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
        while (!finished) {
            if (std::chrono::steady_clock::now() > deadline) {
                killed = true;
                kill(pid, SIGKILL);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    Result r;
    // Standard error is small; read it after standard output.
    r.out = Drain(out[0]);
    r.err = Drain(err[0]);
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    finished = true;
    watchdog.join();
    r.killed = killed;
    r.peakKiB = usage.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// The texts of the output lines behind their "NNNN#HH:MM:SS:mmm>> " headers.
inline std::vector<std::string> Texts(const std::string& out) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(pos, end - pos);
        size_t marker = line.find(">> ");
        lines.push_back(marker == std::string::npos ? line : line.substr(marker + 3));
        pos = end + 1;
    }
    return lines;
}

}  // namespace clitest
