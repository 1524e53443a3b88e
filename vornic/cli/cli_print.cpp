// vornic-cli's printing: the log pane's lines, the progress bar and the
// summary decided from a command's report.
#include "vornic/cli/cli_print.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace vornic_cli {

void PrintPaneText(std::string_view text) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r') out.push_back(c);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

void ProgressBar::Update(uint32_t sent, uint32_t total) {
    if (!m_shown || total == 0) return;
    const int width = 40;
    int filled = static_cast<int>(uint64_t{sent} * width / total);
    char bar[width + 1];
    for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '.';
    bar[width] = '\0';
    std::fprintf(stderr, "\r[%s] %u/%u", bar, sent, total);
    if (sent == total) std::fputc('\n', stderr);
    std::fflush(stderr);
}

void PrintSummary(const Options& o, const Report& report, bool download) {
    const StepOutcome* failed = report.FirstFailure();
    if (failed == nullptr) {
        if (!download) return;
        // A rate only where there is one to tell: bytes sent over a measurable time.
        char rate[32] = "";
        if (report.bytesSent > 0 && report.seconds >= 0.001) {
            const double perSecond = report.bytesSent / report.seconds;
            if (perSecond >= 1024)
                std::snprintf(rate, sizeof rate, " (%.1f KB/s)", perSecond / 1024);
            else
                std::snprintf(rate, sizeof rate, " (%.0f B/s)", perSecond);
        }
        std::fprintf(stderr, "%s: %u bytes sent in %.3f s%s\n", o.command.c_str(), report.bytesSent,
                     report.seconds, rate);
        return;
    }
    std::string line = o.command + ": failed at " + StepName(failed->step) + " (" +
                       KindText(failed->outcome.kind()) + ": " +
                       ReasonText(failed->outcome.reason()) +
                       (report.detail.empty() ? "" : ", " + report.detail) + ")";
    if (download) {
        char tail[96];
        if (report.imageSize > 0)
            std::snprintf(tail, sizeof tail, " after %u of %u bytes, %.2f s", report.bytesSent,
                          report.imageSize, report.seconds);
        else
            std::snprintf(tail, sizeof tail, ", %.2f s", report.seconds);
        line += tail;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace vornic_cli
