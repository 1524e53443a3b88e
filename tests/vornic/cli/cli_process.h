// Runs vornic-cli (or any program) as a child process and collects its exit
// status, standard output and standard error; a child that outlives its time
// limit is killed, so a hang fails a test instead of stalling the run. Its
// standard input is /dev/null, or a pipe that gives `input` and ends.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
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

// Called with the child's pid and its standard output so far, each time more
// has come (a test sends a signal once a line appears).
using Watch = std::function<void(pid_t, const std::string&)>;

inline Result RunProcess(std::vector<std::string> args, int limitSeconds = 60,
                         std::optional<std::string> input = {}, Watch watch = {}) {
    int out[2], err[2], in[2];
    if (pipe(out) != 0 || pipe(err) != 0 || pipe(in) != 0) return {};
    if (input) (void)!write(in[1], input->data(), input->size());  // small: fits the pipe
    close(in[1]);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        dup2(input ? in[0] : open("/dev/null", O_RDONLY), 0);
        close(out[0]), close(out[1]), close(err[0]), close(err[1]), close(in[0]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(in[0]);
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false, killed = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(limitSeconds), [&] { return finished; })) {
            killed = true;
            kill(pid, SIGKILL);
        }
    });
    Result r;
    // Standard error is small; read it after standard output.
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
        r.out.append(buffer, static_cast<size_t>(n));
        if (watch) watch(pid, r.out);
    }
    close(out[0]);
    r.err = Drain(err[0]);
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    changed.notify_all();
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
