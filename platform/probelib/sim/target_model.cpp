// The probe's command and data protocol and the target's memories.
#include "platform/probelib/sim/target_model.h"

#include <algorithm>

namespace probelib::sim {
namespace {
// The marker of a garbled frame (the bad-marker fault).
constexpr uint8_t kWrongMarker = 0x7E;

constexpr uint8_t Code(ProbeCommand command) { return static_cast<uint8_t>(command); }
constexpr uint32_t Code(FlashOperation operation) { return static_cast<uint32_t>(operation); }
constexpr uint32_t Code(ReadProtectAction action) { return static_cast<uint32_t>(action); }
}  // namespace

TargetModel::TargetModel(Faults faults)
    : m_faults(std::move(faults)), m_flash(kFlashSize, kErasedByte), m_sram(kSramSize, 0) {
    m_protected = m_faults.startProtected;
}

void TargetModel::LoadFlash(std::span<const uint8_t> content) {
    std::fill(m_flash.begin(), m_flash.end(), kErasedByte);
    std::copy_n(content.begin(), std::min<size_t>(content.size(), m_flash.size()), m_flash.begin());
}

bool TargetModel::TakeChanged() {
    bool changed = m_changed;
    m_changed = false;
    return changed;
}

void TargetModel::ResetLink() {
    m_commandReply.reset();
    m_dataStatus.clear();
    m_phase = Phase::Idle;
    m_awaitSecondSelect = false;
    m_unplugRequested = false;
}

void TargetModel::EraseFlash() {
    std::fill(m_flash.begin(), m_flash.end(), kErasedByte);
    m_changed = true;
}

std::span<uint8_t> TargetModel::Memory(uint32_t address) {
    if (address == kFlashBase) return m_flash;
    if (address == kSramBase) return m_sram;
    return {};
}

uint32_t TargetModel::Write(uint32_t pipe, std::span<const uint8_t> bytes) {
    if (pipe == kCommandPipe) {
        HandleRequest(bytes);
        return static_cast<uint32_t>(bytes.size());
    }
    uint32_t taken = static_cast<uint32_t>(bytes.size());
    if (pipe == kDataPipe) HandleData(bytes, &taken);
    return taken;
}

uint32_t TargetModel::Read(uint32_t pipe, std::span<uint8_t> buffer) {
    std::vector<uint8_t> frame;
    if (pipe == kCommandPipe && m_commandReply) {
        frame = std::move(*m_commandReply);
        m_commandReply.reset();
    } else if (pipe == kDataPipe && !m_dataStatus.empty()) {
        frame = std::move(m_dataStatus.front());
        m_dataStatus.pop_front();
    } else {
        return 0;
    }
    size_t n = std::min(frame.size(), buffer.size());
    std::copy_n(frame.begin(), n, buffer.begin());
    return static_cast<uint32_t>(n);
}

uint8_t TargetModel::Echo(uint8_t command) const {
    return Hit(m_faults.badEcho) ? static_cast<uint8_t>(command ^ 0x80) : command;
}

bool TargetModel::Stalls(uint32_t pipe) const {
    return pipe == kDataPipe ? m_faults.stall.count(kDataStatusFault) != 0 : Hit(m_faults.stall);
}

bool TargetModel::Hit(const std::set<int>& faults) const {
    return faults.count(m_requestCommand) != 0 ||
           (m_requestPayload >= 0 &&
            faults.count(PayloadFaultKey(m_requestCommand, m_requestPayload)) != 0);
}

void TargetModel::Reply(uint8_t command, uint8_t result) {
    if (Hit(m_faults.noReply)) {
        m_commandReply.reset();
        return;
    }
    if (Hit(m_faults.refuse)) result = kResultRefused;
    uint8_t marker = Hit(m_faults.badMarker) ? kWrongMarker : kReplyMarker;
    m_commandReply = std::vector<uint8_t>{marker, Echo(command), 0x01, result};
}

void TargetModel::Status(uint8_t result) {
    if (m_faults.noReply.count(kDataStatusFault)) return;
    if (m_faults.refuse.count(kDataStatusFault)) result = kResultRefused;
    uint8_t marker = m_faults.badMarker.count(kDataStatusFault) ? kWrongMarker : kDataStatusMarker;
    m_dataStatus.push_back({marker, 0x00, 0x00, result});
}

void TargetModel::HandleRequest(std::span<const uint8_t> frame) {
    // A frame that is not a well-formed request is ignored, as the probe does.
    m_commandReply.reset();
    if (frame.size() < 4 || frame[0] != kRequestMarker) return;
    uint8_t command = frame[1];
    uint8_t payloadLength = frame[2];
    if ((payloadLength != 1 && payloadLength != 4) || frame.size() != 3u + payloadLength) return;
    uint32_t value = payloadLength == 1 ? frame[3]
                                        : (uint32_t{frame[3]} << 24) | (uint32_t{frame[4]} << 16) |
                                              (uint32_t{frame[5]} << 8) | frame[6];

    m_requestCommand = command;
    m_requestPayload = payloadLength == 1 ? frame[3] : -1;
    // A refused command is answered with result 0 and not carried out.
    if (Hit(m_faults.refuse)) {
        Reply(command, kResultRefused);
        return;
    }
    // Any request ends a data phase in progress.
    if (command != Code(ProbeCommand::SelectOperation)) {
        m_phase = Phase::Idle;
        m_dataStatus.clear();
    }
    switch (command) {
        case Code(ProbeCommand::SetAddress):
            if (payloadLength == 4 && (value == kFlashBase || value == kSramBase)) {
                m_address = value;
                m_length.reset();
                Reply(command, kResultAccepted);
            } else {
                Reply(command, kResultRefused);
            }
            break;
        case Code(ProbeCommand::SetLength):  // must fit the memory behind the address
            if (payloadLength == 4 && m_address && value <= Memory(*m_address).size()) {
                m_length = value;
                Reply(command, kResultAccepted);
            } else {
                Reply(command, kResultRefused);
            }
            break;
        case Code(ProbeCommand::SelectOperation): {
            m_phase = Phase::Idle;
            m_dataStatus.clear();
            bool ready = payloadLength == 1 && m_address && m_length && !m_protected;
            bool second = m_awaitSecondSelect;
            m_awaitSecondSelect = false;
            // Every operation but the erase needs an address and a length.
            if (payloadLength == 1 && value == Code(FlashOperation::EraseAll)) {
                if (m_protected) {
                    Reply(command, kResultRefused);
                } else {
                    EraseFlash();
                    Reply(command, kResultAccepted);
                }
            } else if (ready && (value == Code(FlashOperation::Programme) ||
                                 value == Code(FlashOperation::Verify))) {
                const bool programme = value == Code(FlashOperation::Programme);
                m_phase = programme ? Phase::Programme : Phase::Verify;
                m_received = 0;
                m_pagePackets = 0;
                m_runFailed = false;
                (void)second;
                Reply(command, programme ? kResultProgrammeStarted : kResultVerifyStarted);
            } else if (ready && value == Code(FlashOperation::ProgrammeAndVerify)) {
                // Programme-and-verify is a handshake: answered 4, it is
                // started by the Programme request that follows.
                m_awaitSecondSelect = true;
                Reply(command, kResultAwaitProgramme);
            } else {
                Reply(command, kResultRefused);
            }
            break;
        }
        case Code(ProbeCommand::ReadProtect):
            if (value == Code(ReadProtectAction::Query)) {
                Reply(command, m_protected ? kResultProtected : kResultUnprotected);
            } else if (value == Code(ReadProtectAction::Disable)) {
                // Removing the protection erases the flash, as on the real part.
                EraseFlash();
                m_protected = false;
                m_changed = true;
                Reply(command, kResultProtectDisabled);
            } else if (value == Code(ReadProtectAction::Enable)) {
                m_protected = true;
                m_changed = true;
                Reply(command, kResultProtectEnabled);
            } else {
                Reply(command, kResultRefused);
            }
            break;
        case Code(ProbeCommand::SoftReset):
            m_awaitSecondSelect = false;
            if (value == 0) {
                m_commandReply = std::nullopt;
                if (Hit(m_faults.noReply)) break;
                uint8_t marker = Hit(m_faults.badMarker) ? kWrongMarker : kReplyMarker;
                m_commandReply = std::vector<uint8_t>{marker, Echo(command), 0x01, kResultAccepted};
            } else {
                Reply(command, kResultRefused);
            }
            break;
        default:
            Reply(command, kResultRefused);
            break;
    }
}

void TargetModel::HandleData(std::span<const uint8_t> packet, uint32_t* taken) {
    if (m_phase == Phase::Idle) return;  // bytes outside a data phase are dropped
    ++m_dataPackets;
    uint32_t length = *m_length;
    uint32_t room = length - m_received;
    uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(packet.size()), room);
    if (m_faults.shortWrite != 0 && m_dataPackets == m_faults.shortWrite) n /= 2;
    *taken = n;

    std::span<uint8_t> memory = Memory(*m_address).subspan(m_received, n);
    if (m_phase == Phase::Programme) {
        // Flash bits can only be cleared by programming; an unerased byte
        // that would need a bit set fails its page. SRAM takes the bytes.
        for (uint32_t i = 0; i < n; ++i) {
            if (*m_address == kFlashBase) {
                memory[i] &= packet[i];
                if (memory[i] != packet[i]) m_runFailed = true;
            } else {
                memory[i] = packet[i];
            }
        }
        if (n > 0 && *m_address == kFlashBase) m_changed = true;
    } else {
        bool same = std::equal(memory.begin(), memory.end(), packet.begin());
        if (!same) m_runFailed = true;
    }
    m_received += n;
    if (m_faults.unplugAfter != 0 && m_dataPackets >= m_faults.unplugAfter)
        m_unplugRequested = true;

    bool last = m_received == length;
    if (m_phase == Phase::Programme) {
        if (last) {
            Status(m_runFailed ? kStatusProgrammeFailed : kStatusProgrammeDone);
            m_phase = Phase::Idle;
        } else if (++m_pagePackets == kPacketsPerPageStatus) {
            m_pagePackets = 0;
            Status(m_runFailed ? kStatusPageFailed : kStatusPageDone);
        }
    } else {
        if (last) {
            Status(m_runFailed ? kStatusVerifyFailed : kStatusVerifyDone);
            m_phase = Phase::Idle;
        } else {
            Status(m_runFailed ? kStatusVerifyFailed : kStatusPacketVerified);
        }
    }
}

}  // namespace probelib::sim
