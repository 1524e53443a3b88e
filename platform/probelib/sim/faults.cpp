// Parser of the simulated probe's fault options.
#include "platform/probelib/sim/faults.h"

#include <algorithm>
#include <charconv>

namespace probelib::sim {
namespace {

bool ParseNumber(std::string_view text, uint32_t* out) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out, base);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ParseCommandName(std::string_view text, int* out) {
    struct Name {
        std::string_view name;
        int code;
    };
    static constexpr Name kNames[] = {{"SetAddress", 0x01}, {"SelectOperation", 0x02},
                                      {"SetLength", 0x05},  {"ReadProtect", 0x06},
                                      {"SoftReset", 0x0B},  {"data", kDataStatusFault}};
    for (const Name& n : kNames) {
        if (text == n.name) {
            *out = n.code;
            return true;
        }
    }
    uint32_t code = 0;
    if (!ParseNumber(text, &code) || code > 0xFF) return false;
    *out = static_cast<int>(code);
    return true;
}

bool ParseCommand(std::string_view text, int* out) {
    size_t slash = text.find('/');
    if (slash == std::string_view::npos) return ParseCommandName(text, out);
    int command = 0;
    uint32_t payload = 0;
    if (!ParseCommandName(text.substr(0, slash), &command) || command == kDataStatusFault ||
        !ParseNumber(text.substr(slash + 1), &payload) || payload > 0xFF)
        return false;
    *out = PayloadFaultKey(command, static_cast<int>(payload));
    return true;
}

// "SIMk": the simulated probe k, in decimal.
bool ParseProbeName(std::string_view text, uint32_t* out) {
    if (text.substr(0, 3) != "SIM" || text.size() < 4 || text.size() > 6) return false;
    text.remove_prefix(3);
    if (text.size() > 1 && text[0] == '0') return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out, 10);
    return ec == std::errc() && end == text.data() + text.size();
}

// Every fault: its key, how it is written, and what it does with its range.
struct FaultHelp {
    std::string_view key;
    const char* syntax;
    const char* meaning;
};
constexpr FaultHelp kFaultHelp[] = {
    {"protected", "protected", "the target's read protection is on at start"},
    {"absent", "absent", "no probe is plugged in at start"},
    {"no-reply", "no-reply:CMD", "the reply to CMD never comes"},
    {"refuse", "refuse:CMD", "CMD is not carried out; its reply carries result 0"},
    {"bad-marker", "bad-marker:CMD", "the reply to CMD carries a wrong marker"},
    {"unplug-after", "unplug-after:N",
     "the probe is removed after N data packets; N from 1 to 4294967295"},
    {"short-write", "short-write:N",
     "the N-th data packet is only half taken; N from 1 to 4294967295"},
    {"latency-us", "latency-us:N", "every transfer takes N microseconds; N from 0 to 10000000"},
    {"swap-after", "swap-after:MS",
     "MS after each job the probe is removed, and MS later a fresh one arrives; MS from 1 to "
     "60000"},
    {"probes", "probes:N", "N simulated probes, SIM0 to SIM{N-1}; N from 1 to 16, no @SIMk"},
};
constexpr const char* kCommandHelp =
    "CMD is SetAddress, SelectOperation, SetLength, ReadProtect, SoftReset, data (the data\n"
    "pipe's status frames) or a command code from 0 to 0xFF; CMD/P narrows it to the requests\n"
    "whose one-byte payload is P, from 0 to 0xFF (ReadProtect/1: the query only).";

// Why an item was refused, with what its key takes.
std::string Refusal(std::string_view whole, std::string_view key, bool suffixBad) {
    std::string text = "bad simulator option \"" + std::string(whole) + "\": ";
    if (suffixBad)
        return text + "@SIMk names a simulated probe, k from 0 to " +
               std::to_string(kMaxSimProbes - 1);
    for (const FaultHelp& f : kFaultHelp) {
        if (f.key != key) continue;
        text += std::string(f.syntax) + ": " + f.meaning;
        if (std::string_view(f.syntax).ends_with(":CMD"))
            text +=
                "; CMD a command name (SetAddress, SelectOperation, SetLength, ReadProtect, "
                "SoftReset, data) or code 0 to 0xFF, CMD/P with P 0 to 0xFF";
        return text;
    }
    return text + "no such fault (vornic-cli --help-faults lists them)";
}

}  // namespace

std::string FaultsHelpText() {
    std::string text = "Simulator faults: --simulate=FAULT[,FAULT...], each FAULT one of\n";
    for (const FaultHelp& f : kFaultHelp) {
        std::string line = "  " + std::string(f.syntax);
        line.resize(std::max<size_t>(line.size() + 2, 20), ' ');
        text += line + f.meaning + "\n";
    }
    text += kCommandHelp;
    text +=
        "\nA FAULT may end in @SIMk (k from 0 to 15): it then applies to simulated probe k only.\n";
    return text;
}

int ParseFaults(std::string_view text, Faults* out, std::string* error, uint32_t probe) {
    Faults faults;
    // The highest probe a suffix names (checked against probes:N at the end),
    // and an item that named it.
    uint32_t highestAimed = 0;
    std::string_view highestItem;
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view whole = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (whole.empty()) continue;
        std::string_view item = whole.substr(0, whole.find('@'));
        bool ok = true;
        bool suffixOk = true;
        // Items aimed at another probe are checked like the rest, then dropped.
        Faults others;
        Faults& target = [&]() -> Faults& {
            if (item.size() == whole.size()) return faults;
            uint32_t aimed = 0;
            ok = ParseProbeName(whole.substr(item.size() + 1), &aimed) && aimed < kMaxSimProbes;
            suffixOk = ok;
            if (ok && aimed >= highestAimed) {
                highestAimed = aimed;
                highestItem = whole;
            }
            return aimed == probe ? faults : others;
        }();
        size_t colon = item.find(':');
        std::string_view key = item.substr(0, colon);
        std::string_view value =
            colon == std::string_view::npos ? std::string_view() : item.substr(colon + 1);
        if (!ok) {
            // a suffix that names no simulated probe
        } else if (key == "protected" && colon == std::string_view::npos) {
            target.startProtected = true;
        } else if (key == "absent" && colon == std::string_view::npos) {
            target.absent = true;
        } else if (key == "no-reply" || key == "refuse" || key == "bad-marker" ||
                   key == "bad-echo") {
            int code = 0;
            ok = ParseCommand(value, &code);
            if (ok)
                (key == "no-reply"     ? target.noReply
                 : key == "refuse"     ? target.refuse
                 : key == "bad-marker" ? target.badMarker
                                       : target.badEcho)
                    .insert(code);
        } else if (key == "stall") {
            int code = 0;
            ok = ParseCommand(value, &code);
            if (ok) target.stall.insert(code), target.noReply.insert(code);
        } else if (key == "unplug-after") {
            ok = ParseNumber(value, &target.unplugAfter) && target.unplugAfter > 0;
        } else if (key == "short-write") {
            ok = ParseNumber(value, &target.shortWrite) && target.shortWrite > 0;
        } else if (key == "latency-us") {
            ok = ParseNumber(value, &target.latencyUs) && target.latencyUs <= 10'000'000;
        } else if (key == "swap-after") {
            ok = ParseNumber(value, &target.swapAfterMs) && target.swapAfterMs > 0 &&
                 target.swapAfterMs <= 60'000;
        } else if (key == "probes" && item.size() == whole.size()) {
            ok = ParseNumber(value, &faults.probes) && faults.probes >= 1 &&
                 faults.probes <= kMaxSimProbes;
            faults.probesGiven = true;
        } else {
            ok = false;
        }
        if (!ok) {
            if (error) *error = Refusal(whole, key, item.size() != whole.size() && !suffixOk);
            return 0;
        }
    }
    if (!highestItem.empty() && highestAimed >= faults.probes) {
        if (error)
            *error = "bad simulator option \"" + std::string(highestItem) + "\": " +
                     (faults.probes == 1 ? "there is only 1 simulated probe"
                                         : "there are only " + std::to_string(faults.probes) +
                                               " simulated probes");
        return 0;
    }
    *out = std::move(faults);
    return 1;
}

}  // namespace probelib::sim
