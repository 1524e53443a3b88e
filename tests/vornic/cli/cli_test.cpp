// vornic-cli run as a process: the exit status and summary of each case, one
// whole flash line by line, and the production line (--probe=all, --repeat,
// Ctrl-C, --report).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "tests/vornic/cli/cli_process.h"

namespace {

namespace fs = std::filesystem;
using clitest::Result;
using clitest::Texts;

// 40 bytes at 0x0000 as three records, CR LF line ends.
const std::string kHex =
    ":100000000102030405060708090A0B0C0D0E0F1068\r\n:100010001112131415161718191A1B1C1D1E1F2058\r\n"
    ":080020002122232425262728B4\r\n:00000001FF\r\n";
const std::string kOpen = "Succeed to open device!",
                  kHexOk = "Succeed to trans file from .HEX to .BIN.";
// The lines of one whole flash after opening and converting.
const std::vector<std::string> kFlashed = {
    "Succeed to clear-all!",         "Programme address is affirmed!",
    "Programme length is affirmed!", "Begin to programme and verify...",
    "Succeed to programme!",         "Succeed to verify!",
    "Succeed to set soft-reset!"};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("vornic-cli-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
        hex = (dir / "app.hex").string();
        std::ofstream(hex, std::ios::binary) << kHex;
    }
    void TearDown() override { fs::remove_all(dir); }
    // "{dir}" in a text stands for the test's folder.
    std::string In(std::string text) const {
        for (size_t at; (at = text.find("{dir}")) != std::string::npos;) text.replace(at, 5, dir);
        return text;
    }
    // vornic-cli in English with the words of `line`, and the output's texts.
    Result Run(const std::string& line, std::optional<std::string> input = {},
               clitest::Watch watch = {}) {
        std::vector<std::string> args = {VORNIC_CLI_PATH, "--lang=en"};
        std::istringstream words(In(line));
        for (std::string word; words >> word;) args.push_back(word);
        Result r = clitest::RunProcess(args, 60, std::move(input), std::move(watch));
        EXPECT_EQ(std::string::npos, r.out.find('\r'));
        return r;
    }
    // The records of a report, each agreeing with itself; so does the exit status.
    std::vector<nlohmann::json> Records(const std::string& name, int status) {
        std::vector<nlohmann::json> records;
        std::ifstream in(dir / name);
        bool allPassed = true;
        for (std::string line; std::getline(in, line);) {
            nlohmann::json r = nlohmann::json::parse(line);
            EXPECT_TRUE(std::regex_match(r.value("time", ""),
                                         std::regex(R"(\d{4}-\d\d-\d\dT[\d:]{8}\.\d{3}Z)")));
            EXPECT_EQ((nlohmann::json{{"name", "vornic-cli"}, {"version", VORNIC_VERSION}}),
                      r["tool"]);
            bool pass = !r.contains("unfinished");
            for (const auto& step : r["steps"]) pass = pass && step["ok"].get<bool>();
            EXPECT_EQ(pass ? "pass" : "fail", r["outcome"]) << line;
            allPassed = allPassed && pass;
            records.push_back(std::move(r));
        }
        EXPECT_EQ(allPassed, status == 0);
        return records;
    }
    fs::path dir;
    std::string hex;
};

TEST_F(Cli, ExitStatusAndSummaryOfEachCase) {
    const std::string missing = "Not choose file{dir}/missing.hex", sram = "{dir}/blink-sram.elf";
    fs::copy_file(fs::path(VORNIC_EXAMPLES_DIR) / "blink-sram.elf", In(sram));
    std::ofstream(dir / "bad.hex") << ":0100000001FE\n:00000001FF\n";
    fs::copy_file(hex, dir / "huge.hex");
    fs::resize_file(dir / "huge.hex", 2ull << 30);
    std::ofstream(dir / "big.bin").close();
    fs::resize_file(dir / "big.bin", 2ull << 30);
    // 300 characters: a folder, then a file name that still holds ".hex" at 259.
    const fs::path folder = dir / std::string(100, 'd');
    const std::string longPath =
        (folder / ("fw.hex" + std::string(192 - dir.string().size(), '~')));
    fs::create_directory(folder);
    std::ofstream(longPath) << kHex;
    std::ofstream(longPath.substr(0, 259)) << ":0400000001020304F2\r\n:00000001FF\r\n";
    const struct {
        std::string args;
        int status;
        std::string summary;  // the start of a line of standard error, "" for none
        std::optional<std::string> lines = {};  // the log's texts, '|' between them
    } rows[] = {
        {"--simulate flash --no-programme --no-verify {dir}/missing.hex", 1,
         "flash: failed at convert (bad input: file missing)",
         kOpen + "|" + missing + "|Succeed to clear-all!|Succeed to set soft-reset!"},
        {"--simulate flash --no-programme --no-verify --no-reset {dir}/bad.hex", 1,
         "flash: failed at convert (bad input: not valid firmware)",
         kOpen + "|Invalid .HEX!|Succeed to clear-all!"},
        {"--simulate flash " + sram, 1,
         "flash: failed at programme (bad input: linked for another address)",
         kOpen + "|Succeed to trans file from .ELF to .BIN.|Image is linked at 0x20000000 but the "
                 "start address is 0x08000000"},
        {"--simulate=probes:2 --probe=all flash " + sram, 1,
         "flash: failed at programme (bad input: linked for another address)"},
        {"--simulate flash --no-verify --no-reset " + longPath, 0, "flash: 40 bytes sent in "},
        {"--simulate flash --if-changed {dir}/missing.hex", 1,
         "flash: failed at convert (bad input: file missing)",
         kOpen + "|" + missing + "|The data file is invalid!"},
        {"--simulate=absent flash --if-changed {dir}/app.hex", 1,
         "flash: failed at status (transport failure: no probe) after 0 of 40 bytes",
         kHexOk + "|No device connection detected!"},
        {"--simulate verify {dir}/app.hex", 1,
         "verify: failed at verify (target refused: content differs) after 40 of 40 bytes"},
        {"--simulate=protected flash {dir}/app.hex", 1,
         "flash: failed at status (target refused: read-protected)",
         kOpen + "|" + kHexOk + "|Please disable read-protect at first..."},
        {"convert {dir}/huge.hex", 0, "", kHexOk},  // read only up to its end record
        {"convert {dir}/big.bin", 1, "convert: failed at convert (bad input: image too large)"},
        {"-- -odd.hex", 2, "vornic-cli: unknown command -odd.hex", ""},  // -- ends the options
        {"--simulate=refuse:SoftReset protect", 1,
         "protect: failed at reset (target refused: result not accepted)",
         kOpen + "|Succeed to enable read-protect!|Fail to set soft-reset!"},
        {"--simulate reset", 0, "", kOpen + "|Succeed to set soft-reset!"},
        {"--simulate status", 0, "", kOpen + "|【Read-Protect is disable】"},
        {"--simulate=absent reset", 1, "reset: failed at reset (transport failure: no probe)",
         "No device connection detected!"},
        {"status", 1, "status: failed at status (transport failure: no probe)"},
        {"--version", 0, "", "vornic-cli " VORNIC_VERSION},
        {"--help", 0, ""},
        {"", 2, "vornic-cli: no command given", ""},
        {"--simulate frobnicate", 2, "vornic-cli: unknown command"},
        {"flash {dir}/app.hex --address=0x1234", 2, "vornic-cli: --address"},
        {"status --no-erase", 2, "vornic-cli: --no-* options belong to flash"},
        {"--simulate=probes:3,absent@SIM1 list", 0, "",
         "INDEX  BUS-PORT    SERIAL                USB-ID|0      sim-0       SIM0                  "
         "1a86:8010|1      sim-2       SIM2                  1a86:8010"},
        {"--simulate=absent --probe=all flash {dir}/app.hex", 1,
         "vornic-cli: no simulated probe is attached", ""},
        {"--simulate=probes:2 --probe=all flash {dir}/missing.hex", 1,
         "flash: failed at convert (bad input: file missing)", missing},
        // A report that cannot be written is refused before any board is touched.
        {"--simulate --sim-state={dir}/state --report={dir}/no/report flash {dir}/app.hex", 2,
         "vornic-cli: cannot write the report {dir}/no/report", ""},
        {"--probe=all --repeat flash x.hex", 2, "vornic-cli: --repeat runs"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        const Result r = Run(row.args);
        EXPECT_EQ(row.status, r.status) << r.out << r.err;
        std::vector<std::string> lines;
        for (size_t at = 0, end = 0; row.lines && !row.lines->empty() && at <= row.lines->size();
             at = end + 1)
            end = std::min(row.lines->find('|', at), row.lines->size()),
            lines.push_back(In(row.lines->substr(at, end - at)));
        EXPECT_EQ(row.lines ? lines : Texts(r.out), Texts(r.out));
        EXPECT_TRUE(row.summary.empty()
                        ? r.err.empty()
                        : ("\n" + r.err).find("\n" + In(row.summary)) != std::string::npos)
            << r.err;
        EXPECT_LT(r.peakKiB, 64 * 1024);
    }
    EXPECT_FALSE(fs::exists(dir / "state"));
    // The window's version, before its toolkit (and any display) is needed.
    const Result window = clitest::RunProcess({VORNIC_PATH, "--version"});
    EXPECT_EQ(0, window.status);
    EXPECT_EQ("vornic " VORNIC_VERSION "\n", window.out);
}

// The one whole flash, then the same image again with --if-changed: verified
// and reset, neither erased nor programmed.
TEST_F(Cli, FlashThenFlashIfChanged) {
    const Result flash = Run("--simulate --sim-state={dir}/state flash {dir}/app.hex");
    EXPECT_EQ(0, flash.status);
    std::vector<std::string> want = {kOpen, kHexOk};
    want.insert(want.end(), kFlashed.begin(), kFlashed.end());
    EXPECT_EQ(want, Texts(flash.out));
    EXPECT_EQ(0u, flash.err.rfind("flash: 40 bytes sent in ", 0)) << flash.err;
    EXPECT_EQ(40u, fs::file_size(dir / "app.bin"));
    const Result again = Run("--simulate --sim-state={dir}/state flash --if-changed {dir}/app.hex");
    EXPECT_EQ(0, again.status);
    EXPECT_EQ((std::vector<std::string>{kOpen, kHexOk, "Verify address is affirmed!",
                                        "Verify length is affirmed!", "Begin to verify...",
                                        "Succeed to verify!",
                                        "vornic-cli: the target already holds the image; erase "
                                        "and programme skipped",
                                        "Succeed to set soft-reset!"}),
              Texts(again.out));
}

TEST_F(Cli, EveryProbeAtOnceOneOfThemFaulted) {
    const Result r =
        Run("--simulate=probes:4,refuse:SetLength@SIM2 --sim-state={dir}/state "
            "--probe=all --report={dir}/line.jsonl flash {dir}/app.hex");
    EXPECT_EQ(1, r.status) << r.out << r.err;
    // Converted once, then each child's lines whole, behind its name; then the table.
    std::vector<std::string> lines = Lines(r.out), table;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(kHexOk, Texts(lines[0]).at(0));
    std::map<std::string, std::vector<std::string>> texts;
    const std::regex logLine(R"(\[(SIM\d)\] \d{4}#\d\d:\d\d:\d\d:\d{3}>> (.*))");
    for (size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        if (table.empty() && std::regex_match(lines[i], m, logLine))
            texts[m[1]].push_back(m[2]);
        else
            table.push_back(lines[i]);
    }
    std::vector<std::string> pass = kFlashed;
    pass.insert(pass.begin(), kOpen);
    for (const char* probe : {"SIM0", "SIM1", "SIM3"}) EXPECT_EQ(pass, texts[probe]) << probe;
    EXPECT_EQ(
        (std::vector<std::string>{kOpen, pass[1], pass[2], "Invalid programme length!", pass[7]}),
        texts["SIM2"]);
    ASSERT_EQ(6u, table.size()) << r.out;
    EXPECT_EQ(0u, table[0].rfind("PROBE  RESULT", 0)) << table[0];
    for (int k : {0, 1, 3})
        EXPECT_EQ(0u, table[k + 1].rfind("SIM" + std::to_string(k) + "   PASS ", 0));
    EXPECT_EQ(0u, table[3].rfind("SIM2   FAIL at programme (target refused)  ", 0)) << table[3];
    EXPECT_EQ("4 boards: 3 passed, 1 failed", table[5]);
    EXPECT_NE(std::string::npos, r.err.find("[SIM2] flash: failed at programme")) << r.err;
    std::set<std::string> serials;
    for (const nlohmann::json& record : Records("line.jsonl", r.status)) {
        serials.insert(record["probe"]["serial"].get<std::string>());
        EXPECT_EQ(hex, record["file"]) << "the file named, not the .BIN the children loaded";
        EXPECT_EQ("5620dcd4c0ab4736a35122b1973e2d5d9726c378b3893234c66ff78d071b0e87",
                  record["imageSha256"]);
        EXPECT_EQ(40, record["imageBytes"]);
        EXPECT_EQ(record["probe"]["serial"] == "SIM2", record["outcome"] == "fail");
    }
    EXPECT_EQ((std::set<std::string>{"SIM0", "SIM1", "SIM2", "SIM3"}), serials);
    for (int k = 0; k < 4; ++k)  // each simulated probe keeps its own target
        EXPECT_EQ(65545u, fs::file_size(dir / ("state.SIM" + std::to_string(k)))) << k;
}

TEST_F(Cli, OneBoardAfterAnother) {
    // The simulator swaps the board after each job: five boards, no person.
    const Result swapped =
        Run("--simulate=swap-after:20 --report={dir}/boards.jsonl flash {dir}/app.hex --repeat=5");
    EXPECT_EQ(0, swapped.status) << swapped.out << swapped.err;
    // Each board logs a single run's lines; between boards the probe leaves.
    std::vector<std::string> boards, log, want;
    for (const std::string& line : Lines(swapped.out))
        (line.find(">> ") == std::string::npos ? boards : log).push_back(Texts(line)[0]);
    for (int k = 0; k < 5; ++k) {
        want.insert(want.end(), {k ? "Succeed to close device!" : kOpen, kOpen, kHexOk});
        want.insert(want.end(), kFlashed.begin(), kFlashed.end());
    }
    want.erase(want.begin());
    EXPECT_EQ(want, log);
    ASSERT_EQ(6u, boards.size()) << swapped.out;
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(0u, boards[k].rfind("board " + std::to_string(k + 1) + ": PASS (40 bytes, ", 0));
    EXPECT_EQ("5 boards: 5 passed, 0 failed", boards[5]);
    std::set<std::string> serials;
    for (const nlohmann::json& record : Records("boards.jsonl", swapped.status))
        serials.insert(record["probe"]["serial"].get<std::string>());
    EXPECT_EQ((std::set<std::string>{"SIM0", "SIM1", "SIM2", "SIM3", "SIM4"}), serials);
    // Enter starts the next board, q and Enter stops; failed boards fail the run.
    const Result typed = Run("--simulate=refuse:SetLength flash {dir}/app.hex --repeat", "\nq\n");
    EXPECT_EQ(1, typed.status);
    const std::vector<std::string> texts = Texts(typed.out);
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ("board 2: FAIL at programme (target refused)", texts[texts.size() - 2]);
    EXPECT_EQ("2 boards: 0 passed, 2 failed", texts.back());
}

TEST_F(Cli, CtrlCStopsTheLine) {
    // Sends SIGINT once `line` has appeared `times` times.
    auto once = [](const char* line, int times) {
        return [line, times, sent = false](pid_t pid, const std::string& out) mutable {
            int n = 0;
            for (size_t at = 0; (at = out.find(line, at)) != std::string::npos; ++at) ++n;
            if (!sent && n >= times) sent = kill(pid, SIGINT) == 0;
        };
    };
    // --probe=all: every child stops; their boards are named unfinished.
    const Result all =
        Run("--simulate=probes:2,latency-us:20000 --probe=all "
            "--report={dir}/stopped.jsonl flash {dir}/app.hex",
            {}, once("Programme length is affirmed!", 2));
    EXPECT_EQ(1, all.status);
    const std::vector<std::string> lines = Lines(all.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ("2 boards: 0 passed, 0 failed, 2 unfinished", lines.back());
    EXPECT_EQ(0u, lines[lines.size() - 2].rfind("SIM1   UNFINISHED", 0)) << all.out;
    const auto records = Records("stopped.jsonl", all.status);
    ASSERT_EQ(2u, records.size());
    for (const auto& record : records) EXPECT_TRUE(record.value("unfinished", false));
    // --repeat: Ctrl-C while it waits for the next board ends the run.
    const Result waiting =
        Run("--simulate flash {dir}/app.hex --repeat", {}, once("board 1: PASS", 1));
    EXPECT_EQ(0, waiting.status) << waiting.out;
    EXPECT_EQ("1 boards: 1 passed, 0 failed", Lines(waiting.out).back());
}

}  // namespace
