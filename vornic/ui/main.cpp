// Entry point of the vornic window program.
#include <csignal>
#include <cstdio>
#include <string>

#include "vornic/ui/command_line.h"
#include "vornic/ui/vornic_app.h"

int main(int argc, char** argv) {
    // A closed reader of standard error must not end a job half done.
    std::signal(SIGPIPE, SIG_IGN);
    // Usage and version are printed before the toolkit starts, so they work
    // without a display.
    if (vornic_ui::PrintUsageOrVersion(argc, argv)) return 0;
    // Bad usage is told without a display as well: exit status 2.
    std::string error;
    if (!vornic_ui::CheckBeforeToolkit(argc, argv, &error)) {
        std::fprintf(stderr, "vornic: %s\n%s", error.c_str(), vornic_ui::UsageText());
        return 2;
    }
    vornic_ui::CVornicApp app(argc, argv);
    return app.Run();
}
