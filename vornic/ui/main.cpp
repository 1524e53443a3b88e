// Entry point of the vornic window program.
#include <cstdio>
#include <string>

#include "vornic/ui/command_line.h"
#include "vornic/ui/vornic_app.h"

int main(int argc, char** argv) {
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
