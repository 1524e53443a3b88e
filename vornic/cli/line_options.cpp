// Checks of the production-line options, which only flash and verify take.
#include "vornic/cli/line_options.h"

#include <charconv>

#include "vornic/log/language.h"

namespace vornic_cli {

namespace {

// A decimal number in [low, high].
bool ParseCount(std::string_view text, uint32_t low, uint32_t high, uint32_t* out) {
    uint32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low ||
        value > high)
        return false;
    *out = value;
    return true;
}

}  // namespace

void LineOptions::AddTo(vornic_options::Parser& parser) {
    parser.AddOptionalValue("--repeat", &repeat, &m_boards);
    parser.AddValue("--report", &report);
    parser.AddValue("--record-fd", &m_recordFd);
}

std::string LineOptions::Check(std::string_view command, std::string_view probe) {
    allProbes = probe == "all";
    if ((allProbes || repeat || !report.empty() || !m_recordFd.empty()) && command != "flash" &&
        command != "verify")
        return Tr("--probe=all、--repeat 和 --report 只用于 flash 和 verify",
                  "--probe=all, --repeat and --report belong to flash and verify");
    if (allProbes && repeat)
        return Tr("--repeat 只使用一个下载器，不能与 --probe=all 同时使用",
                  "--repeat runs one probe; it does not go with --probe=all");
    if (repeat && !m_boards.empty() && !ParseCount(m_boards, 1, UINT32_MAX, &boards))
        return Tr("--repeat 的值是板子的数目，至少为 1",
                  "--repeat takes a number of boards, 1 or more");
    uint32_t fd = 0;
    if (!m_recordFd.empty()) {
        if (!ParseCount(m_recordFd, 3, 1023, &fd))
            return Tr("--record-fd 的值是 3 起的文件描述符",
                      "--record-fd takes a descriptor from 3");
        if (!report.empty())
            return Tr("--record-fd 与 --report 不能同时使用",
                      "--record-fd and --report do not go together");
        recordFd = static_cast<int>(fd);
    }
    return {};
}

}  // namespace vornic_cli
