// libFuzzer entry for the shared command-line parser: NUL-separated arguments
// parsed with both front ends' and the production line's options, the latter
// checked, and the simulator's faults read. A crash, an escaping exception, a
// leak, or an argument or value that was never given, aborts.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/probelib/sim/faults.h"
#include "vornic/cli/line_options.h"
#include "vornic/options/options.h"

using namespace vornic_cli;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> words;
    for (size_t start = 0, end = 0; start <= input.size() && words.size() < 32; start = end + 1)
        end = std::min(input.find('\0', start), input.size()),
        words.emplace_back(input.substr(start, end - start));
    vornic_options::Parser parser;
    bool quiet = false, noErase = false;
    std::string address, error, why;
    parser.AddFlag("--quiet", &quiet);
    parser.AddFlag("--no-erase", &noErase);
    parser.AddValue("--address", &address);
    LineOptions line;
    line.AddTo(parser);
    vornic_options::CommonOptions o;
    const int result =
        parser.Parse(std::vector<std::string_view>(words.begin(), words.end()), &o, &error);
    if ((result == 0 && error.empty()) || (result != 0 && result != 1)) std::abort();
    if (result == 0) return 0;
    // --record-fd and --report never together
    if (line.Check(o.arguments.empty() ? "" : o.arguments[0], o.probe).empty() &&
        !line.report.empty() && line.recordFd >= 0)
        std::abort();
    probelib::sim::Faults faults;
    if (probelib::sim::ParseFaults(o.simFaults, &faults, &why, size ? data[0] % 20 : 0) == 1 &&
        (faults.probes < 1 || faults.probes > probelib::sim::kMaxSimProbes))
        std::abort();
    // Arguments are words given, values parts of words given.
    for (const std::string& argument : o.arguments)
        if (std::find(words.begin(), words.end(), argument) == words.end()) std::abort();
    for (const std::string* value : {&o.simFaults, &o.simState, &o.probe, &o.trace, &address})
        if (std::none_of(words.begin(), words.end(),
                         [&](auto& w) { return w.find(*value) != w.npos; }))
            std::abort();
    return 0;
}
