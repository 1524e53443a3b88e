// Entry point of vornic-cli.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/posix/posix_io.h"
#include "vornic/cli/cli.h"
#include "vornic/log/language.h"

using vornic_cli::kExitFailed;
using vornic_cli::kExitOk;
using vornic_cli::RunCli;

namespace {

// Standard output is a pipe whose reader has gone (`| head`): the reader chose
// to stop reading, which is no failure of the run.
bool ReaderGone(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) return false;
    pollfd p{fd, POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any file is opened: a closed standard stream must not become the
    // report, the trace or the state file, and receive the log's lines.
    posix_io::OpenStandardStreams();
    // A reader of the output that goes away early must not end a job half
    // done: writes then fail, and the job and its record go on.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string_view> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    int status = RunCli(args);
    // The command's own output is part of its result: text that never reached
    // standard output (a full disk) fails the run.
    const bool flushed = std::fflush(stdout) == 0;
    const int why = errno;
    if ((!flushed || std::ferror(stdout)) && !ReaderGone(STDOUT_FILENO)) {
        std::fprintf(stderr, "vornic-cli: %s%s%s\n",
                     Tr("无法写入标准输出", "cannot write the standard output"),
                     flushed ? "" : Tr("：", ": "), flushed ? "" : std::strerror(why));
        if (status == kExitOk) status = kExitFailed;
    }
    return status;
}
