// The process-wide main dialog pointer.
#include "platform/controls/controls.h"

#include <atomic>

namespace controls {
namespace {
std::atomic<Port*> g_mainDialog{nullptr};
}

void SetMainDialog(Port* port) { g_mainDialog.store(port, std::memory_order_release); }

Port* MainDialog() { return g_mainDialog.load(std::memory_order_acquire); }

}  // namespace controls
