// The programme/verify engine: set-up exchanges on pipe 1, then the image in
// 64-byte packets on pipe 2 with status reads at fixed points.
#include "vornic/probe/programme_verify.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/probelib/probelib.h"
#include "vornic/image/firmware_image.h"
#include "vornic/image/start_address.h"
#include "vornic/probe/dialog_access.h"
#include "vornic/probe/probe_link.h"

namespace vornic_probe {

using vornic_image::CheckStartAddress;
using vornic_image::g_firmwareImage;
using vornic_image::kImageCapacity;

using probe_detail::LogText;

namespace {

// A status frame, whether the read brought anything at all, and why not.
struct StatusRead {
    DataStatus frame;
    bool empty = true;
    Reason missing = Reason::None;
};

StatusRead ReadDataStatus() {
    StatusRead status;
    uint32_t length = kStatusReadLength;
    const int read = CH375ReadEndP(kProbeIndex, kDataPipe, status.frame.bytes.data(), &length);
    status.empty = read == 0 || length == 0;
    if (status.empty) status.missing = TransferFailure(Reason::NoReply);
    return status;
}

// What a status that did not say "done" means: no answer at all, the target
// holding other content (a verify run's own failure status), or a status the
// run does not accept: a refused run says nothing about the content.
Outcome StatusFailure(const StatusRead& status, bool verify) {
    if (status.empty) return status.missing;
    const bool differs = verify && status.frame.Marker() == kDataStatusMarker &&
                         status.frame.Status() == kStatusVerifyFailed;
    return differs ? Reason::Differs : Reason::NotAccepted;
}

// Set while a verify run only asks whether the target differs (flash
// --if-changed): other content is then an answer, not a failure to log.
std::atomic<bool> g_verifyIsCheck{false};

// Whether a failed run's outcome is to be logged.
bool Logged(Outcome outcome) { return !(outcome == Reason::Differs && g_verifyIsCheck.load()); }

void LogRunFailure(bool verify) {
    LogMessage("%s",
               verify ? Tr("校验失败!", "Fail to verify!") : Tr("编程失败!", "Fail to programme!"));
}

}  // namespace

void SetVerifyIsCheck(bool check) { g_verifyIsCheck = check; }

Outcome PreflightImage(int addressIndex) {
    if (!g_firmwareImage.HasImage()) {
        LogText("请选择有效的数据文件!", "The data file is invalid!");
        return Reason::NoImage;
    }
    if (addressIndex < 0) {
        LogText("请先选择编程地址!", "Please to choose programme address!");
        return Reason::NoAddress;
    }
    return CheckStartAddress(g_firmwareImage, StartAddress(addressIndex));
}

Outcome ProgrammeVerify(uint32_t verifyOnly, JobInputs& inputs, const ProgressCallback& progress,
                        std::optional<uint32_t>* firstDifference) {
    const bool verify = verifyOnly != 0;
    const int addressIndex = inputs.AddressIndex();
    const uint32_t length = std::min(g_firmwareImage.length, kImageCapacity);
    // The job checked this before it started; the address box may have
    // changed since.
    if (Outcome ready = PreflightImage(addressIndex); !ready.Ok()) return ready;
    const uint32_t address = StartAddress(addressIndex);

    ProbeReply reply;
    Outcome exchanged =
        ExchangeCommandWord(ProbeCommand::SetAddress, address, kReplyReadLength, &reply);
    if (reply.Answers(ProbeCommand::SetAddress) && reply.Result() == kResultAccepted) {
        LogMessage("%s", verify ? Tr("校验地址已确认!", "Verify address is affirmed!")
                                : Tr("编程地址已确认!", "Programme address is affirmed!"));
    } else {
        LogMessage("%s", verify ? Tr("无效的校验地址!", "Invalid verify address!")
                                : Tr("无效的编程地址!", "Invalid programme address!"));
        return Refusal(exchanged);
    }

    exchanged = ExchangeCommandWord(ProbeCommand::SetLength, length, kReplyReadLength, &reply);
    if (reply.Answers(ProbeCommand::SetLength) && reply.Result() == kResultAccepted) {
        LogMessage("%s", verify ? Tr("校验长度已确认!", "Verify length is affirmed!")
                                : Tr("编程长度已确认!", "Programme length is affirmed!"));
    } else {
        LogMessage("%s", verify ? Tr("无效的校验长度!", "Invalid verify length!")
                                : Tr("无效的编程长度!", "Invalid programme length!"));
        return Refusal(exchanged);
    }

    FlashOperation operation = FlashOperation::Verify;
    if (!verify)
        operation =
            inputs.Verify() ? FlashOperation::ProgrammeAndVerify : FlashOperation::Programme;
    exchanged = ExchangeCommand(ProbeCommand::SelectOperation, static_cast<uint8_t>(operation),
                                kReplyReadLength, &reply);
    if (!reply.Answers(ProbeCommand::SelectOperation)) {
        LogText("编程|校验执行失败!", "Fail to programme|verify!");
        return Refusal(exchanged);
    }
    switch (reply.Result()) {
        case kResultProgrammeStarted:
            LogText("开始进行编程...", "Begin to programme...");
            break;
        case kResultVerifyStarted:
            LogText("开始进行校验...", "Begin to verify...");
            break;
        case kResultAwaitProgramme:
            // This reply's echo is not examined.
            exchanged = ExchangeCommand(ProbeCommand::SelectOperation,
                                        static_cast<uint8_t>(FlashOperation::Programme),
                                        kReplyReadLength, &reply);
            if (reply.Marker() == kReplyMarker && reply.Result() == kResultProgrammeStarted) {
                LogText("开始进行编程、校验...", "Begin to programme and verify...");
            } else {
                LogText("编程、校验执行失败#1!", "Fail to programme|verify#1!");
                return Refusal(exchanged);
            }
            break;
        default:
            LogText("编程|校验执行失败#2!", "Fail to programme|verify#2!");
            return Refusal(exchanged);
    }
    if (!g_firmwareImage.HasImage()) {
        LogText("请选择有效的数据文件!", "The data file is invalid!");
        return Reason::NoImage;
    }

    const uint8_t* data = g_firmwareImage.data.get();
    uint32_t offset = 0;
    uint32_t packetCount = 0;
    std::array<uint8_t, kDataPacketSize> packet{};
    for (;;) {
        const uint32_t n = std::min(length - offset, kDataPacketSize);
        packet.fill(0);
        if (n > 0) std::memcpy(packet.data(), data + offset, n);
        uint32_t sent = n;
        const int wrote = CH375WriteEndP(kProbeIndex, kDataPipe, packet.data(), &sent);
        // A short write would leave the rest of the packet unsent and the next
        // offset past the data actually delivered: the run cannot go on.
        if (sent != n) {
            LogRunFailure(verify);
            return wrote == 0 && sent == 0 ? TransferFailure(Reason::NotSent) : Reason::ShortWrite;
        }
        ++packetCount;
        if (progress) progress(offset + sent, length);
        const bool last = offset + sent == length;

        if (!verify && packetCount == kPacketsPerPageStatus && !last) {
            // A missing or unmarked page status is passed over.
            const StatusRead status = ReadDataStatus();
            if (status.frame.Marker() == kDataStatusMarker &&
                status.frame.Status() != kStatusPageDone) {
                LogMessage(Tr("%d字节时页编程失败!", "Fail to page-programme at #%d byte!"),
                           static_cast<int>(offset));
                return Reason::NotAccepted;
            }
            packetCount = 0;
        }
        if (verify && !last) {
            const StatusRead status = ReadDataStatus();
            if (status.frame.Status() != kStatusPacketVerified) {
                const Outcome failed = StatusFailure(status, verify);
                if (Logged(failed))
                    LogMessage(Tr("校验至%d字节时失败!", "Fail to verify at #%d byte!"),
                               static_cast<int>(offset));
                if (failed == Reason::Differs && firstDifference)
                    *firstDifference = address + offset;
                return failed;
            }
        }
        if (!last) {
            offset += kDataPacketSize;
            continue;
        }

        packetCount = 0;
        const StatusRead status = ReadDataStatus();
        const uint8_t result = status.frame.Status();
        if (result != kStatusProgrammeDone && result != kStatusVerifyDone) {
            const Outcome failed = StatusFailure(status, verify);
            if (Logged(failed)) LogRunFailure(verify);
            // An empty closing packet stands for the last one that held data.
            const uint32_t packet = offset == length && offset > 0
                                        ? (offset - 1) / kDataPacketSize * kDataPacketSize
                                        : offset;
            if (failed == Reason::Differs && firstDifference) *firstDifference = address + packet;
            return failed;
        }
        if (status.frame.Marker() == kDataStatusMarker) {
            if (result == kStatusProgrammeDone) {
                LogText("编程成功!", "Succeed to programme!");
                if (inputs.Verify()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(500));
                    LogText("校验成功!", "Succeed to verify!");
                }
            } else {
                LogText("校验成功!", "Succeed to verify!");
            }
            return {};
        }
        // Not finished yet: the probe expects an empty packet, which is only
        // possible when the data ended on a packet boundary. Otherwise the
        // next packet would reach beyond the image.
        if (length % kDataPacketSize != 0) {
            LogRunFailure(verify);
            return Reason::WrongMarker;
        }
        offset = length;
    }
}

}  // namespace vornic_probe
