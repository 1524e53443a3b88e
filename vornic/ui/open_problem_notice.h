// Tells the window's user why the probe did not open, in a message box: the
// same explanation and command that the command line prints, which a user who
// started the window from the desktop menu would otherwise never see.
#pragma once

#include <QPointer>
#include <optional>

#include "platform/probelib/usb/open_problem.h"

class QMessageBox;
class QWidget;

namespace vornic_ui {

class OpenProblemNotice {
  public:
    // The boxes belong to `owner`, whose title they take.
    explicit OpenProblemNotice(QWidget* owner);

    // Takes the outcome of an open attempt. A problem the user can act on gets
    // one non-modal box, once while the same problem lasts; "no probe
    // attached" gets none (the link state says it), and a successful open
    // closes a box still shown. Returns true when a box was put up.
    bool Report(probelib::OpenProblem problem);

  private:
    QPointer<QWidget> m_owner;
    QPointer<QMessageBox> m_box;
    std::optional<probelib::OpenProblem> m_told;
};

}  // namespace vornic_ui
