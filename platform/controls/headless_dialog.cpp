// The headless dialog's user-interface thread loop and its in-memory controls.
#include "platform/controls/headless_dialog.h"

#include <memory>

namespace controls {

HeadlessDialog::HeadlessDialog(UiThread ui) {
    posix_io::MutexLock lock(m_mutex);
    if (ui == UiThread::Creator) {
        m_uiThread = std::this_thread::get_id();
        return;
    }
    m_thread = std::thread([this] { Loop(); });
    m_uiThread = m_thread.get_id();
}

HeadlessDialog::~HeadlessDialog() {
    Shutdown();
    if (m_thread.joinable()) m_thread.join();
}

void HeadlessDialog::Loop() {
    posix_io::MutexLock lock(m_mutex);
    for (;;) {
        while (!m_closed && m_queue.empty()) m_changed.wait(lock.Unique());
        if (m_queue.empty()) return;  // closed and drained
        Task* task = m_queue.front();
        m_queue.pop_front();
        lock.Unlock();
        if (task->call != nullptr)
            (*task->call)();
        else if (task->fn)
            task->fn();
        lock.Lock();
        task->ran = true;
        task->done = true;
        if (task->call == nullptr) ReleasePosted(task);
        m_changed.notify_all();
    }
}

void HeadlessDialog::ReleasePosted(const Task* task) {
    for (auto it = m_posted.begin(); it != m_posted.end(); ++it) {
        if (it->get() == task) {
            m_posted.erase(it);
            return;
        }
    }
}

bool HeadlessDialog::RunOnUi(const std::function<void()>& fn) {
    if (OnUiThread()) {
        fn();
        return true;
    }
    Task task;
    task.call = &fn;
    posix_io::MutexLock lock(m_mutex);
    if (m_closed || !m_thread.joinable()) return false;
    m_queue.push_back(&task);
    m_changed.notify_all();
    while (!task.done) m_changed.wait(lock.Unique());
    return task.ran;
}

void HeadlessDialog::Post(std::function<void()> fn) {
    posix_io::MutexLock lock(m_mutex);
    if (m_closed || !m_thread.joinable()) return;
    auto task = std::make_unique<Task>();
    task->fn = std::move(fn);
    m_queue.push_back(task.get());
    m_posted.push_back(std::move(task));
    m_changed.notify_all();
}

void HeadlessDialog::Shutdown() {
    posix_io::MutexLock lock(m_mutex);
    if (m_closed) return;
    m_closed = true;
    // Calls not yet started are released without running.
    for (Task* task : m_queue) {
        task->done = true;
        if (task->call == nullptr) ReleasePosted(task);
    }
    m_queue.clear();
    m_changed.notify_all();
}

bool HeadlessDialog::OnUiThread() const { return std::this_thread::get_id() == m_uiThread; }

std::string HeadlessDialog::GetText(int id) {
    std::string text;
    RunOnUi([&] {
        auto it = m_texts.find(id);
        if (it != m_texts.end()) text = it->second;
    });
    return text;
}

void HeadlessDialog::SetText(int id, std::string_view text) {
    RunOnUi([&] {
        m_texts[id] = std::string(text);
        m_carets[id] = 0;
    });
}

int HeadlessDialog::IsChecked(int id) {
    int checked = 0;
    RunOnUi([&] {
        auto it = m_checks.find(id);
        if (it != m_checks.end()) checked = it->second;
    });
    return checked;
}

void HeadlessDialog::SetChecked(int id, bool checked) {
    RunOnUi([&] { m_checks[id] = checked ? 1 : 0; });
}

int HeadlessDialog::GetSelection(int id) {
    int index = -1;
    RunOnUi([&] {
        auto it = m_selections.find(id);
        if (it != m_selections.end()) index = it->second;
    });
    return index;
}

void HeadlessDialog::SetSelection(int id, int index) {
    RunOnUi([&] {
        auto items = m_items.find(id);
        if (index < -1 ||
            (items != m_items.end() && index >= static_cast<int>(items->second.size())))
            index = -1;
        m_selections[id] = index;
    });
}

void HeadlessDialog::SetItems(int id, std::vector<std::string> items) {
    RunOnUi([&] {
        m_items[id] = std::move(items);
        m_selections[id] = -1;
    });
}

void HeadlessDialog::AppendText(int id, std::string_view text) {
    RunOnUi([&] {
        std::string& t = m_texts[id];
        t.append(text);
        m_carets[id] = t.size();
        if (m_observer) m_observer(id, text);
    });
}

void HeadlessDialog::MoveCaretToEnd(int id) {
    RunOnUi([&] { m_carets[id] = m_texts[id].size(); });
}

size_t HeadlessDialog::CaretPosition(int id) {
    size_t caret = 0;
    RunOnUi([&] { caret = m_carets[id]; });
    return caret;
}

void HeadlessDialog::ShowBitmap(int id, int resourceId) {
    RunOnUi([&] { m_bitmaps[id] = resourceId; });
}

int HeadlessDialog::ShownBitmap(int id) {
    int shown = 0;
    RunOnUi([&] {
        auto it = m_bitmaps.find(id);
        if (it != m_bitmaps.end()) shown = it->second;
    });
    return shown;
}

void HeadlessDialog::Click(int id) {
    RunOnUi([&] {
        auto it = m_handlers.find(id);
        if (it == m_handlers.end()) return;
        // A copy: the handler may replace itself.
        std::function<void()> handler = it->second;
        handler();
    });
}

void HeadlessDialog::Invoke(const std::function<void()>& fn) { RunOnUi(fn); }

void HeadlessDialog::SetHandler(int id, std::function<void()> handler) {
    RunOnUi([&] { m_handlers[id] = std::move(handler); });
}

void HeadlessDialog::SetAppendObserver(std::function<void(int, std::string_view)> observer) {
    RunOnUi([&] { m_observer = std::move(observer); });
}

}  // namespace controls
