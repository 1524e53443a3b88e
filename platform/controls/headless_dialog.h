// The headless main dialog: the controls held in memory, served by a
// user-interface thread of its own (vornic-cli and the tests).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/controls/controls.h"
#include "platform/posix/thread_safety.h"

namespace controls {

class HeadlessDialog final : public Port {
  public:
    // Who serves the calls: a user-interface thread of the dialog's own, or
    // the thread that creates the dialog (for a front end that runs nothing
    // on another thread, such as a conversion alone; calls from any other
    // thread are then dropped).
    enum class UiThread { Own, Creator };

    // Starts the user-interface thread (UiThread::Own).
    explicit HeadlessDialog(UiThread ui = UiThread::Own);
    // Shuts down and joins the thread. Must not run on the user-interface thread.
    ~HeadlessDialog() override;
    HeadlessDialog(const HeadlessDialog&) = delete;
    HeadlessDialog& operator=(const HeadlessDialog&) = delete;

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

    // The routine a click on button `id` runs (on the user-interface thread).
    void SetHandler(int id, std::function<void()> handler);
    // Items of a combo box; a selection outside them becomes -1.
    void SetItems(int id, std::vector<std::string> items);
    // Called on the user-interface thread with each text appended to any
    // control (id, text), e.g. so that vornic-cli prints each log line.
    void SetAppendObserver(std::function<void(int id, std::string_view text)> observer);
    // The bitmap resource shown in a static control, 0 when none.
    int ShownBitmap(int id);
    // Caret position of an edit control (byte offset).
    size_t CaretPosition(int id);
    // Queues fn on the user-interface thread without waiting for it.
    void Post(std::function<void()> fn);

    // From now on nothing waits for the user-interface thread: queued calls
    // are dropped, callers released, and later calls return at once (reads
    // give "", 0 or -1). A call already running is still waited for.
    void Shutdown();

  private:
    struct Task {
        std::function<void()> fn;                     // owned for posted tasks
        const std::function<void()>* call = nullptr;  // borrowed for waited calls
        bool done = false;
        bool ran = false;
    };

    // Runs fn on the user-interface thread and waits; false when it did not run.
    bool RunOnUi(const std::function<void()>& fn);
    void Loop();
    // Frees a posted task once it has run or been dropped.
    void ReleasePosted(const Task* task) REQUIRES(m_mutex);

    // Guards the queue and, for the tasks in it, their done and ran flags.
    mutable posix_io::Mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Task*> m_queue GUARDED_BY(m_mutex);
    std::deque<std::unique_ptr<Task>> m_posted GUARDED_BY(m_mutex);
    bool m_closed GUARDED_BY(m_mutex) = false;
    // Both set by the constructor, before any other thread sees the dialog.
    std::thread m_thread;
    std::thread::id m_uiThread;

    // State below is touched only on the user-interface thread.
    std::map<int, std::string> m_texts;
    std::map<int, size_t> m_carets;
    std::map<int, int> m_checks;
    std::map<int, int> m_selections;
    std::map<int, std::vector<std::string>> m_items;
    std::map<int, int> m_bitmaps;
    std::map<int, std::function<void()>> m_handlers;
    std::function<void(int, std::string_view)> m_observer;
};

}  // namespace controls
