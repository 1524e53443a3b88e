// Controls port of the Qt window: calls by control id run on the
// user-interface thread through a blocking queued invocation.
#include "vornic/ui/qt_controls.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QObject>
#include <QPlainTextEdit>
#include <QTimer>
#include <condition_variable>
#include <mutex>

#include "vornic/ui/banner_text.h"
#include "vornic/ui/resources.h"
#include "vornic/ui/vornic_dlg.h"

namespace vornic_ui {

struct QtControlsPort::Shared {
    std::mutex mutex;
    std::condition_variable cv;
    bool closed = false;
    int waiting = 0;  // calls from other threads waiting in RunOnUi
};

namespace {

constexpr int kPaneRepaintMs = 40;

// State of one call waiting for the user-interface thread (guarded by Shared::mutex).
struct PendingCall {
    bool started = false;
    bool done = false;
};

QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToUtf8(const QString& text) { return text.toUtf8().toStdString(); }

// The pane holds lines, not line-end pairs: CR LF becomes one line break.
QString ToPaneText(std::string_view text) {
    QString t = FromUtf8(text);
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return t;
}

}  // namespace

QtControlsPort::QtControlsPort(CVornicDlg* dialog)
    : m_shared(std::make_shared<Shared>()),
      m_receiver(std::make_unique<QObject>()),
      m_dialog(dialog),
      m_uiThread(std::this_thread::get_id()) {
    // Once the application quits, queued calls would never be delivered.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        std::shared_ptr<Shared> shared = m_shared;
        QObject::connect(app, &QCoreApplication::aboutToQuit, m_receiver.get(), [shared] {
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                shared->closed = true;
            }
            shared->cv.notify_all();
        });
    }
}

QtControlsPort::~QtControlsPort() {
    Shutdown();
    m_receiver.reset();
}

void QtControlsPort::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->closed = true;
    }
    m_shared->cv.notify_all();
}

bool QtControlsPort::WaitForWaitingCalls(int count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    return m_shared->cv.wait_for(lock, limit, [&] { return m_shared->waiting >= count; });
}

bool QtControlsPort::OnUiThread() const { return std::this_thread::get_id() == m_uiThread; }

bool QtControlsPort::RunOnUi(const std::function<void()>& fn) {
    if (OnUiThread()) {
        fn();
        return true;
    }
    std::shared_ptr<Shared> shared = m_shared;
    auto call = std::make_shared<PendingCall>();
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (shared->closed) return false;
    QMetaObject::invokeMethod(
        m_receiver.get(),
        [shared, call, &fn] {
            {
                std::lock_guard<std::mutex> inner(shared->mutex);
                // Closed before it ran: the caller has gone, and fn with it.
                if (shared->closed) return;
                call->started = true;
            }
            fn();
            {
                std::lock_guard<std::mutex> inner(shared->mutex);
                call->done = true;
            }
            shared->cv.notify_all();
        },
        Qt::QueuedConnection);
    // A call already running (perhaps inside a nested event loop) is waited
    // for even after closing, since it works on the caller's data.
    ++shared->waiting;
    shared->cv.notify_all();
    shared->cv.wait(lock, [&] { return call->done || (shared->closed && !call->started); });
    --shared->waiting;
    return call->done;
}

std::string QtControlsPort::GetText(int id) {
    std::string result;
    RunOnUi([&] {
        if (!m_dialog) return;
        QWidget* w = m_dialog->Control(id);
        if (auto* e = qobject_cast<QLineEdit*>(w)) {
            result = ToUtf8(e->text());
        } else if (auto* p = qobject_cast<QPlainTextEdit*>(w)) {
            QString t = p->toPlainText();
            t.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
            result = ToUtf8(t);
        } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            result = ToUtf8(b->text());
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            result = ToUtf8(l->text());
        } else if (auto* c = qobject_cast<QComboBox*>(w)) {
            result = ToUtf8(c->currentText());
        }
    });
    return result;
}

void QtControlsPort::SetText(int id, std::string_view text) {
    RunOnUi([&] {
        if (!m_dialog) return;
        QWidget* w = m_dialog->Control(id);
        if (auto* e = qobject_cast<QLineEdit*>(w)) {
            e->setText(FromUtf8(text));
        } else if (auto* p = qobject_cast<QPlainTextEdit*>(w)) {
            p->setPlainText(ToPaneText(text));
        } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            b->setText(FromUtf8(text));
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            l->setText(FromUtf8(text));
        }
    });
}

int QtControlsPort::IsChecked(int id) {
    int result = 0;
    RunOnUi([&] {
        if (!m_dialog) return;
        if (auto* b = qobject_cast<QAbstractButton*>(m_dialog->Control(id)))
            result = b->isChecked() ? 1 : 0;
    });
    return result;
}

void QtControlsPort::SetChecked(int id, bool checked) {
    RunOnUi([&] {
        if (!m_dialog) return;
        if (auto* b = qobject_cast<QAbstractButton*>(m_dialog->Control(id)))
            if (b->isCheckable()) b->setChecked(checked);
    });
}

int QtControlsPort::GetSelection(int id) {
    int result = -1;
    RunOnUi([&] {
        if (!m_dialog) return;
        if (auto* c = qobject_cast<QComboBox*>(m_dialog->Control(id))) result = c->currentIndex();
    });
    return result;
}

void QtControlsPort::SetSelection(int id, int index) {
    RunOnUi([&] {
        if (!m_dialog) return;
        if (auto* c = qobject_cast<QComboBox*>(m_dialog->Control(id)))
            c->setCurrentIndex(index >= 0 && index < c->count() ? index : -1);
    });
}

void QtControlsPort::AppendText(int id, std::string_view text) {
    RunOnUi([&] {
        if (!m_dialog) return;
        QWidget* w = m_dialog->Control(id);
        if (auto* p = qobject_cast<QPlainTextEdit*>(w)) {
            // A worker logging fast would otherwise have the pane repainted
            // after every line; repaint it at most every kPaneRepaintMs.
            if (p->updatesEnabled() && p->isVisible()) {
                p->setUpdatesEnabled(false);
                QTimer::singleShot(kPaneRepaintMs, p, [p] { p->setUpdatesEnabled(true); });
            }
            QTextCursor cursor = p->textCursor();
            cursor.movePosition(QTextCursor::End);
            cursor.insertText(ToPaneText(text));
            p->setTextCursor(cursor);
            p->ensureCursorVisible();
        } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
            e->end(false);
            e->insert(FromUtf8(text));
        }
    });
}

void QtControlsPort::MoveCaretToEnd(int id) {
    RunOnUi([&] {
        if (!m_dialog) return;
        QWidget* w = m_dialog->Control(id);
        if (auto* p = qobject_cast<QPlainTextEdit*>(w)) {
            p->moveCursor(QTextCursor::End);
            p->ensureCursorVisible();
        } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
            e->end(false);
        }
    });
}

void QtControlsPort::ShowBitmap(int id, int resourceId) {
    RunOnUi([&] {
        if (!m_dialog) return;
        if (auto* l = qobject_cast<QLabel*>(m_dialog->Control(id))) {
            l->setPixmap(LoadResourcePixmap(resourceId));
            // What the picture says, for a screen reader.
            l->setAccessibleDescription(QString::fromUtf8(BannerText(resourceId)));
        }
    });
}

void QtControlsPort::Click(int id) {
    RunOnUi([&] {
        if (!m_dialog) return;
        if (auto* b = qobject_cast<QAbstractButton*>(m_dialog->Control(id))) b->click();
    });
}

void QtControlsPort::Invoke(const std::function<void()>& fn) { RunOnUi(fn); }

}  // namespace vornic_ui
