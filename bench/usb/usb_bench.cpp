// The usb backend's host cost against an emulated probe, measured beside the
// simulated probe in the same run: one 64-byte data packet and its status
// (µs per packet round), and erasing then programming the whole 64 KiB flash.
// Run under umockdev-wrapper; without it only the sim figures are measured.
#include <benchmark/benchmark.h>
#include <libusb.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/controls/headless_dialog.h"
#include "platform/probelib/probe_types.h"
#include "platform/probelib/probelib.h"
#include "tests/platform/probelib/usb/usb_testbed.h"
#include "vornic/image/firmware_image.h"
#include "vornic/log/language.h"
#include "vornic/log/output_log.h"
#include "vornic/probe/probe_link.h"
#include "vornic/probe/programme_verify.h"

using namespace vornic_image;
using namespace vornic_probe;

namespace {

constexpr uint32_t kFlashBytes = 64 * 1024;

// One backend with its probe open: "sim", or "usb" over an emulated device.
class Probe {
  public:
    explicit Probe(const std::string& backend) {
        std::string error;
        if (backend == "usb") {
            if (!usbtest::UsbTestbed::InMockEnvironment()) {
                m_error = "run under umockdev-wrapper for the usb figures";
                return;
            }
            m_bed = std::make_unique<usbtest::UsbTestbed>();
            m_bed->Add(usbtest::ProbeSetup{}, false);
        }
        if (probelib::Configure({.backend = backend}, &error) != probelib::ConfigureProblem::None) {
            m_error = error;
            return;
        }
        if (CH375OpenDevice(0) == -1) m_error = "the probe did not open";
    }
    ~Probe() {
        CH375CloseDevice(0);
        probelib::Configure({.backend = "sim", .simFaults = "absent"}, nullptr);
    }
    const std::string& Error() const { return m_error; }

  private:
    std::unique_ptr<usbtest::UsbTestbed> m_bed;
    std::string m_error;
};

void Send(uint32_t pipe, std::vector<uint8_t> bytes) {
    uint32_t length = static_cast<uint32_t>(bytes.size());
    CH375WriteEndP(0, pipe, bytes.data(), &length);
}

uint8_t Answer(uint32_t pipe) {
    uint8_t reply[20] = {};
    uint32_t length = sizeof reply;
    CH375ReadEndP(0, pipe, reply, &length);
    return reply[3];
}

// Starts a verify run over the whole (erased) flash; each packet is answered.
void StartVerifyRun() {
    Send(1, {0x81, 0x02, 0x01, 0x01});  // erase-all
    Answer(1);
    Send(1, {0x81, 0x01, 0x04, 0x08, 0x00, 0x00, 0x00});
    Answer(1);
    Send(1, {0x81, 0x05, 0x04, 0x00, 0x01, 0x00, 0x00});
    Answer(1);
    Send(1, {0x81, 0x02, 0x01, 0x03});
    Answer(1);
}

void PacketRound(benchmark::State& state, const std::string& backend) {
    Probe probe(backend);
    if (!probe.Error().empty()) {
        state.SkipWithError(probe.Error().c_str());
        return;
    }
    const std::vector<uint8_t> erased(64, 0xFF);
    uint32_t sent = 0;
    StartVerifyRun();
    for (auto _ : state) {
        if (sent == kFlashBytes / 64) {
            state.PauseTiming();
            StartVerifyRun();
            sent = 0;
            state.ResumeTiming();
        }
        Send(2, erased);
        if (Answer(2) != 6 && sent + 1 != kFlashBytes / 64) {
            state.SkipWithError("a packet was not verified");
            break;
        }
        ++sent;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 64);
}

void WholeFlash(benchmark::State& state, const std::string& backend) {
    Probe probe(backend);
    if (!probe.Error().empty()) {
        state.SkipWithError(probe.Error().c_str());
        return;
    }
    controls::HeadlessDialog dialog;
    controls::SetMainDialog(&dialog);
    g_debugOutput = false;
    FixedInputs flashOnly;  // programme at 0x08000000, no verify
    g_firmwareImage.data = std::make_unique<uint8_t[]>(kImageCapacity);
    for (uint32_t i = 0; i < kFlashBytes; ++i)
        g_firmwareImage.data[i] = static_cast<uint8_t>(i * 13 + 1);
    g_firmwareImage.length = kFlashBytes;
    for (auto _ : state) {
        Send(1, {0x81, 0x02, 0x01, 0x01});
        Answer(1);
        if (!ProgrammeVerify(0, flashOnly).Ok()) {
            state.SkipWithError("the programme run failed");
            break;
        }
        state.PauseTiming();
        ClearOutput();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFlashBytes);
    g_firmwareImage.Clear();
    controls::SetMainDialog(nullptr);
    dialog.Shutdown();
}

// The same round with bare synchronous libusb calls on the emulated device:
// what the emulation itself costs, so that the usb backend's share shows.
void PacketRoundBareLibusb(benchmark::State& state) {
    if (!usbtest::UsbTestbed::InMockEnvironment()) {
        state.SkipWithError("run under umockdev-wrapper for the usb figures");
        return;
    }
    usbtest::UsbTestbed bed;
    bed.Add(usbtest::ProbeSetup{}, false);
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) {
        state.SkipWithError("libusb_init failed");
        return;
    }
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(context, 0x1a86, 0x8010);
    if (handle == nullptr || libusb_claim_interface(handle, 0) != 0) {
        state.SkipWithError("the emulated probe did not open");
        if (handle != nullptr) libusb_close(handle);
        libusb_exit(context);
        return;
    }
    auto exchange = [&](uint8_t out, std::vector<uint8_t> bytes, uint8_t in) {
        int moved = 0;
        libusb_bulk_transfer(handle, out, bytes.data(), static_cast<int>(bytes.size()), &moved,
                             1000);
        uint8_t reply[64] = {};
        libusb_bulk_transfer(handle, in, reply, sizeof reply, &moved, 1000);
        return reply[3];
    };
    auto start = [&] {
        exchange(0x01, {0x81, 0x02, 0x01, 0x01}, 0x81);
        exchange(0x01, {0x81, 0x01, 0x04, 0x08, 0x00, 0x00, 0x00}, 0x81);
        exchange(0x01, {0x81, 0x05, 0x04, 0x00, 0x01, 0x00, 0x00}, 0x81);
        exchange(0x01, {0x81, 0x02, 0x01, 0x03}, 0x81);
    };
    const std::vector<uint8_t> erased(64, 0xFF);
    uint32_t sent = 0;
    start();
    for (auto _ : state) {
        if (sent == kFlashBytes / 64) {
            state.PauseTiming();
            start();
            sent = 0;
            state.ResumeTiming();
        }
        exchange(0x02, erased, 0x82);
        ++sent;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 64);
    libusb_release_interface(handle, 0);
    libusb_close(handle);
    libusb_exit(context);
}

BENCHMARK_CAPTURE(PacketRound, sim, std::string("sim"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PacketRound, usb, std::string("usb"))->Unit(benchmark::kMicrosecond);
BENCHMARK(PacketRoundBareLibusb)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(WholeFlash, sim, std::string("sim"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(WholeFlash, usb, std::string("usb"))->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
