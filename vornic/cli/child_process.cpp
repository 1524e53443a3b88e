// posix_spawn with pipes: the child's ends are moved to 1, 2 and 3 by the
// spawn's file actions; every other descriptor of ours is close-on-exec.
#include "vornic/cli/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

extern char** environ;

namespace vornic_cli {

namespace {

struct Pipe {
    posix_io::UniqueFd read, write;
};

}  // namespace

int ChildProcess::Start(const char* program, const char* name, const std::vector<std::string>& args,
                        std::string* error) {
    Pipe pipes[3];
    for (Pipe& p : pipes) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            if (error) *error = std::string("cannot make a pipe: ") + std::strerror(errno);
            return 0;
        }
        p.read.Reset(fds[0]);
        p.write.Reset(fds[1]);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(name));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipes[0].write.Get(), 1);
    posix_spawn_file_actions_adddup2(&actions, pipes[1].write.Get(), 2);
    posix_spawn_file_actions_adddup2(&actions, pipes[2].write.Get(), kRecordFd);
    // A process group of its own: a Ctrl-C on the terminal reaches this
    // process alone, which stops the children itself and records each board.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program, &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        if (error) *error = std::string("cannot start ") + program + ": " + std::strerror(rc);
        return 0;
    }
    m_pid = pid;
    out = std::move(pipes[0].read);
    err = std::move(pipes[1].read);
    record = std::move(pipes[2].read);
    return 1;
}

void ChildProcess::Signal(int signal) const {
    if (m_pid > 0) ::kill(m_pid, signal);
}

int ChildProcess::Wait() {
    int status = 0;
    if (m_pid > 0) posix_io::RetryOnEintr([&] { return ::waitpid(m_pid, &status, 0); });
    m_pid = -1;
    return status;
}

}  // namespace vornic_cli
