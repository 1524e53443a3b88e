// The workers that rewrite and stage sources ahead of the walk.
#include "trasmo/rewrite_ahead.h"

#include <algorithm>
#include <utility>

#include "trasmo/file_read.h"
#include "trasmo/staging.h"

namespace trasmo {

namespace {

constexpr std::size_t kAheadWindow = 32;                // how far ahead of the walk workers may go
constexpr unsigned kMaxWorkers = 4;                     // in the whole program
constexpr int kMaxStagedAhead = 64;                     // staged files holding a descriptor
constexpr std::size_t kMaxStagedAheadBytes = 8u << 20;  // staged and not yet committed
std::atomic<unsigned> g_liveWorkers{0};
std::atomic<bool> g_oneAtATime{false};

}  // namespace

RewriteAhead::RewriteAhead(std::vector<std::string> paths,
                           std::shared_ptr<const CompiledRules> rules)
    : m_rules(std::move(rules)), m_items(paths.size()) {
    for (std::size_t i = 0; i < paths.size(); ++i) m_items[i].path = std::move(paths[i]);
    unsigned cores = std::thread::hardware_concurrency();
    if (m_items.size() < 2 || cores < 2) return;
    // Nested folders each have their workers: the total number of workers is capped.
    for (unsigned w = 0; w < std::min(cores, kMaxWorkers); ++w) {
        if (g_liveWorkers.fetch_add(1) >= kMaxWorkers) {
            g_liveWorkers.fetch_sub(1);
            break;
        }
        m_threads.emplace_back([this] { Work(); });
    }
}

RewriteAhead::~RewriteAhead() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    for (auto& t : m_threads) t.join();
    g_liveWorkers.fetch_sub(static_cast<unsigned>(m_threads.size()));
}

bool RewriteAhead::Take(std::size_t i, const struct stat& st, std::string* content,
                        RuleOutcome* out) {
    Item& item = m_items[i];
    int expected = kFree;
    if (item.state.compare_exchange_strong(expected, kTaken)) {
        item.state = kDone;  // nobody computes it: the caller does it inline
    } else {
        std::unique_lock lock(m_mutex);
        m_done.wait(lock, [&] { return item.state.load() == kDone; });
    }
    {
        std::lock_guard lock(m_mutex);
        m_consumed = i + 1;
    }
    m_wake.notify_all();
    const struct stat& w = item.st;
    bool usable = item.computed && w.st_dev == st.st_dev && w.st_ino == st.st_ino &&
                  w.st_size == st.st_size && w.st_mtim.tv_sec == st.st_mtim.tv_sec &&
                  w.st_mtim.tv_nsec == st.st_mtim.tv_nsec;
    if (usable) {
        *content = std::move(item.content);
        *out = std::move(item.outcome);
    }
    item.content = std::string();
    item.outcome = {};
    return usable;
}

void RewriteAhead::StopStagingAhead() {
    g_oneAtATime = true;
    std::lock_guard lock(m_mutex);
    for (std::size_t i = m_consumed; i < m_items.size(); ++i)
        if (m_items[i].state.load() == kDone) m_items[i].outcome.staged.Discard();
}

void RewriteAhead::Work() {
    while (true) {
        std::size_t i;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [&] {
                return m_stop || m_next >= m_items.size() || m_next < m_consumed + kAheadWindow;
            });
            if (m_stop || m_next >= m_items.size()) return;
            i = m_next++;
        }
        Item& item = m_items[i];
        int expected = kFree;
        if (!item.state.compare_exchange_strong(expected, kTaken)) continue;
        struct stat& st = item.st;
        posix_io::UniqueFd fd = OpenRegular(item.path, &st);
        if (fd && st.st_size > 0 &&
            ReadWhole(fd.Get(), static_cast<std::size_t>(st.st_size), &item.content)) {
            item.outcome = ApplyRules(*m_rules, item.content);
            // A staged file holds a descriptor and its blocks until the walk commits it.
            if (!g_oneAtATime && OpenStagedFiles() < kMaxStagedAhead &&
                StagedBytes() + item.content.size() <= kMaxStagedAheadBytes)
                StageOutcome(item.path, item.content, &item.outcome, st);
            item.outcome.staged.HoldReplaced(fd.Release());
            item.computed = true;
        }
        {
            std::lock_guard lock(m_mutex);
            item.state = kDone;
        }
        m_done.notify_all();
    }
}

}  // namespace trasmo
