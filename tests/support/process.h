// The tests' one way to run a program (vornic-cli, vornic, trasmo, a tool) as a
// child process: its exit status, standard output and standard error; a child
// that outlives its time limit is ended by an alarm set before its exec, so a
// hang fails a test instead of stalling the run. Its standard input is
// /dev/null unless the test gives another.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace testproc {

// The exit status (-1 when killed or not run), the output, whether the child
// ran past its time limit, and its peak resident memory.
struct Result {
    int status = -1;
    std::string out, err;
    bool killed = false;
    long peakKiB = 0;
};

// Called with the child's pid and its standard output so far: once when the
// child has started, then each time more has come (a test sends a signal once a
// line appears, or waits on another event of the child's before it does).
using Watch = std::function<void(pid_t, const std::string&)>;

// The child's standard streams where they are not the defaults, and what the
// child does before its exec (close a descriptor, set a limit).
struct Io {
    int input = -1;           // standard input instead of /dev/null
    bool outputGone = false;  // standard output a pipe whose reader has gone
    std::function<void()> child = {};
};

// The child leads a process group of its own, as a shell's job does, so that
// kill(-pid, ...) is a Ctrl-C on its terminal.
inline Result RunProcess(std::vector<std::string> args, int limitSeconds = 60, Watch watch = {},
                         Io io = {}) {
    int out[2], err[2], gone[2] = {-1, -1};
    if (pipe(out) != 0 || pipe(err) != 0 || (io.outputGone && pipe(gone) != 0)) return {};
    if (io.outputGone) close(gone[0]);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(io.outputGone ? gone[1] : out[1], 1), dup2(err[1], 2);
        dup2(io.input >= 0 ? io.input : open("/dev/null", O_RDONLY), 0);
        alarm(static_cast<unsigned>(limitSeconds));
        close(out[0]), close(out[1]), close(err[0]), close(err[1]);
        if (io.child) io.child();
        std::vector<char*> argv(1, nullptr);
        for (auto& a : args) argv.insert(argv.end() - 1, a.data());
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]), close(err[1]);
    if (io.outputGone) close(gone[1]);
    Result r;
    // Standard error is small; read it after standard output.
    char buffer[4096];
    if (watch) watch(pid, r.out);
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;
         watch ? watch(pid, r.out) : void())
        r.out.append(buffer, static_cast<size_t>(n));
    for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;) r.err.append(buffer, n);
    close(out[0]), close(err[0]);
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    r.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
    r.peakKiB = usage.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// The texts of the output lines behind their "NNNN#HH:MM:SS:mmm>> " headers.
inline std::vector<std::string> Texts(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.find(">> ") == std::string::npos ? line
                                                              : line.substr(line.find(">> ") + 3));
    return lines;
}

}  // namespace testproc
