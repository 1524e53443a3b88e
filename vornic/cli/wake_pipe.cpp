// The self-pipe of the production-line loops: a signal handler may only
// write(), so signals, like every other event, arrive as bytes to poll for.
#include "vornic/cli/wake_pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/posix/posix_io.h"

namespace vornic_cli::wake {
namespace {

std::atomic<int> g_read{-1};
std::atomic<int> g_write{-1};

void OnSignal(int) {
    const int saved = errno;
    Post(kInterrupt);
    errno = saved;
}

}  // namespace

int Open() {
    if (g_read.load() >= 0) return 1;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return 0;
    g_read.store(fds[0]);
    g_write.store(fds[1]);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return 1;
}

int Fd() { return g_read.load(); }

void Post(char event) {
    const int fd = g_write.load();
    if (fd < 0) return;
    posix_io::RetryOnEintr([&] { return ::write(fd, &event, 1); });
}

std::string Take() {
    std::string events;
    const int fd = g_read.load();
    char buffer[256];
    for (;;) {
        const ssize_t n = fd < 0 ? -1 : posix_io::ReadSome(fd, buffer, sizeof buffer);
        if (n <= 0) return events;
        events.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace vornic_cli::wake
