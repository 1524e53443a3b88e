// Parser of the simulated probe's fault options.
#include "platform/probelib/sim/faults.h"

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

}  // namespace

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
        // Items aimed at another probe are checked like the rest, then dropped.
        Faults others;
        Faults& target = [&]() -> Faults& {
            if (item.size() == whole.size()) return faults;
            uint32_t aimed = 0;
            ok = ParseProbeName(whole.substr(item.size() + 1), &aimed) && aimed < kMaxSimProbes;
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
            if (error) *error = "bad simulator option \"" + std::string(whole) + "\"";
            return 0;
        }
    }
    if (!highestItem.empty() && highestAimed >= faults.probes) {
        if (error)
            *error = "bad simulator option \"" + std::string(highestItem) + "\": there are only " +
                     std::to_string(faults.probes) + " simulated probes";
        return 0;
    }
    *out = std::move(faults);
    return 1;
}

}  // namespace probelib::sim
