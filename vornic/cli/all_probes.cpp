// The --probe=all loop: spawn the children, poll their pipes and the wake
// pipe, print each child's lines whole with its name in front, read each
// child's record, then print the table.
#include "vornic/cli/all_probes.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>

#include "platform/posix/posix_io.h"
#include "vornic/cli/child_process.h"
#include "vornic/cli/wake_pipe.h"
#include "vornic/log/language.h"

namespace vornic_cli {

namespace {

using Clock = std::chrono::steady_clock;

// A line longer than this is passed on in pieces; a record longer than this
// is not one.
constexpr size_t kLineLimit = 64 * 1024;
// How long children get after SIGTERM before SIGKILL.
constexpr auto kGrace = std::chrono::seconds(3);

enum class Result { Pass, Fail, Unfinished };

struct Board {
    probelib::ProbeInfo probe;
    std::string name;    // the selector given to the child
    std::string prefix;  // "[NAME] "
    ChildProcess child;
    std::string outText, errText, record;
    bool started = false;
    Clock::time_point start;
    Result result = Result::Fail;
    std::string detail;  // after PASS/FAIL: "at verify (target refused)"
    bool bytesKnown = false;
    uint32_t bytes = 0;
    double seconds = 0;
};

// A file name part from a probe name: no folder separators, nothing unprintable.
std::string FileSafe(std::string_view name) {
    std::string out;
    for (char c : name) out.push_back(c == '/' ? '_' : c);
    return Printable(out);
}

// Passes on the whole lines of `text` with the prefix; at the end (or past
// the limit) the rest too, as a line of its own.
void PassLines(std::string& text, const std::string& prefix, std::FILE* to, bool end) {
    std::string out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        out += prefix;
        out.append(text, start, nl + 1 - start);
    }
    text.erase(0, start);
    if (!text.empty() && (end || text.size() >= kLineLimit)) {
        out += prefix + text + "\n";
        text.clear();
    }
    if (out.empty()) return;
    std::fwrite(out.data(), 1, out.size(), to);
    std::fflush(to);
}

// Reads what a pipe has; closes it at its end.
void Drain(posix_io::UniqueFd* fd, std::string& text, const std::string* prefix, std::FILE* to) {
    char buffer[4096];
    const ssize_t n = posix_io::ReadSome(fd->Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EAGAIN) return;
    if (n > 0) {
        if (prefix != nullptr)
            text.append(buffer, static_cast<size_t>(n));
        else if (text.size() < kLineLimit)
            text.append(buffer, std::min(static_cast<size_t>(n), kLineLimit - text.size()));
    } else {
        fd->Reset();
    }
    if (prefix != nullptr) PassLines(text, *prefix, to, !fd->Valid());
}

std::string WaitStatusText(int status) {
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

// The board's result from its child's record and wait status.
void Finish(Board& b, int status, bool interrupted, const AllProbesRun& run, bool* reportFailed) {
    b.seconds = std::chrono::duration<double>(Clock::now() - b.start).count();
    std::string line;
    RecordSummary summary;
    if (AdoptChildRecord(b.record, run.context.file, b.probe, &line, &summary)) {
        // A child stopped by the interrupt after its record was written had
        // finished its board: the record decides, as it does in the report.
        const bool exitedOk =
            (WIFEXITED(status) && WEXITSTATUS(status) == 0) || (interrupted && WIFSIGNALED(status));
        b.result = summary.pass && exitedOk ? Result::Pass : Result::Fail;
        if (!summary.pass)
            b.detail = summary.failedStep.empty()
                           ? "(" + summary.lost + ")"
                           : "at " + summary.failedStep + " (" + summary.failedKind + ")";
        else if (!exitedOk)
            b.detail = "(" + WaitStatusText(status) + ")";
        b.bytesKnown = true;
        b.bytes = summary.bytesSent;
        b.seconds = summary.seconds;
    } else {
        // No record: the board was left somewhere in its job.
        b.result = interrupted ? Result::Unfinished : Result::Fail;
        if (!interrupted) b.detail = "(ended without a record: " + WaitStatusText(status) + ")";
        BoardContext context = run.context;
        context.started =
            std::chrono::system_clock::now() -
            std::chrono::duration_cast<std::chrono::system_clock::duration>(Clock::now() - b.start);
        context.probeKnown = true;
        context.probe = b.probe;
        Report none;
        none.seconds = b.seconds;
        line = BoardRecord(none, context, true);
    }
    std::string error;
    if (run.report != nullptr && run.report->IsOpen() && !run.report->Append(line, &error)) {
        std::fprintf(stderr, "vornic-cli: %s\n", error.c_str());
        *reportFailed = true;
    }
}

void PrintTable(const std::vector<std::unique_ptr<Board>>& boards) {
    auto resultText = [](const Board& b) {
        const char* word = b.result == Result::Pass   ? "PASS"
                           : b.result == Result::Fail ? "FAIL"
                                                      : "UNFINISHED";
        return b.detail.empty() ? std::string(word) : std::string(word) + " " + b.detail;
    };
    int nameWidth = 5, resultWidth = 6;
    for (const auto& b : boards) {
        nameWidth = std::max(nameWidth, static_cast<int>(Printable(b->name).size()));
        resultWidth = std::max(resultWidth, static_cast<int>(resultText(*b).size()));
    }
    std::string table;
    char row[512];
    std::snprintf(row, sizeof row, "%-*s  %-*s  %8s  %7s\n", nameWidth, "PROBE", resultWidth,
                  "RESULT", "BYTES", "SECONDS");
    table += row;
    int passed = 0, failed = 0, unfinished = 0;
    for (const auto& b : boards) {
        const std::string bytes = b->bytesKnown ? std::to_string(b->bytes) : "-";
        std::snprintf(row, sizeof row, "%-*s  %-*s  %8s  %7.2f\n", nameWidth,
                      Printable(b->name).c_str(), resultWidth, resultText(*b).c_str(),
                      bytes.c_str(), b->seconds);
        table += row;
        (b->result == Result::Pass ? passed : b->result == Result::Fail ? failed : unfinished)++;
    }
    std::snprintf(row, sizeof row, "%zu board%s: %d passed, %d failed", boards.size(),
                  boards.size() == 1 ? "" : "s", passed, failed);
    table += row;
    if (unfinished > 0) table += ", " + std::to_string(unfinished) + " unfinished";
    table += "\n";
    std::fwrite(table.data(), 1, table.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

std::string Printable(std::string_view text) {
    if (text.empty()) return "-";
    std::string out;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        out.push_back(u > 0x20 && u < 0x7F ? c : '?');
    }
    return out;
}

std::string ChildTracePath(const std::string& trace, std::string_view name) {
    return trace + "." + FileSafe(name);
}

std::string ProbeName(const probelib::ProbeInfo& probe,
                      const std::vector<probelib::ProbeInfo>& all) {
    const auto sameSerial = std::count_if(
        all.begin(), all.end(), [&](const auto& other) { return other.serial == probe.serial; });
    return probe.serial.empty() || sameSerial > 1 ? probe.busPort : probe.serial;
}

int RunOnAllProbes(const AllProbesRun& run) {
    wake::Open();
    std::vector<std::unique_ptr<Board>> boards;
    for (const probelib::ProbeInfo& probe : run.probes) {
        auto b = std::make_unique<Board>();
        b->probe = probe;
        b->name = ProbeName(probe, run.probes);
        b->prefix = "[" + Printable(b->name) + "] ";
        boards.push_back(std::move(b));
    }
    for (auto& b : boards) {
        if (b->probe.wrongMode) {
            b->detail = "(probe in its ARM mode)";
            continue;
        }
        std::vector<std::string> args = {"--probe=" + b->name,
                                         "--record-fd=" + std::to_string(ChildProcess::kRecordFd)};
        if (!run.trace.empty()) args.push_back("--trace=" + ChildTracePath(run.trace, b->name));
        args.insert(args.end(), run.arguments.begin(), run.arguments.end());
        std::string error;
        b->start = Clock::now();
        b->started = b->child.Start("/proc/self/exe", "vornic-cli", args, &error);
        if (!b->started) b->detail = "(" + error + ")";
    }

    bool interrupted = false, killed = false, reportFailed = false;
    Clock::time_point killAt;
    for (;;) {
        std::vector<pollfd> fds = {{wake::Fd(), POLLIN, 0}};
        struct Source {
            Board* board;
            posix_io::UniqueFd* fd;
            std::string* text;
            bool lines;
            std::FILE* to;
        };
        std::vector<Source> sources;
        for (auto& b : boards) {
            if (b->child.out.Valid())
                sources.push_back({b.get(), &b->child.out, &b->outText, true, stdout});
            if (b->child.err.Valid())
                sources.push_back({b.get(), &b->child.err, &b->errText, true, stderr});
            if (b->child.record.Valid())
                sources.push_back({b.get(), &b->child.record, &b->record, false, nullptr});
        }
        for (const Source& s : sources) fds.push_back({s.fd->Get(), POLLIN, 0});
        // Children whose pipes have all ended are waited for now.
        for (auto& b : boards)
            if (b->child.Running() && !b->child.out.Valid() && !b->child.err.Valid() &&
                !b->child.record.Valid())
                Finish(*b, b->child.Wait(), interrupted, run, &reportFailed);
        if (sources.empty()) break;

        int timeout = -1;
        if (interrupted && !killed)
            timeout = static_cast<int>(std::max<long long>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(killAt - Clock::now())
                       .count()));
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
        if ((fds[0].revents & POLLIN) != 0 &&
            wake::Take().find(wake::kInterrupt) != std::string::npos && !interrupted) {
            interrupted = true;
            killAt = Clock::now() + kGrace;
            for (auto& b : boards) b->child.Signal(SIGTERM);
        }
        if (interrupted && !killed && Clock::now() >= killAt) {
            killed = true;
            for (auto& b : boards) b->child.Signal(SIGKILL);
        }
        for (size_t i = 0; i < sources.size(); ++i) {
            if (fds[i + 1].revents == 0) continue;
            const Source& s = sources[i];
            Drain(s.fd, *s.text, s.lines ? &s.board->prefix : nullptr, s.to);
        }
    }
    if (interrupted)
        std::fputs(Tr("vornic-cli: 已中断；标为 UNFINISHED 的板子只完成了一部分\n",
                      "vornic-cli: interrupted; the boards marked UNFINISHED were left part-way\n"),
                   stderr);
    PrintTable(boards);
    const bool allPassed = std::all_of(boards.begin(), boards.end(),
                                       [](const auto& b) { return b->result == Result::Pass; });
    return allPassed && !reportFailed ? 0 : 1;
}

}  // namespace vornic_cli
