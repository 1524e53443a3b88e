// libFuzzer entry for the reading of a child's board record (the JSON line a
// --probe=all child writes): any text is fine; a crash, an escaping
// exception, or a record taken whose summary disagrees with itself is not.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vornic/cli/board_record.h"

using namespace vornic_cli;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    probelib::ProbeInfo probe;
    probe.serial = "SIM\xff", probe.busPort = "1-1";
    std::string line, again;
    RecordSummary summary, second;
    if (AdoptChildRecord(text, "fw\xfe.hex", probe, &line, &summary) != 1) return 0;
    if (summary.pass != summary.failedStep.empty() || line.empty() || line.find('\n') != line.npos)
        std::abort();
    // What was written is read back the same way.
    if (AdoptChildRecord(line, "fw\xfe.hex", probe, &again, &second) != 1 || again != line)
        std::abort();
    return 0;
}
