// The record of one board as a production line keeps it: one JSON object per
// line (JSON Lines), built from a job's report, appended to a file and synced
// before the next board starts; and the reading of a record written by a
// child vornic-cli.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/posix/posix_io.h"
#include "platform/probelib/probe_types.h"
#include "vornic/outcome/outcome.h"

namespace vornic_cli {

// What a record says besides the job's report.
struct BoardContext {
    std::chrono::system_clock::time_point started;
    std::string file;  // as the user named it
    uint32_t address = 0;
    bool probeKnown = false;  // a probe was opened for the job
    probelib::ProbeInfo probe;
    std::span<const uint8_t> image;  // the image the job used; empty without one
    bool dryRun = false;             // nothing was sent that changes the target
    std::string lost;  // a trace or simulator state the job could not write; fails the board
};

// One record, without the line end. `unfinished`: the job was interrupted,
// its steps are not known.
std::string BoardRecord(const Report& report, const BoardContext& context, bool unfinished = false);

// What status --json prints: {"readProtected":..,"probe":{"serial":..,"busPort":..}}.
std::string StatusJson(bool readProtected, bool probeKnown, const probelib::ProbeInfo& probe);

// "2026-05-01T09:30:12.345Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point time);
// The SHA-256 of `bytes` in lower-case hex; empty when libnettle cannot be loaded.
std::string Sha256Hex(std::span<const uint8_t> bytes);

// What the table of --probe=all needs of a record.
struct RecordSummary {
    bool pass = false;
    std::string failedStep;  // the first step that failed ("" for none)
    std::string failedKind;  // its kind as the summaries say it ("target refused")
    std::string lost;        // the output the child could not write, when no step failed
    uint32_t bytesSent = 0;
    double seconds = 0;
};

// Reads a record a child wrote, puts the parent's file name and probe into
// it, and gives the line to append and its summary. 1, or 0 when the text is
// not one well-formed record.
int AdoptChildRecord(std::string_view text, const std::string& file,
                     const probelib::ProbeInfo& probe, std::string* line, RecordSummary* summary);

// The file (or descriptor) records are appended to.
class RecordFile {
  public:
    RecordFile() = default;
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Opens FILE for appending, creating it when missing. 1, or 0 with the reason.
    int Open(const std::string& path, std::string* error);
    // Takes over a descriptor (a pipe to the parent vornic-cli).
    void Adopt(int fd);
    bool IsOpen() const { return m_fd.Valid(); }
    // Appends the record and a line end, then syncs a regular file to disk.
    // 1, or 0 with the reason.
    int Append(std::string_view record, std::string* error);

  private:
    posix_io::UniqueFd m_fd;
    std::string m_name;
};

}  // namespace vornic_cli
