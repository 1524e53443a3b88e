// vornic-cli run as a process: the exit status and summary of each case, one
// whole flash line by line, --if-changed, and the production line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/vornic/cli/cli_process.h"

namespace {

namespace fs = std::filesystem;
using clitest::Result;
using Texts = std::vector<std::string>;

// 40 bytes at 0x0000 as three records, CR LF line ends.
const std::string kHex =
    ":100000000102030405060708090A0B0C0D0E0F1068\r\n:100010001112131415161718191A1B1C1D1E1F2058\r\n"
    ":080020002122232425262728B4\r\n:00000001FF\r\n";
// A whole flash as a --probe=all child logs it, and as a run that converts first.
const Texts kFlashed = clitest::Texts(
    "Succeed to open device!\nSucceed to clear-all!\nProgramme address is affirmed!\n"
    "Programme length is affirmed!\nBegin to programme and verify...\nSucceed to programme!\n"
    "Succeed to verify!\nSucceed to set soft-reset!");
const std::string kOpen = kFlashed[0], kHexOk = "Succeed to trans file from .HEX to .BIN.";
const Texts kWhole = {kOpen,       kHexOk,      kFlashed[1], kFlashed[2], kFlashed[3],
                      kFlashed[4], kFlashed[5], kFlashed[6], kFlashed[7]};

// The output: log texts by who wrote them ("" for vornic-cli itself, "SIMk"
// for a --probe=all child), and the other lines (tables, boards) each cut to
// the length of the line `heads` has in its place.
struct Output {
    std::map<std::string, Texts> log;
    Texts plain;
};
Output Split(const std::string& out, const Texts& heads = {}) {
    Output o;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (const size_t at = line.find(">> "); at != std::string::npos)
            o.log[line.rfind("[SIM", 0) == 0 ? line.substr(1, 4) : ""].push_back(
                line.substr(at + 3));
        else if (o.plain.push_back(line); o.plain.size() <= heads.size())
            o.plain.back().resize(std::min(line.size(), heads[o.plain.size() - 1].size()));
    }
    return o;
}

class Cli : public ::testing::Test {
  protected:
    // Each test in a folder of its own, which is the working folder.
    void SetUp() override {
        fs::create_directories(dir), fs::current_path(dir);
        std::ofstream("app.hex", std::ios::binary) << kHex;
    }
    void TearDown() override { fs::current_path("/"), fs::remove_all(dir); }
    // vornic-cli in English with the words of `line`.
    Result Run(const std::string& line, clitest::Watch watch = {}) {
        std::vector<std::string> args = {VORNIC_CLI_PATH, "--lang=en"};
        std::istringstream words(line);
        for (std::string word; words >> word;) args.push_back(word);
        Result r = clitest::RunProcess(args, 60, std::move(watch));
        EXPECT_EQ(std::string::npos, r.out.find('\r'));
        return r;
    }
    // A report's records by serial, each agreeing with itself.
    std::map<std::string, nlohmann::json> Records(const std::string& name) {
        std::map<std::string, nlohmann::json> records;
        std::ifstream in(name);
        for (std::string line; std::getline(in, line);) {
            nlohmann::json r = nlohmann::json::parse(line);
            EXPECT_EQ((nlohmann::json{{"name", "vornic-cli"}, {"version", VORNIC_VERSION}}),
                      r["tool"]);
            bool pass = !r.contains("unfinished");
            for (const auto& step : r["steps"]) pass = pass && step["ok"].get<bool>();
            EXPECT_EQ(pass ? "pass" : "fail", r["outcome"]) << line;
            records[r["probe"]["serial"].get<std::string>()] = r;
        }
        return records;
    }
    const fs::path dir = fs::temp_directory_path() /
                         (::testing::UnitTest::GetInstance()->current_test_info()->name() +
                          std::to_string(getpid()));
};

TEST_F(Cli, ExitStatusAndSummaryOfEachCase) {
    const std::string missing = "Not choose filemissing.hex", sram = " blink-sram.elf",
                      noFile = "flash: failed at convert (bad input: file missing)",
                      linked = "flash: failed at programme (bad input: linked for another address)";
    fs::copy_file(fs::path(VORNIC_EXAMPLES_DIR) / "blink-sram.elf", "blink-sram.elf");
    fs::copy_file(fs::path(VORNIC_EXAMPLES_DIR) / "blink.hex", "blink.hex");
    std::ofstream("bad.hex") << ":0100000001FE\n:00000001FF\n";
    fs::copy_file("app.hex", "huge.hex");
    fs::resize_file("huge.hex", 2ull << 30);
    std::ofstream("big.bin").close();
    fs::resize_file("big.bin", 2ull << 30);
    const struct {
        std::string args;
        int status;
        std::string summary;              // the start of a line of standard error, "" for none
        std::optional<Texts> lines = {};  // the texts of standard output
    } rows[] = {
        // The steps ticked still run, yet the first failure decides.
        {"--simulate flash --no-programme --no-verify missing.hex", 1, noFile,
         Texts{kOpen, missing, "Succeed to clear-all!", "Succeed to set soft-reset!"}},
        {"--simulate flash --no-programme --no-verify --no-reset bad.hex", 1,
         "flash: failed at convert (bad input: not valid firmware)"},
        {"--simulate flash" + sram, 1, linked},
        {"--simulate=probes:2 --probe=all flash" + sram, 1, linked},
        {"--simulate flash --if-changed missing.hex", 1, noFile,
         Texts{kOpen, missing, "The data file is invalid!"}},
        {"--simulate=absent flash --if-changed app.hex", 1,
         "flash: failed at status (transport failure: no probe) after 0 of 40 bytes",
         Texts{kHexOk, "No device connection detected!"}},
        {"--simulate=unplug-after:1 flash blink.hex", 1,
         "flash: failed at programme (transport failure: probe removed) after 64 of 124 bytes"},
        {"--simulate verify app.hex", 1,
         "verify: failed at verify (target refused: content differs) after 40 of 40 bytes"},
        {"--simulate=protected flash app.hex", 1,
         "flash: failed at status (target refused: read-protected)"},
        {"convert huge.hex", 0, "", Texts{kHexOk}},  // read only up to its end record
        {"convert big.bin", 1, "convert: failed at convert (bad input: image too large)"},
        {"-- -odd.hex", 2, "vornic-cli: unknown command -odd.hex", Texts{}},  // -- ends the options
        {"--simulate status", 0, "", Texts{kOpen, "【Read-Protect is disable】"}},
        {"--version", 0, "", Texts{"vornic-cli " VORNIC_VERSION}},
        {"", 2, "vornic-cli: no command given", Texts{}},
        {"--probe=all --repeat flash x.hex", 2, "vornic-cli: --repeat runs"},
        {"--simulate=probes:3,absent@SIM1 list", 0, "",
         Texts{"INDEX  BUS-PORT    SERIAL                USB-ID",
               "0      sim-0       SIM0                  1a86:8010",
               "1      sim-2       SIM2                  1a86:8010"}},
        {"--simulate=probes:2 --probe=all flash missing.hex", 1, noFile, Texts{missing}},
        // A report that cannot be written is refused before any board is touched.
        {"--simulate --sim-state=state --report=no/report flash app.hex", 2,
         "vornic-cli: cannot write the report no/report", Texts{}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        const Result r = Run(row.args);
        EXPECT_EQ(row.status, r.status) << r.out << r.err;
        Texts lines = row.lines.value_or(clitest::Texts(r.out));
        EXPECT_EQ(lines, clitest::Texts(r.out));
        EXPECT_TRUE(row.summary.empty()
                        ? r.err.empty()
                        : ("\n" + r.err).find("\n" + row.summary) != std::string::npos)
            << r.err;
        EXPECT_LT(r.peakKiB, 64 * 1024);
    }
    EXPECT_FALSE(fs::exists("state"));
}

// The one whole flash, then the same image again with --if-changed: verified
// and reset, neither erased nor programmed.
TEST_F(Cli, FlashThenFlashIfChanged) {
    const Result flash = Run("--simulate --sim-state=state flash app.hex");
    EXPECT_EQ(0, flash.status);
    EXPECT_EQ(kWhole, Split(flash.out).log[""]);
    EXPECT_EQ(0u, flash.err.rfind("flash: 40 bytes sent in ", 0)) << flash.err;
    const Result again = Run("--simulate --sim-state=state flash --if-changed app.hex");
    EXPECT_EQ(0, again.status);
    EXPECT_EQ((Texts{kOpen, kHexOk, "Verify address is affirmed!", "Verify length is affirmed!",
                     "Begin to verify...", "Succeed to verify!",
                     "vornic-cli: the target already holds the image; erase and programme skipped",
                     "Succeed to set soft-reset!"}),
              clitest::Texts(again.out));
}

TEST_F(Cli, EveryProbeAtOnceOneOfThemFaulted) {
    const Result r =
        Run("--simulate=probes:4,refuse:SetLength@SIM2 --sim-state=state "
            "--probe=all --report=line.jsonl flash app.hex");
    EXPECT_EQ(1, r.status) << r.out << r.err;
    // Converted once, here; each child's lines whole, behind its name; then the table.
    const Texts table = {"PROBE  RESULT", "SIM0   PASS ",
                         "SIM1   PASS ",  "SIM2   FAIL at programme (target refused)  ",
                         "SIM3   PASS ",  "4 boards: 3 passed, 1 failed"};
    Output o = Split(r.out, table);
    EXPECT_EQ(Texts{kHexOk}, o.log[""]);
    for (const char* probe : {"SIM0", "SIM1", "SIM3"}) EXPECT_EQ(kFlashed, o.log[probe]) << probe;
    EXPECT_EQ((Texts{kOpen, kFlashed[1], kFlashed[2], "Invalid programme length!", kFlashed[7]}),
              o.log["SIM2"]);
    EXPECT_EQ(table, o.plain);
    auto records = Records("line.jsonl");
    ASSERT_EQ(4u, records.size());
    for (auto& [serial, record] : records) {
        EXPECT_EQ("app.hex", record["file"]) << "the file named, not the .BIN";
        EXPECT_EQ("5620dcd4c0ab4736a35122b1973e2d5d9726c378b3893234c66ff78d071b0e87",
                  record["imageSha256"]);
        EXPECT_EQ(serial == "SIM2", record["outcome"] == "fail");
    }
}

TEST_F(Cli, OneBoardAfterAnotherThenCtrlC) {
    // The simulator swaps the board after each job: five boards, no person;
    // each logs a single run's lines, and between boards the probe leaves.
    const Result r = Run("--simulate=swap-after:20 --report=boards.jsonl flash app.hex --repeat=5");
    EXPECT_EQ(0, r.status) << r.out << r.err;
    Texts want, boards;
    for (int k = 1; k <= 5; ++k) {
        want.insert(want.end(), kWhole.begin(), kWhole.end());
        if (k < 5) want.push_back("Succeed to close device!");
        boards.push_back("board " + std::to_string(k) + ": PASS (40 bytes, ");
    }
    boards.push_back("5 boards: 5 passed, 0 failed");
    const Output o = Split(r.out, boards);
    EXPECT_EQ(want, o.log.at(""));
    EXPECT_EQ(boards, o.plain);
    EXPECT_EQ(5u, Records("boards.jsonl").size());  // each on a probe of its own
    // Ctrl-C once two --probe=all children are programming: their boards are unfinished.
    bool sent = false;
    const Result all =
        Run("--simulate=probes:2,latency-us:20000 --probe=all "
            "--report=stopped.jsonl flash app.hex",
            [&sent](pid_t pid, const std::string& out) {
                Output o = Split(out);
                if (!sent && o.log["SIM0"].size() > 2 && o.log["SIM1"].size() > 2)
                    sent = kill(pid, SIGINT) == 0;
            });
    EXPECT_EQ(1, all.status);
    const Texts table = {"PROBE  RESULT", "SIM0   UNFINISHED", "SIM1   UNFINISHED",
                         "2 boards: 0 passed, 0 failed, 2 unfinished"};
    EXPECT_EQ(table, Split(all.out, table).plain);
    const auto records = Records("stopped.jsonl");
    ASSERT_EQ(2u, records.size());
    for (const auto& [serial, record] : records)
        EXPECT_TRUE(record.value("unfinished", false)) << serial;
}

}  // namespace
