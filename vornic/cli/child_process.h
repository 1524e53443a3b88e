// A child vornic-cli for one probe, started with posix_spawn (no shell, the
// arguments passed as they are): standard input /dev/null, standard output
// and standard error into pipes, and descriptor 3 a pipe for its record.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/posix/posix_io.h"

namespace vornic_cli {

class ChildProcess {
  public:
    // The descriptor the child writes its record to.
    static constexpr int kRecordFd = 3;

    // Destroying it closes the pipes; a child still running is neither
    // waited for nor killed.
    ChildProcess() = default;
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

    // The parent's ends of the pipes (not valid once closed).
    posix_io::UniqueFd out, err, record;

  private:
    pid_t m_pid = -1;
};

}  // namespace vornic_cli
