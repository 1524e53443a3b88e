// Entry point of the vornic window program.
#include "vornic_app.h"

int main(int argc, char** argv) {
    vornic_ui::CVornicApp app(argc, argv);
    return app.Run();
}
