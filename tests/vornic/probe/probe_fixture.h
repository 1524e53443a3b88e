// A headless dialog wired to the probe handlers, over a fresh simulated probe.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/controls/control_ids.h"
#include "platform/controls/headless_dialog.h"
#include "platform/probelib/lifetime.h"
#include "platform/probelib/probelib.h"
#include "platform/probelib/sim/sim_backend.h"
#include "vornic/log/language.h"
#include "vornic/log/output_log.h"
#include "vornic/probe/device_commands.h"
#include "vornic/probe/probe_link.h"
#include "vornic/probe/probe_session.h"

using Bytes = std::vector<uint8_t>;

class ProbeFixture : public ::testing::Test {
  protected:
    // Fresh sim with `faults`, then the start-up of the link.
    void Start(const char* faults, bool chinese = true) {
        g_useChinese = chinese ? 1 : 0;
        g_debugOutput = false;
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
    }

    // The texts of the pane's lines, behind their "NNNN#HH:MM:SS:mmm>> " header,
    // each ended by "\n".
    std::string Log() {
        std::string texts;
        std::istringstream pane(dialog->GetText(IDC_OUTPUT));
        for (std::string line; std::getline(pane, line);) {
            if (line.ends_with('\r')) line.pop_back();
            texts += line.substr(line.find(">> ") + 3) + "\n";
        }
        return texts;
    }

    std::string LinkText() { return dialog->GetText(IDC_LINK_STATUS); }
    std::string Caption() { return dialog->GetText(IDC_OPEN_DEVICE); }
    int Banner() { return dialog->ShownBitmap(IDC_STATUS_BITMAP); }

    std::shared_ptr<probelib::sim::SimBackend> sim;
    std::unique_ptr<controls::HeadlessDialog> dialog;
};
