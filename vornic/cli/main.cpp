// Entry point of vornic-cli.
#include <string_view>
#include <vector>

#include "vornic/cli/cli.h"

int main(int argc, char** argv) {
    std::vector<std::string_view> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return RunCli(args);
}
