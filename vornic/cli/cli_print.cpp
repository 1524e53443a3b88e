// vornic-cli's printing: the log pane's lines, the progress bar and the
// summary decided from a command's report.
#include "vornic/cli/cli_print.h"

#include <cstdio>
#include <iterator>
#include <mutex>
#include <string>

#include "vornic/log/language.h"

namespace vornic_cli {

namespace {

// The Chinese words of the summary, steps and kinds indexed as Step and Kind; a value
// without its Chinese word here keeps the English one.
constexpr const char* kStepsZh[] = {"转换", "状态查询", "擦除",       "编程",
                                    "校验", "复位",     "读保护使能", "解除读保护"};
constexpr const char* kKindsZh[] = {"成功", "传输失败", "目标拒绝", "输入错误", "系统错误"};
constexpr struct {
    Reason reason;
    const char* zh;
} kReasonsZh[] = {{Reason::None, "完成"},
                  {Reason::NoProbe, "无下载器"},
                  {Reason::Busy, "下载器忙"},
                  {Reason::NotSent, "请求未发出"},
                  {Reason::ShortWrite, "写入不完整"},
                  {Reason::NoReply, "无应答"},
                  {Reason::ProbeGone, "下载器已拔出"},
                  {Reason::Stalled, "端点停顿"},
                  {Reason::TimedOut, "超时"},
                  {Reason::ShortReply, "应答不完整"},
                  {Reason::WrongMarker, "标志错误"},
                  {Reason::NotAccepted, "结果不被接受"},
                  {Reason::Protected, "已读保护"},
                  {Reason::Differs, "内容不一致"},
                  {Reason::FileMissing, "文件不存在"},
                  {Reason::FileEmpty, "文件为空"},
                  {Reason::FileInvalid, "不是有效固件"},
                  {Reason::TooLarge, "映像过大"},
                  {Reason::NoImage, "无映像"},
                  {Reason::NoAddress, "无地址"},
                  {Reason::AddressMismatch, "链接地址不符"},
                  {Reason::ReadFailed, "文件读取失败"},
                  {Reason::BinNotWritten, ".BIN 未写入"},
                  {Reason::OutOfMemory, "内存不足"},
                  {Reason::NotRegularFile, "不是普通文件"},
                  {Reason::NoPermission, "没有权限"},
                  {Reason::NameTooLong, "文件名过长"}};

const char* ReasonWord(Reason reason) {
    if (g_useChinese.load() != 0)
        for (const auto& r : kReasonsZh)
            if (r.reason == reason) return r.zh;
    return ReasonText(reason);
}

template <std::size_t N>
const char* Word(const char* const (&zh)[N], std::size_t index, const char* en) {
    return g_useChinese.load() != 0 && index < N ? zh[index] : en;
}

}  // namespace

void PrintPaneText(std::string_view text, std::FILE* stream) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r') out.push_back(c);
    std::fwrite(out.data(), 1, out.size(), stream);
    std::fflush(stream);
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
    const bool zh = g_useChinese.load() != 0;
    const StepOutcome* failed = report.FirstFailure();
    if (failed == nullptr) {
        if (!download) return;
        // A dry run sent nothing: its own line has told what it would do.
        if (o.dryRun) return;
        // A rate only where there is one to tell: bytes sent over a measurable time.
        char rate[48] = "";
        if (report.bytesSent > 0 && report.seconds >= 0.001) {
            const double perSecond = report.bytesSent / report.seconds;
            if (perSecond >= 1024)
                std::snprintf(rate, sizeof rate, zh ? "（%.1f KB/s）" : " (%.1f KB/s)",
                              perSecond / 1024);
            else
                std::snprintf(rate, sizeof rate, zh ? "（%.0f B/s）" : " (%.0f B/s)", perSecond);
        }
        std::fprintf(
            stderr, zh ? "%s: 已发送 %u 字节，用时 %.3f 秒%s\n" : "%s: %u bytes sent in %.3f s%s\n",
            o.command.c_str(), report.bytesSent, report.seconds, rate);
        return;
    }
    const Kind kind = failed->outcome.kind();
    const Reason reason = failed->outcome.reason();
    const char* step = Word(kStepsZh, std::size_t(failed->step), StepName(failed->step));
    const char* kindText = Word(kKindsZh, std::size_t(kind), KindText(kind));
    const char* reasonText = ReasonWord(reason);
    std::string line = o.command + (zh ? ": 失败于" : ": failed at ") + step + (zh ? "（" : " (") +
                       kindText + (zh ? "：" : ": ") + reasonText +
                       (report.detail.empty() ? "" : (zh ? "，" : ", ") + report.detail) +
                       (zh ? "）" : ")");
    if (download) {
        char tail[96];
        if (report.imageSize > 0)
            std::snprintf(tail, sizeof tail,
                          zh ? "，已发送 %u/%u 字节，%.2f 秒" : " after %u of %u bytes, %.2f s",
                          report.bytesSent, report.imageSize, report.seconds);
        else
            std::snprintf(tail, sizeof tail, zh ? "，%.2f 秒" : ", %.2f s", report.seconds);
        line += tail;
        if (report.firstDifference) {
            std::snprintf(tail, sizeof tail,
                          zh ? "，首个不同处 0x%08X" : ", first difference at 0x%08X",
                          *report.firstDifference);
            line += tail;
        }
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace vornic_cli
