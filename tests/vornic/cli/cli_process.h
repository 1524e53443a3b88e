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

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace clitest {

// The exit status (-1 when killed or not run), the output, whether the child
// ran past its time limit, and its peak resident memory.
struct Result {
    int status = -1;
    std::string out, err;
    bool killed = false;
    long peakKiB = 0;
};

// Called with the child's pid and its standard output so far, each time more
// has come (a test sends a signal once a line appears).
using Watch = std::function<void(pid_t, const std::string&)>;

inline Result RunProcess(std::vector<std::string> args, int limitSeconds = 60,
                         std::optional<std::string> input = {}, Watch watch = {}) {
    int out[2], err[2], in[2];
    if (pipe(out) != 0 || pipe(err) != 0 || pipe(in) != 0) return {};
    if (input) (void)!write(in[1], input->data(), input->size());  // small: fits the pipe
    close(in[1]);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1), dup2(err[1], 2), dup2(input ? in[0] : open("/dev/null", O_RDONLY), 0);
        close(out[0]), close(out[1]), close(err[0]), close(err[1]), close(in[0]);
        std::vector<char*> argv(1, nullptr);
        for (auto& a : args) argv.insert(argv.end() - 1, a.data());
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]), close(err[1]), close(in[0]);
    std::promise<void> finished;
    Result r;
    std::thread watchdog([&, done = finished.get_future()] {
        if (done.wait_for(std::chrono::seconds(limitSeconds)) == std::future_status::timeout)
            r.killed = kill(pid, SIGKILL) == 0;
    });
    // Standard error is small; read it after standard output.
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;
         watch ? watch(pid, r.out) : void())
        r.out.append(buffer, static_cast<size_t>(n));
    for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;) r.err.append(buffer, n);
    close(out[0]), close(err[0]);
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    finished.set_value(), watchdog.join();
    r.peakKiB = usage.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// The texts of the output lines behind their "NNNN#HH:MM:SS:mmm>> " headers.
inline std::vector<std::string> Texts(const std::string& out) {
    std::vector<std::string> lines;
    for (size_t pos = 0, end; pos < out.size(); pos = end + 1) {
        end = std::min(out.find('\n', pos), out.size());
        const std::string line = out.substr(pos, end - pos);
        const size_t marker = line.find(">> ");
        lines.push_back(marker == std::string::npos ? line : line.substr(marker + 3));
    }
    return lines;
}

}  // namespace clitest
