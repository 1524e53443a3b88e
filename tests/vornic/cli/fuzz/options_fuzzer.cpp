// libFuzzer entry for the shared command-line parser: the input is a command
// line, its arguments separated by NUL bytes, parsed with the options both
// front ends add, vornic-cli's production-line options checked, and the
// simulator's faults read for one of its probes. Any answer is fine; a crash,
// an escaping exception, a leak or an argument that was never given is not.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/probelib/sim/faults.h"
#include "vornic/cli/line_options.h"
#include "vornic/cli/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> owned;
    for (size_t start = 0, end = 0; start <= input.size() && owned.size() < 32; start = end + 1) {
        end = std::min(input.find('\0', start), input.size());
        owned.emplace_back(input.substr(start, end - start));
    }
    // Whether text is one of the words given, or (for a value) part of one.
    auto given = [&owned](const std::string& text, bool part) {
        for (const std::string& a : owned)
            if (part ? a.find(text) != a.npos : a == text) return true;
        return false;
    };
    vornic_options::Parser parser;
    bool quiet = false, ifChanged = false, noErase = false;
    std::string address, screenshot, error;
    parser.AddFlag("--quiet", &quiet);
    parser.AddFlag("--if-changed", &ifChanged);
    parser.AddFlag("--no-erase", &noErase);
    parser.AddValue("--address", &address);
    parser.AddValue("--screenshot", &screenshot);
    LineOptions line;
    line.AddTo(parser);
    vornic_options::CommonOptions options;
    const int result =
        parser.Parse(std::vector<std::string_view>(owned.begin(), owned.end()), &options, &error);
    if (result != 0 && result != 1) std::abort();
    if (result == 0 && error.empty()) std::abort();
    if (result != 1) return 0;
    const std::string complaint =
        line.Check(options.arguments.empty() ? "" : options.arguments[0], options.probe);
    if (complaint.empty() && !line.report.empty() && line.recordFd >= 0)
        std::abort();  // --record-fd and --report never together
    probelib::sim::Faults faults;
    std::string why;
    if (probelib::sim::ParseFaults(options.simFaults, &faults, &why, size ? data[0] % 20 : 0) ==
            1 &&
        (faults.probes < 1 || faults.probes > probelib::sim::kMaxSimProbes))
        std::abort();
    for (const std::string& argument : options.arguments)
        if (!given(argument, false)) std::abort();
    for (const std::string* value : {&options.simFaults, &options.simState, &options.probe,
                                     &options.trace, &address, &screenshot})
        if (!given(*value, true)) std::abort();
    return 0;
}
