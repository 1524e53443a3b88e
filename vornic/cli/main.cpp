// Entry point of vornic-cli.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/posix/posix_io.h"
#include "vornic/cli/cli.h"

int main(int argc, char** argv) {
    // Before any file is opened: a closed standard stream must not become the
    // report, the trace or the state file, and receive the log's lines.
    posix_io::OpenStandardStreams();
    std::vector<std::string_view> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    int status = RunCli(args);
    // The command's own output is part of its result: text that never reached
    // standard output (a full disk, a reader gone) fails the run.
    const bool flushed = std::fflush(stdout) == 0;
    const int why = errno;
    if (!flushed || std::ferror(stdout)) {
        std::fprintf(stderr, "vornic-cli: cannot write the standard output%s%s\n",
                     flushed ? "" : ": ", flushed ? "" : std::strerror(why));
        if (status == kExitOk) status = kExitFailed;
    }
    return status;
}
