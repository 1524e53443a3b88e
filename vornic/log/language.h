// The language flag and the pick of a bilingual text pair (Chinese first).
#pragma once

#include <atomic>

// Non-zero: show the Chinese member of every text pair. 0 at load; the front
// end sets it to 1 before any text is shown unless the user asked for English.
extern std::atomic<int> g_useChinese;

inline const char* Tr(const char* zh, const char* en) {
    return g_useChinese.load(std::memory_order_relaxed) != 0 ? zh : en;
}
