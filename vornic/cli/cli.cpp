// vornic-cli: sets up the headless dialog as the window's initialisation
// does, runs one job or device command, and prints the log pane's lines.
#include "cli.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "control_ids.h"
#include "controls.h"
#include "device_commands.h"
#include "download_job.h"
#include "headless_dialog.h"
#include "language.h"
#include "output_log.h"
#include "probe_link.h"
#include "probe_session.h"
#include "probelib.h"
#include "vornic/image/firmware_image.h"
#include "vornic/image/hex_to_bin.h"

namespace {

constexpr const char* kUsage =
    "usage: vornic-cli [--simulate[=FAULTS]] [--sim-state=FILE] [--usb-id=VID:PID]...\n"
    "                  [--probe=SERIAL|BUS-PORT] [--lang=zh|en] [--quiet] COMMAND\n"
    "  flash FILE [--address=0x08000000|0x20000000] [--no-erase] [--no-programme]\n"
    "             [--no-verify] [--no-reset] [--if-changed]\n"
    "  verify FILE [--address=0x08000000|0x20000000]\n"
    "  status | protect | unprotect | reset\n"
    "  convert FILE\n"
    "  list                 the attached probes: index, bus-port, serial, USB id\n"
    "  --help\n"
    "Without --simulate the probe is a real one on USB (id 1a86:8010, and any --usb-id);\n"
    "--probe picks one by serial or bus-port when several are attached.\n";

struct Options {
    bool simulate = false;
    std::string faults;
    std::string simState;
    std::vector<probelib::UsbId> usbIds;
    std::string probe;
    bool chinese = true;
    bool quiet = false;
    std::string command;
    std::string file;
    bool haveFile = false;
    int addressIndex = 0;
    bool addressGiven = false;
    bool erase = true, programme = true, verify = true, reset = true;
    bool help = false;
    bool ifChanged = false;
};

int Usage(const std::string& message) {
    std::fprintf(stderr, "vornic-cli: %s\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Returns an empty string on success, else the usage complaint.
std::string Parse(std::span<const std::string_view> args, Options* out) {
    Options& o = *out;
    std::vector<std::string_view> positional;
    bool flashOptions = false;
    for (std::string_view a : args) {
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--simulate") {
            o.simulate = true;
        } else if (StartsWith(a, "--simulate=")) {
            o.simulate = true;
            o.faults = std::string(a.substr(11));
        } else if (StartsWith(a, "--sim-state=")) {
            o.simState = std::string(a.substr(12));
            if (o.simState.empty()) return "--sim-state needs a file";
        } else if (StartsWith(a, "--usb-id=")) {
            probelib::UsbId id;
            if (!probelib::ParseUsbId(a.substr(9), &id))
                return "--usb-id takes a hex id pair: --usb-id=VID:PID";
            o.usbIds.push_back(id);
        } else if (StartsWith(a, "--probe=")) {
            o.probe = std::string(a.substr(8));
            if (o.probe.empty()) return "--probe takes a serial number or bus-port";
        } else if (a == "--lang=zh") {
            o.chinese = true;
        } else if (a == "--lang=en") {
            o.chinese = false;
        } else if (StartsWith(a, "--lang")) {
            return "--lang takes zh or en";
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (StartsWith(a, "--address=")) {
            std::string_view v = a.substr(10);
            if (v == "0x08000000")
                o.addressIndex = 0;
            else if (v == "0x20000000")
                o.addressIndex = 1;
            else
                return "--address takes 0x08000000 or 0x20000000";
            o.addressGiven = true;
        } else if (a == "--if-changed") {
            o.ifChanged = true, flashOptions = true;
        } else if (a == "--no-erase") {
            o.erase = false, flashOptions = true;
        } else if (a == "--no-programme") {
            o.programme = false, flashOptions = true;
        } else if (a == "--no-verify") {
            o.verify = false, flashOptions = true;
        } else if (a == "--no-reset") {
            o.reset = false, flashOptions = true;
        } else if (StartsWith(a, "-") && a != "-") {
            return "unknown option " + std::string(a);
        } else {
            positional.push_back(a);
        }
    }
    if (o.help) return {};
    if (positional.empty()) return "no command given";
    o.command = std::string(positional[0]);
    const bool takesFile = o.command == "flash" || o.command == "verify" || o.command == "convert";
    const bool plain = o.command == "status" || o.command == "protect" ||
                       o.command == "unprotect" || o.command == "reset" || o.command == "list";
    if (!takesFile && !plain) return "unknown command " + o.command;
    if (takesFile) {
        if (positional.size() != 2) return o.command + " takes one FILE";
        o.file = std::string(positional[1]);
        o.haveFile = true;
    } else if (positional.size() != 1) {
        return o.command + " takes no argument";
    }
    if (flashOptions && o.command != "flash") return "--no-* options belong to flash";
    if (o.addressGiven && o.command != "flash" && o.command != "verify")
        return "--address belongs to flash and verify";
    return {};
}

// Collects the pane's lines as they are appended and prints each one.
class PanePrinter {
  public:
    void Append(std::string_view text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string out;
        out.reserve(text.size());
        for (char c : text)
            if (c != '\r') out.push_back(c);
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
        m_all += out;
    }
    bool Saw(const char* text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_all.find(text) != std::string::npos;
    }

  private:
    std::mutex m_mutex;
    std::string m_all;
};

class ProgressBar {
  public:
    explicit ProgressBar(bool shown) : m_shown(shown) {}
    void Update(uint32_t sent, uint32_t total) {
        m_sent = sent;
        if (!m_shown) return;
        const int width = 40;
        int filled = total == 0 ? width : static_cast<int>(uint64_t{sent} * width / total);
        char bar[width + 1];
        for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '.';
        bar[width] = '\0';
        std::fprintf(stderr, "\r[%s] %u/%u", bar, sent, total);
        if (sent == total) std::fputc('\n', stderr);
        std::fflush(stderr);
    }
    uint32_t Sent() const { return m_sent; }

  private:
    bool m_shown;
    uint32_t m_sent = 0;
};

// The four step boxes: the verify box alone for a verify, else as asked.
void SetSteps(controls::HeadlessDialog& dialog, const Options& o, bool verifyOnly) {
    dialog.SetChecked(IDC_ERASE_ALL, !verifyOnly && o.erase);
    dialog.SetChecked(IDC_PROGRAMME, !verifyOnly && o.programme);
    dialog.SetChecked(IDC_VERIFY, verifyOnly || o.verify);
    dialog.SetChecked(IDC_RESET, !verifyOnly && o.reset);
}

void InitialiseDialog(controls::HeadlessDialog& dialog, const Options& o) {
    dialog.SetHandler(IDC_OPEN_DEVICE, OnOpenCloseDevice);
    dialog.SetHandler(IDC_CHECK_STATUS, OnCheckStatus);
    dialog.SetHandler(IDC_DISABLE_PROTECT, OnDisableReadProtect);
    dialog.SetHandler(IDC_ENABLE_PROTECT, OnEnableReadProtect);
    dialog.SetHandler(IDC_EXECUTE, OnExecute);
    dialog.SetItems(IDC_ADDRESS, {"0x08000000", "0x20000000"});
    dialog.SetSelection(IDC_ADDRESS, o.addressIndex);
    dialog.SetText(IDC_OPEN_DEVICE, Tr("打开设备", "Open Device"));
    dialog.ShowBitmap(IDC_STATUS_BITMAP, IDB_BANNER_BLANK);
    SetSteps(dialog, o, o.command == "verify");
}

// The soft reset as a command of its own, under the probe session.
void ResetCommand() {
    ProbeSession session;
    if (!session.Held()) {
        LogDeviceBusy();
        return;
    }
    if (g_deviceHandle.load() == -1) {
        LogMessage("%s", Tr("未检测到硬件设备!", "No device connection detected!"));
        return;
    }
    SoftResetDevice();
}

probelib::UsbOptions UsbOptionsOf(const Options& o) {
    probelib::UsbOptions usb;
    usb.extraIds = o.usbIds;
    usb.probe = o.probe;
    return usb;
}

// A name from the device as one printable word.
std::string Printable(std::string_view text) {
    if (text.empty()) return "-";
    std::string out;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        out.push_back(u > 0x20 && u < 0x7F ? c : '?');
    }
    return out;
}

int ListCommand(const Options& o) {
    std::vector<probelib::ProbeInfo> probes;
    std::string error;
    if (!probelib::ListProbes(UsbOptionsOf(o), &probes, &error)) {
        std::fprintf(stderr, "vornic-cli: %s\n", error.c_str());
        return kExitFailed;
    }
    if (probes.empty()) {
        std::fprintf(stderr, "vornic-cli: %s\n",
                     probelib::OpenProblemText(probelib::OpenProblem::NotFound, {}).c_str());
        return kExitFailed;
    }
    std::printf("%-5s  %-10s  %-20s  %s\n", "INDEX", "BUS-PORT", "SERIAL", "USB-ID");
    bool wrongMode = false;
    for (size_t i = 0; i < probes.size(); ++i) {
        const probelib::ProbeInfo& p = probes[i];
        std::printf("%-5zu  %-10s  %-20s  %s%s\n", i, Printable(p.busPort).c_str(),
                    Printable(p.serial).c_str(), probelib::FormatUsbId(p.id).c_str(),
                    p.wrongMode ? "  wrong mode (ARM)" : "");
        wrongMode = wrongMode || p.wrongMode;
    }
    if (wrongMode)
        std::printf("note: %s\n",
                    probelib::OpenProblemText(probelib::OpenProblem::WrongMode, {}).c_str());
    return kExitOk;
}

int RunCommand(const Options& o, controls::HeadlessDialog& dialog, PanePrinter& pane) {
    if (o.command == "convert") {
        std::string outputName;
        return ConvertHexToBin(o.file, outputName).Ok() ? kExitOk : kExitFailed;
    }
    StartUpProbeLink();
    if (g_deviceHandle.load() == -1 && !o.simulate) {
        probelib::OpenProblem problem = probelib::LastOpenProblem();
        if (problem != probelib::OpenProblem::None)
            std::fprintf(stderr, "vornic-cli: %s\n",
                         probelib::OpenProblemText(problem, probelib::ShippedRuleFile()).c_str());
    }
    if (o.command == "flash" || o.command == "verify") {
        ProgressBar bar(!o.quiet && isatty(2) != 0);
        bool resetFailed = false;
        // (0, 0) marks the job's end; the count of the last run is what is reported.
        SetDownloadProgress([&bar](uint32_t sent, uint32_t total) {
            if (total != 0) bar.Update(sent, total);
        });
        const auto start = std::chrono::steady_clock::now();
        bool done = false;
        if (o.ifChanged) {
            // A verify first: when the target already holds the image, only
            // the reset (if asked) remains to be done.
            SetSteps(dialog, o, true);
            dialog.SetText(IDC_FILE_PATH, o.file);
            dialog.Click(IDC_EXECUTE);
            WaitForDownloadJob();
            SetSteps(dialog, o, false);
            if (LastDownloadJobOutcome() == 1) {
                done = true;
                std::fputs(
                    "vornic-cli: the target already holds the image; erase and programme "
                    "skipped\n",
                    stdout);
                std::fflush(stdout);
                if (o.reset) {
                    dialog.Invoke(ResetCommand);
                    if (!pane.Saw(Tr("软复位设置成功!", "Succeed to set soft-reset!")))
                        resetFailed = true;
                }
            }
        }
        if (!done) {
            dialog.SetText(IDC_FILE_PATH, o.file);
            dialog.Click(IDC_EXECUTE);
            WaitForDownloadJob();
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        SetDownloadProgress({});
        if (!o.quiet) {
            const double rate = seconds > 0 ? bar.Sent() / 1024.0 / seconds : 0.0;
            std::fprintf(stderr, "%s: %u bytes sent in %.3f s (%.1f KB/s)\n", o.command.c_str(),
                         bar.Sent(), seconds, rate);
        }
        return LastDownloadJobOutcome() == 1 && !resetFailed ? kExitOk : kExitFailed;
    }
    if (o.command == "status") {
        dialog.Click(IDC_CHECK_STATUS);
        return pane.Saw(Tr("【读保护已使能】", "【Read-Protect is enabled】")) ||
                       pane.Saw(Tr("【读保护已解除】", "【Read-Protect is disable】"))
                   ? kExitOk
                   : kExitFailed;
    }
    if (o.command == "protect") {
        dialog.Click(IDC_ENABLE_PROTECT);
        return pane.Saw(Tr("使能读保护成功!", "Succeed to enable read-protect!")) ? kExitOk
                                                                                  : kExitFailed;
    }
    if (o.command == "unprotect") {
        dialog.Click(IDC_DISABLE_PROTECT);
        return pane.Saw(Tr("解除读保护成功!", "Succeed to disable read-protect!")) ? kExitOk
                                                                                   : kExitFailed;
    }
    dialog.Invoke(ResetCommand);
    return pane.Saw(Tr("软复位设置成功!", "Succeed to set soft-reset!")) ? kExitOk : kExitFailed;
}

}  // namespace

int RunCli(std::span<const std::string_view> args) {
    Options o;
    std::string complaint = Parse(args, &o);
    if (!complaint.empty()) return Usage(complaint);
    if (o.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    g_useChinese = o.chinese ? 1 : 0;
    g_debugOutput = false;
    if (o.command == "list") return ListCommand(o);
    if (o.command != "convert") {
        std::string error;
        if (!o.simulate) {
            probelib::SetUsbOptions(UsbOptionsOf(o));
            if (!probelib::SelectBackend("usb", "", "", &error)) {
                std::fprintf(stderr, "vornic-cli: %s\n", error.c_str());
                return kExitFailed;
            }
        } else if (!probelib::SelectBackend("sim", o.faults, o.simState, &error)) {
            std::fprintf(stderr, "vornic-cli: %s\n", error.c_str());
            return kExitUsage;
        }
    }

    PanePrinter pane;
    int status = kExitFailed;
    {
        controls::HeadlessDialog dialog;
        dialog.SetAppendObserver([&pane](int id, std::string_view text) {
            if (id == IDC_OUTPUT) pane.Append(text);
        });
        InitialiseDialog(dialog, o);
        controls::SetMainDialog(&dialog);
        status = RunCommand(o, dialog, pane);
        dialog.Shutdown();
        if (o.command != "convert") probelib::Shutdown();
        controls::SetMainDialog(nullptr);
    }
    return status;
}
