// The about box: icon, program name and version, and an OK button.
#pragma once

#include <QDialog>

namespace vornic_ui {

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace vornic_ui
