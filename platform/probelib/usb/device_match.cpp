// Bus-port names, serial numbers from sysfs, and the probe selector.
#include "platform/probelib/usb/device_match.h"

#include <fcntl.h>

#include <charconv>
#include <vector>

#include "platform/posix/posix_io.h"

namespace probelib::usb {

namespace {
// The numbers of "1-1.4" in order (1, 1, 4); false when it is not of that form.
bool SplitBusPort(std::string_view text, std::vector<unsigned>* numbers) {
    numbers->clear();
    size_t i = 0;
    bool first = true;
    while (i <= text.size()) {
        unsigned value = 0;
        auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), value);
        if (ec != std::errc()) return false;
        numbers->push_back(value);
        i = static_cast<size_t>(end - text.data());
        if (i == text.size()) return numbers->size() >= 2;
        char separator = first ? '-' : '.';
        if (text[i] != separator) return false;
        first = false;
        ++i;
    }
    return false;
}
}  // namespace

std::string FormatBusPort(uint8_t bus, std::span<const uint8_t> ports) {
    std::string name = std::to_string(bus);
    char separator = '-';
    for (uint8_t port : ports) {
        name += separator;
        name += std::to_string(port);
        separator = '.';
    }
    return name;
}

bool BusPortLess(std::string_view a, std::string_view b) {
    std::vector<unsigned> left, right;
    if (!SplitBusPort(a, &left) || !SplitBusPort(b, &right)) return a < b;
    return left < right;
}

bool MatchesSelector(std::string_view selector, std::string_view busPort, std::string_view serial) {
    return selector.empty() || selector == busPort || (!serial.empty() && selector == serial);
}

std::string ReadSerial(std::string_view devicesDir, std::string_view busPort) {
    std::vector<unsigned> numbers;
    // Only a well-formed name goes into the path.
    if (!SplitBusPort(busPort, &numbers)) return {};
    std::string path(devicesDir);
    path += '/';
    path += busPort;
    path += "/serial";
    posix_io::UniqueFd fd(posix_io::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return {};
    char buffer[256];
    const ssize_t read = posix_io::ReadAll(fd.Get(), buffer, sizeof buffer);
    const size_t got = read < 0 ? 0 : static_cast<size_t>(read);
    std::string serial(buffer, got);
    while (!serial.empty() && (serial.back() == '\n' || serial.back() == ' ')) serial.pop_back();
    return serial;
}

}  // namespace probelib::usb
