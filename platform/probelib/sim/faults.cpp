// Parser of the simulated probe's fault options.
#include "faults.h"

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

}  // namespace

int ParseFaults(std::string_view text, Faults* out, std::string* error) {
    Faults faults;
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (item.empty()) continue;
        size_t colon = item.find(':');
        std::string_view key = item.substr(0, colon);
        std::string_view value =
            colon == std::string_view::npos ? std::string_view() : item.substr(colon + 1);
        bool ok = true;
        if (key == "protected" && colon == std::string_view::npos) {
            faults.startProtected = true;
        } else if (key == "absent" && colon == std::string_view::npos) {
            faults.absent = true;
        } else if (key == "no-reply" || key == "refuse" || key == "bad-marker") {
            int code = 0;
            ok = ParseCommand(value, &code);
            if (ok)
                (key == "no-reply" ? faults.noReply
                 : key == "refuse" ? faults.refuse
                                   : faults.badMarker)
                    .insert(code);
        } else if (key == "unplug-after") {
            ok = ParseNumber(value, &faults.unplugAfter) && faults.unplugAfter > 0;
        } else if (key == "short-write") {
            ok = ParseNumber(value, &faults.shortWrite) && faults.shortWrite > 0;
        } else if (key == "latency-us") {
            ok = ParseNumber(value, &faults.latencyUs) && faults.latencyUs <= 10'000'000;
        } else {
            ok = false;
        }
        if (!ok) {
            if (error) *error = "bad simulator option \"" + std::string(item) + "\"";
            return 0;
        }
    }
    *out = std::move(faults);
    return 1;
}

}  // namespace probelib::sim
