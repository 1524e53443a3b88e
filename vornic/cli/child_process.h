// A child vornic-cli for one probe, started with posix_spawn (no shell, the
// arguments passed as they are): standard input /dev/null, standard output
// and standard error into pipes, and descriptor 3 a pipe for its record.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
  public:
    // The descriptor the child writes its record to.
    static constexpr int kRecordFd = 3;

    ChildProcess() = default;
    // Closes the pipes; a child still running is neither waited for nor killed.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs `program` with argv[0] `name` and `args`. 1, or 0 with the reason.
    int Start(const char* program, const char* name, const std::vector<std::string>& args,
              std::string* error);
    // Sends a signal while the child has not been waited for.
    void Signal(int signal) const;
    // Waits for the child to end; its wait status. Once only.
    int Wait();
    bool Running() const { return m_pid > 0; }

    // The parent's ends of the pipes (-1 once closed).
    int out = -1, err = -1, record = -1;
    static void CloseFd(int* fd);

  private:
    pid_t m_pid = -1;
};
