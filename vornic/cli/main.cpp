// Entry point of vornic-cli.
#include <csignal>
#include <string_view>
#include <vector>

#include "vornic/cli/cli.h"

int main(int argc, char** argv) {
    // A reader of the output that goes away early must not end a job half
    // done: writes then fail, and the job and its record go on.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string_view> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return RunCli(args);
}
