// The --repeat loop: each job on a thread of its own, so that the loop can
// wait on one pipe for the job's end, a probe arrival, a line of input or a
// signal.
#include "vornic/cli/board_loop.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/posix/posix_io.h"
#include "platform/probelib/lifetime.h"
#include "platform/probelib/probelib.h"
#include "vornic/cli/wake_pipe.h"
#include "vornic/image/firmware_image.h"
#include "vornic/log/language.h"
#include "vornic/probe/download_job.h"
#include "vornic/probe/probe_link.h"

namespace vornic_cli {

using vornic_image::g_firmwareImage;
using vornic_probe::DownloadJobRunning;
using vornic_probe::kProbeIndex;
using vornic_probe::OnDeviceNotify;

namespace {

// The window's hot-plug routine, then the loop learns of an arrival.
void NotifyAndWake(uint32_t event) {
    OnDeviceNotify(event);
    if (event == 3) wake::Post(wake::kArrival);
}

struct Tally {
    uint32_t boards = 0, passed = 0, failed = 0, unfinished = 0;
    void Print() const {
        std::printf("%u board%s: %u passed, %u failed", boards, boards == 1 ? "" : "s", passed,
                    failed);
        if (unfinished > 0) std::printf(", %u unfinished", unfinished);
        std::printf("\n");
        std::fflush(stdout);
    }
};

int Append(RecordFile* report, const std::string& record) {
    std::string error;
    if (report == nullptr || !report->IsOpen() || report->Append(record, &error)) return 1;
    std::fprintf(stderr, "vornic-cli: %s\n", error.c_str());
    return 0;
}

void PrintBoard(uint32_t board, const Report& report, const std::string& lost) {
    if (const StepOutcome* failed = report.FirstFailure())
        std::printf("board %u: FAIL at %s (%s)\n", board, StepName(failed->step),
                    KindText(failed->outcome.kind()));
    else if (!lost.empty())
        std::printf("board %u: FAIL (%s)\n", board, lost.c_str());
    else
        std::printf("board %u: PASS (%u bytes, %.2f s)\n", board, report.bytesSent, report.seconds);
    std::fflush(stdout);
}

// Waits until the job's thread says it has ended. False when interrupted.
bool WaitForJob() {
    pollfd fd = {wake::Fd(), POLLIN, 0};
    for (;;) {
        if (::poll(&fd, 1, -1) < 0 && errno != EINTR) return true;
        // Arrivals during a job are the job's own probe coming back; they start no board.
        for (char event : wake::Take()) {
            if (event == wake::kInterrupt) return false;
            if (event == wake::kJobEnded) return true;
        }
    }
}

// Standard input line by line, when it is a terminal or a pipe.
class Input {
  public:
    Input() {
        struct stat info {};
        m_on = ::isatty(0) != 0 || (::fstat(0, &info) == 0 && S_ISFIFO(info.st_mode));
    }
    bool On() const { return m_on; }
    // One read, once poll has found input: 1, or 0 at the end of input.
    int Fill() {
        char buffer[256];
        const ssize_t n = posix_io::ReadSome(0, buffer, sizeof buffer);
        if (n < 0 && errno == EAGAIN) return 1;
        if (n <= 0) return m_on = false;
        m_text.append(buffer, static_cast<size_t>(n));
        // A line this long means nothing here; only its end is kept.
        if (m_text.size() > 4096) m_text.erase(0, m_text.size() - 4096);
        return 1;
    }
    bool TakeLine(std::string* line) {
        const size_t nl = m_text.find('\n');
        if (nl == std::string::npos) return false;
        *line = m_text.substr(0, nl);
        m_text.erase(0, nl + 1);
        return true;
    }

  private:
    bool m_on;
    std::string m_text;
};

enum class Next { Board, Stop };

// Waits for the next board: a probe arrival or Enter; q, the end of input or
// a signal stop. Other lines are ignored.
Next WaitForBoard(Input& input) {
    if (::isatty(0) != 0)
        std::fputs(Tr("vornic-cli: 下一块板：插入它的下载器或按 Enter（输入 q 再按 Enter 结束）\n",
                      "vornic-cli: next board: plug in its probe or press Enter (q and Enter to "
                      "stop)\n"),
                   stderr);
    for (;;) {
        for (std::string line; input.TakeLine(&line);) {
            if (line == "q" || line == "Q") return Next::Stop;
            if (line.empty()) return Next::Board;
        }
        pollfd fds[2] = {{wake::Fd(), POLLIN, 0}, {0, POLLIN, 0}};
        if (::poll(fds, input.On() ? 2 : 1, -1) < 0 && errno != EINTR) return Next::Stop;
        for (char event : wake::Take()) {
            if (event == wake::kInterrupt) return Next::Stop;
            if (event == wake::kArrival) return Next::Board;
        }
        if (input.On() && fds[1].revents != 0 && input.Fill() == 0) return Next::Stop;
    }
}

}  // namespace

int RunBoardAfterBoard(const RepeatRun& run) {
    wake::Open();
    CH375SetDeviceNotify(kProbeIndex, nullptr, NotifyAndWake);
    Input input;
    Tally tally;
    bool recordsKept = true;
    for (;;) {
        const uint32_t board = ++tally.boards;
        BoardRun result;
        const auto started = std::chrono::system_clock::now();
        std::thread job([&run, &result] {
            result = run.runBoard();
            wake::Post(wake::kJobEnded);
        });
        if (!WaitForJob()) {
            // The worker cannot be stopped part-way: record the board, then
            // end the process under it, as the window does on quit.
            ++tally.unfinished;
            BoardContext context = run.context;
            context.started = started;
            context.probeKnown = probelib::LastOpenedProbe(&context.probe) != 0;
            // A running worker has its image: named as under --probe=all.
            if (DownloadJobRunning()) context.image = g_firmwareImage.Bytes();
            Report none;
            none.seconds =
                std::chrono::duration<double>(std::chrono::system_clock::now() - started).count();
            Append(run.report, BoardRecord(none, context, true));
            std::printf("board %u: UNFINISHED (interrupted)\n", board);
            tally.Print();
            std::fflush(stderr);
            std::_Exit(1);
        }
        job.join();
        PrintBoard(board, result.report, result.context.lost);
        (result.report.Ok() && result.context.lost.empty() ? tally.passed : tally.failed)++;
        // No board starts before its predecessor's record is on disk.
        recordsKept = Append(run.report, BoardRecord(result.report, result.context)) != 0;
        if (!recordsKept || board == run.limit) break;
        probelib::JobEnded();
        if (WaitForBoard(input) == Next::Stop) break;
    }
    tally.Print();
    return tally.failed == 0 && recordsKept ? 0 : 1;
}

}  // namespace vornic_cli
