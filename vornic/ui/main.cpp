// Entry point of the vornic window program.
#include <cstdio>
#include <string_view>

#include "command_line.h"
#include "vornic_app.h"

int main(int argc, char** argv) {
    // The usage is printed before the toolkit starts, so --help works without a display.
    for (int i = 1; i < argc; ++i) {
        std::string_view arg(argv[i]);
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") {
            std::fputs(vornic_ui::UsageText(), stdout);
            return 0;
        }
    }
    vornic_ui::CVornicApp app(argc, argv);
    return app.Run();
}
