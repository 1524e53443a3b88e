// A headless dialog wired to the probe handlers, over a fresh simulated probe.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control_ids.h"
#include "headless_dialog.h"
#include "language.h"
#include "output_log.h"
#include "probelib.h"
#include "sim_backend.h"
#include "vornic/probe/device_commands.h"
#include "vornic/probe/probe_link.h"
#include "vornic/probe/probe_session.h"

class ProbeFixture : public ::testing::Test {
  protected:
    // Fresh sim with `faults`, then the start-up of the link.
    void Start(const char* faults, bool chinese = true) {
        g_useChinese = chinese ? 1 : 0;
        g_debugOutput = false;
        g_logCounter = 0;
        g_deviceHandle = -1;
        g_readProtected = 1;
        std::string error;
        ASSERT_EQ(1, probelib::SelectBackend("sim", faults, "", &error)) << error;
        sim = probelib::sim::ActiveSim();
        dialog = std::make_unique<controls::HeadlessDialog>();
        controls::SetMainDialog(dialog.get());
        dialog->SetHandler(IDC_OPEN_DEVICE, OnOpenCloseDevice);
        dialog->SetHandler(IDC_CHECK_STATUS, OnCheckStatus);
        dialog->SetHandler(IDC_DISABLE_PROTECT, OnDisableReadProtect);
        dialog->SetHandler(IDC_ENABLE_PROTECT, OnEnableReadProtect);
        dialog->SetText(IDC_OPEN_DEVICE, "打开设备");
        dialog->ShowBitmap(IDC_STATUS_BITMAP, IDB_BANNER_BLANK);
        StartUpProbeLink();
    }

    void TearDown() override {
        CH375SetDeviceNotify(0, nullptr, nullptr);
        probelib::WaitForNotifications();
        controls::SetMainDialog(nullptr);
        dialog.reset();
        g_useChinese = 0;
    }

    // The texts of the pane's lines, behind their "NNNN#HH:MM:SS:mmm>> " header.
    std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        std::string pane = dialog->GetText(IDC_OUTPUT);
        for (size_t pos = 0; pos < pane.size();) {
            size_t end = pane.find("\r\n", pos);
            if (end == std::string::npos) end = pane.size();
            std::string line = pane.substr(pos, end - pos);
            size_t marker = line.find(">> ");
            lines.push_back(marker == std::string::npos ? line : line.substr(marker + 3));
            pos = end + 2;
        }
        return lines;
    }
    std::vector<std::string> TakeLines() {
        auto lines = Lines();
        ClearOutput();
        return lines;
    }

    // Bytes of each write on pipe 1 since the last call.
    std::vector<std::vector<uint8_t>> TakeRequests() {
        std::vector<std::vector<uint8_t>> out;
        for (auto& t : sim->TakeTransfers())
            if (t.write && t.pipe == 1) out.push_back(t.bytes);
        return out;
    }

    std::string LinkText() { return dialog->GetText(IDC_LINK_STATUS); }
    std::string Caption() { return dialog->GetText(IDC_OPEN_DEVICE); }
    int Banner() { return dialog->ShownBitmap(IDC_STATUS_BITMAP); }

    std::shared_ptr<probelib::sim::SimBackend> sim;
    std::unique_ptr<controls::HeadlessDialog> dialog;
};

using LogLines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;
