// What the user is told when the probe cannot be opened.
#include "platform/probelib/usb/open_problem.h"

#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>

namespace probelib {

namespace {
// The path as a shell word, for a command the user copies by hand.
std::string ShellQuoted(std::string_view path) {
    std::string quoted = "'";
    for (char c : path) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}
std::mutex g_layoutMutex;
std::string g_layoutFound;
}  // namespace

void SetLayoutFound(std::string endpoints) {
    std::lock_guard lock(g_layoutMutex);
    g_layoutFound = std::move(endpoints);
}

std::string OpenProblemText(OpenProblem problem, std::string_view ruleFile, bool chinese) {
    // The text in the language the front end shows, Chinese or English.
    const auto tr = [chinese](const char* zh, const char* en) { return chinese ? zh : en; };
    switch (problem) {
        case OpenProblem::None:
            return {};
        case OpenProblem::NotFound:
            return tr("未连接下载器（已查找 USB ID 1a86:8010 及 --usb-id 给出的 ID）",
                      "no probe is attached (looked for USB id 1a86:8010 and any --usb-id)");
        case OpenProblem::NoMatch:
            return tr(
                "已连接的下载器中没有 --probe 指定的那一个；`vornic-cli list` "
                "可列出已连接的下载器",
                "no attached probe is the one --probe names; `vornic-cli list` shows the "
                "attached probes");
        case OpenProblem::WrongMode:
            return tr(
                "下载器处于 ARM 模式（USB ID 1a86:8011 或 1a86:8012），此模式下无法下载；"
                "请把它切换到 RISC-V 模式（1a86:8010）：拔下下载器，按住模式按钮重新插入，"
                "再用 `vornic-cli list` 确认",
                "the probe is in its ARM mode (USB id 1a86:8011 or 1a86:8012) and cannot "
                "download in it; switch it to its RISC-V mode (1a86:8010): unplug it, hold "
                "its mode button while plugging it back in, then check with `vornic-cli "
                "list`");
        case OpenProblem::Permission: {
            // The rule gives the probe to the user at the seat (uaccess) and to the group
            // plugdev, which SSH sessions and services need.
            const std::string group =
                tr("；该规则把下载器交给在本机登录的用户和 plugdev 组：通过 SSH "
                   "会话或服务使用时，请执行 sudo usermod -aG plugdev USER 后重新登录",
                   "; the rule gives the probe to the user at the local seat and to the group "
                   "plugdev: for an SSH session or a service, sudo usermod -aG plugdev USER and "
                   "log in again");
            // Where udev already reads it, a copy in /etc would hide the package's upgrades.
            if (ruleFile.starts_with("/usr/lib/udev/rules.d/") ||
                ruleFile.starts_with("/lib/udev/rules.d/"))
                return tr("没有打开下载器 USB 设备的权限；udev 规则 ",
                          "no permission to open the probe's USB device; the udev rule ") +
                       ShellQuoted(ruleFile) +
                       tr(" 已安装：请重新插入下载器（不要把规则复制到 "
                          "/etc/udev/rules.d，那样会挡住它以后的升级）",
                          " is installed: plug the probe in again (do not copy the rule into "
                          "/etc/udev/rules.d, which would hide its upgrades)") +
                       group;
            std::string rule =
                ruleFile.empty() ? std::string("60-vornic-probe.rules") : ShellQuoted(ruleFile);
            return tr("没有打开下载器 USB 设备的权限；请安装 udev 规则后重新插入下载器："
                      "sudo install -m 644 ",
                      "no permission to open the probe's USB device; install the udev rule and "
                      "plug the probe in again: sudo install -m 644 ") +
                   rule +
                   " /etc/udev/rules.d/ && sudo udevadm control --reload-rules && sudo "
                   "udevadm trigger" +
                   group;
        }
        case OpenProblem::Busy:
            return tr("下载器正被其他程序占用；请关闭该程序后重试",
                      "the probe is in use by another program; close that program and try again");
        case OpenProblem::Layout: {
            std::lock_guard lock(g_layoutMutex);
            return tr("下载器的接口 0 缺少下载所用的批量端点 0x01、0x81、0x02 和 0x82；它有的是 ",
                      "the probe's interface 0 lacks the bulk endpoints 0x01, 0x81, 0x02 and 0x82 "
                      "that downloads use; it has ") +
                   (g_layoutFound.empty() ? std::string(tr("无", "none")) : g_layoutFound) +
                   tr("（请报告此端点布局及下载器的固件版本）",
                      " (please report this layout with the probe's firmware version)");
        }
        case OpenProblem::Failed:
            break;
    }
    return tr("无法打开下载器（USB 错误，请查看内核日志）",
              "the probe could not be opened (USB error; see the kernel log)");
}

std::string ShippedRuleFile() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    const std::filesystem::path dir = exe.parent_path();
    const std::filesystem::path places[] = {
        dir / "../lib/udev/rules.d/60-vornic-probe.rules",  // installed: PREFIX/bin
        dir / "../../packaging/60-vornic-probe.rules",      // build tree: vornic/cli, vornic/ui
    };
    for (const auto& place : places) {
        if (std::filesystem::is_regular_file(place, ec))
            return std::filesystem::weakly_canonical(place, ec).string();
    }
    return {};
}

}  // namespace probelib
