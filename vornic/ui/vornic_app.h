// The application object: owns the toolkit's application, runs the main dialog
// modally and returns the program's exit code.
#pragma once

#include <QApplication>

namespace vornic_ui {

class CVornicApp {
  public:
    // argc and argv must outlive the object (the toolkit keeps them).
    CVornicApp(int& argc, char** argv);
    int Run();

  private:
    int& m_argc;
    char** m_argv;
    QApplication m_app;
};

}  // namespace vornic_ui
