// Worker threads that rewrite the C sources of a folder ahead of the walk and stage the
// results as temporary files beside them.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "trasmo/rewrite.h"

namespace trasmo {

// For each path of one folder listing, a worker opens the file, reads it whole, applies the
// rules and, while few staged files hold a descriptor, writes the result into a staged file
// in the same folder (StagedFile: an unnamed file, or a ".trasmo-XXXXXX" file where the file
// system offers no unnamed ones). It keeps the source open as well (while few are held), so
// that when the staged file is renamed over it, the last close of the replaced file, which
// frees its blocks, happens on a background thread. Workers run a bounded number of paths
// ahead of the walk, and the whole program runs only a few of them.
//
// Workers neither log nor rename. The walk, on the calling thread and in its order, takes
// each path's result, writes every log line and commits the staged file over the source. A
// result that is not used (the file changed since the worker read it, or the walk ended
// early) is discarded, and with it its temporary file; one left by a killed run is swept by
// the next run's walk.
class RewriteAhead {
  public:
    RewriteAhead(std::vector<std::string> paths, std::shared_ptr<const CompiledRules> rules);
    RewriteAhead(const RewriteAhead&) = delete;
    RewriteAhead& operator=(const RewriteAhead&) = delete;
    ~RewriteAhead();

    // Content and outcome (staged file included) of path i when a worker read that very
    // file (same device, inode, size and modification time as `st`); false when the caller
    // has to do the work itself. Waits for a worker that is busy with path i.
    bool Take(std::size_t i, const struct stat& st, std::string* content, RuleOutcome* out);

    // After a full disk: the files staged ahead are discarded, and from now on no worker of
    // the run stages ahead; the walk stages each file itself, one at a time.
    void StopStagingAhead();

  private:
    enum { kFree, kTaken, kDone };
    struct Item {
        std::string path;
        std::atomic<int> state{kFree};
        bool computed = false;
        struct stat st {};
        std::string content;
        RuleOutcome outcome;
    };

    void Work();

    std::shared_ptr<const CompiledRules> m_rules;
    std::vector<Item> m_items;
    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_wake, m_done;
    std::size_t m_next = 0, m_consumed = 0;
    bool m_stop = false;
};

}  // namespace trasmo
