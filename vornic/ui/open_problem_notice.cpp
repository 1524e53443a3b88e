// The open problem's message box: non-modal and shown from the event loop, so
// neither the start-up sequence nor the hot-plug thread waits for the user.
#include "vornic/ui/open_problem_notice.h"

#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include "vornic/log/language.h"

namespace vornic_ui {

OpenProblemNotice::OpenProblemNotice(QWidget* owner) : m_owner(owner) {}

bool OpenProblemNotice::Report(probelib::OpenProblem problem) {
    using probelib::OpenProblem;
    if (problem == OpenProblem::None || problem == OpenProblem::NotFound) {
        m_told.reset();
        if (problem == OpenProblem::None && m_box) m_box->close();
        return false;
    }
    if (m_told == problem || !m_owner) return false;
    m_told = problem;
    if (m_box) m_box->close();

    auto* box =
        new QMessageBox(QMessageBox::Warning, m_owner->window()->windowTitle(),
                        QString::fromStdString(probelib::OpenProblemText(
                            problem, probelib::ShippedRuleFile(), g_useChinese.load() != 0)),
                        QMessageBox::Ok, m_owner);
    // A path in the command is data, never markup; the command can be copied.
    box->setTextFormat(Qt::PlainText);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse);
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    m_box = box;
    // Shown once the event loop runs: at start-up the owner is not yet on the
    // screen, and a box shown before it would have no window to stay above
    // and be blocked by the modal dialog.
    QTimer::singleShot(0, box, &QWidget::show);
    return true;
}

}  // namespace vornic_ui
