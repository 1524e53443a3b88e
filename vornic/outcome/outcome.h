// What an operation did: success, or why it failed, as a value its callers
// decide on; and the report of a run of several steps. The log keeps its own
// lines; exit codes and summaries come from these values only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The family a failure belongs to.
enum class Kind : uint8_t {
    Ok,
    Transport,  // nothing or too little crossed the link: no probe, failed or short transfer
    Refused,    // the probe answered, but not with what the command accepts
    BadInput,   // the firmware file, the image or the address cannot be used
    System,     // this machine failed: memory, reading or writing a file
};

// Why an operation failed. Each reason belongs to one kind (table below).
enum class Reason : uint8_t {
    None,
    NoProbe,      // no probe is open
    Busy,         // another command holds the probe
    NotSent,      // the request's write failed
    ShortWrite,   // the probe took fewer bytes than were sent
    NoReply,      // the read brought nothing: time-out, probe gone
    ShortReply,   // the reply ends before its result byte
    ProbeGone,    // the probe went away during the transfer
    Stalled,      // the probe stalled the endpoint
    TimedOut,     // the transfer did not end in time: a reply that never came
    WrongMarker,  // wrong marker or echo
    NotAccepted,  // a result the command does not accept
    Protected,    // the target's read protection is on
    Differs,      // verify: the target holds other content
    FileMissing,
    FileEmpty,
    FileInvalid,
    TooLarge,
    NoImage,
    NoAddress,
    AddressMismatch,  // the image was linked for another address than the chosen one
    ReadFailed,
    BinNotWritten,
    OutOfMemory,
    NotRegularFile,  // a folder, a device, a FIFO: not a file to read firmware from
    NoPermission,
    NameTooLong,
};

namespace outcome_detail {
struct ReasonInfo {
    Kind kind;
    const char* text;
};
// Indexed by Reason.
inline constexpr ReasonInfo kReasons[] = {
    {Kind::Ok, "done"},
    {Kind::Transport, "no probe"},
    {Kind::Transport, "probe busy"},
    {Kind::Transport, "request not sent"},
    {Kind::Transport, "short write"},
    {Kind::Transport, "no reply"},
    {Kind::Transport, "short reply"},
    {Kind::Transport, "probe removed"},
    {Kind::Transport, "endpoint stalled"},
    {Kind::Transport, "timed out"},
    {Kind::Refused, "wrong marker"},
    {Kind::Refused, "result not accepted"},
    {Kind::Refused, "read-protected"},
    {Kind::Refused, "content differs"},
    {Kind::BadInput, "file missing"},
    {Kind::BadInput, "file empty"},
    {Kind::BadInput, "not valid firmware"},
    {Kind::BadInput, "image too large"},
    {Kind::BadInput, "no image"},
    {Kind::BadInput, "no address"},
    {Kind::BadInput, "linked for another address"},
    {Kind::System, "file not read"},
    {Kind::System, ".BIN not written"},
    {Kind::System, "out of memory"},
    {Kind::BadInput, "not a regular file"},
    {Kind::BadInput, "permission denied"},
    {Kind::BadInput, "name too long"},
};
static_assert(sizeof kReasons / sizeof kReasons[0] == std::size_t(Reason::NameTooLong) + 1);
}  // namespace outcome_detail

class Outcome {
  public:
    constexpr Outcome() = default;
    // A reason is an outcome: `return Reason::NoReply;`.
    constexpr Outcome(Reason reason) : m_reason(reason) {}  // NOLINT(google-explicit-constructor)

    constexpr bool Ok() const { return m_reason == Reason::None; }
    constexpr Reason reason() const { return m_reason; }
    constexpr Kind kind() const { return outcome_detail::kReasons[std::size_t(m_reason)].kind; }
    // The system's convention at its edges: 1 success, 0 failure.
    constexpr int AsInt() const { return Ok() ? 1 : 0; }
    friend constexpr bool operator==(Outcome, Outcome) = default;

  private:
    Reason m_reason = Reason::None;
};

// The steps a report names.
enum class Step : uint8_t { Convert, Status, Erase, Programme, Verify, Reset, Protect, Unprotect };

struct StepOutcome {
    Step step;
    Outcome outcome;
    friend bool operator==(const StepOutcome&, const StepOutcome&) = default;
};

// A run of steps (a download job, or a device command with its follow-ups):
// every step that ran, in order, and what went over the data pipe.
struct Report {
    std::vector<StepOutcome> steps;
    uint32_t bytesSent = 0;  // by the last programme or verify run
    uint32_t imageSize = 0;  // the image's length when the job started; 0 without one
    double seconds = 0;      // from Execute to the end of the job
    // A verify run that found other content: the start address of the first
    // packet that differed.
    std::optional<uint32_t> firstDifference;
    std::string detail;  // what the failure's reason leaves out ("line 3: bad checksum")

    void Add(Step step, Outcome outcome) { steps.push_back({step, outcome}); }
    // The first step that failed, or null when every step that ran succeeded.
    const StepOutcome* FirstFailure() const {
        for (const StepOutcome& s : steps)
            if (!s.outcome.Ok()) return &s;
        return nullptr;
    }
    bool Ok() const { return FirstFailure() == nullptr; }
};

// Names for records and summaries: "erase"; "transport"; "transport failure";
// "no reply".
constexpr const char* StepName(Step step) {
    constexpr const char* kNames[] = {"convert", "status", "erase",   "programme",
                                      "verify",  "reset",  "protect", "unprotect"};
    return kNames[std::size_t(step)];
}
constexpr const char* KindName(Kind kind) {
    constexpr const char* kNames[] = {"ok", "transport", "refused", "bad-input", "system"};
    return kNames[std::size_t(kind)];
}
constexpr const char* KindText(Kind kind) {
    constexpr const char* kTexts[] = {"success", "transport failure", "target refused", "bad input",
                                      "system error"};
    return kTexts[std::size_t(kind)];
}
constexpr const char* ReasonText(Reason reason) {
    return outcome_detail::kReasons[std::size_t(reason)].text;
}
