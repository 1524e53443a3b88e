// The controls port of the Qt window: the flash code's calls by control id,
// carried to the user-interface thread and waited for.
#pragma once

#include <QPointer>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/controls/controls.h"

class QObject;

namespace vornic_ui {

class CVornicDlg;

class QtControlsPort : public controls::Port {
  public:
    // Must be constructed on the user-interface thread.
    explicit QtControlsPort(CVornicDlg* dialog);
    ~QtControlsPort() override;
    QtControlsPort(const QtControlsPort&) = delete;
    QtControlsPort& operator=(const QtControlsPort&) = delete;

    std::string GetText(int id) override;
    void SetText(int id, std::string_view text) override;
    int IsChecked(int id) override;
    void SetChecked(int id, bool checked) override;
    int GetSelection(int id) override;
    void SetSelection(int id, int index) override;
    void AppendText(int id, std::string_view text) override;
    void MoveCaretToEnd(int id) override;
    void ShowBitmap(int id, int resourceId) override;
    void Click(int id) override;
    void Invoke(const std::function<void()>& fn) override;
    bool OnUiThread() const override;

    // From now on no call waits for the user-interface thread any more: calls
    // waiting are released and later ones return at once (reads give empty
    // text, 0 or -1). Called when the dialog has ended or the application
    // quits, so that a worker still calling in cannot hang. Idempotent.
    void Shutdown();

    // Waits until at least `count` calls from other threads are waiting for
    // the user-interface thread, at most `limit`; true when they are. Lets a
    // caller act on a worker known to be inside a call, not about to make it.
    bool WaitForWaitingCalls(int count, std::chrono::milliseconds limit);

    struct Shared;

  private:
    // Runs fn on the user-interface thread and waits; false when it did not run.
    bool RunOnUi(const std::function<void()>& fn);

    std::shared_ptr<Shared> m_shared;
    std::unique_ptr<QObject> m_receiver;
    QPointer<CVornicDlg> m_dialog;
    std::thread::id m_uiThread;
};

}  // namespace vornic_ui
