// vornic-cli run as a process: for each case of use, the exit status, the log
// lines, the summary on standard error and what is left on disk; and the
// simulated target carried from one run to the next.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/vornic/cli/cli_process.h"

namespace {

namespace fs = std::filesystem;
using clitest::Result;
using clitest::Texts;

Result RunCliProcess(std::vector<std::string> args) {
    args.insert(args.begin(), VORNIC_CLI_PATH);
    return clitest::RunProcess(std::move(args));
}

// 40 bytes at 0x0000 as three records, CR LF line ends.
constexpr const char* kHex =
    ":100000000102030405060708090A0B0C0D0E0F1068\r\n"
    ":100010001112131415161718191A1B1C1D1E1F2058\r\n"
    ":080020002122232425262728B4\r\n"
    ":00000001FF\r\n";

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("vornic-cli-test-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
        hex = (dir / "app.hex").string();
        state = (dir / "target.state").string();
        Write(hex, kHex);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string CopyExample(const std::string& name) const {
        fs::copy_file(fs::path(VORNIC_EXAMPLES_DIR) / name, dir / name);
        return (dir / name).string();
    }
    // "{dir}" in a text stands for the test's folder.
    std::string In(std::string text) const {
        for (size_t at; (at = text.find("{dir}")) != std::string::npos;)
            text.replace(at, 5, dir.string());
        return text;
    }
    fs::path dir;
    std::string hex, state;
};

TEST_F(CliTest, OutcomesOfEachCase) {
    const std::vector<std::string> any = {"(not checked)"};
    const std::string ok = "Succeed to open device!";
    const std::string converted = "Succeed to trans file from .HEX to .BIN.";
    // 300 characters: a folder, then a file name that still holds ".hex" at 259.
    const fs::path folder = dir / std::string(100, 'd');
    const fs::path longName =
        folder / ("fw.hex" + std::string(300 - folder.string().size() - 7, '~'));
    const std::string longPath = longName.string();
    const std::string ram = "Please disable read-protect at first...";
    struct Row {
        const char* why;
        std::vector<std::string> args;  // "{dir}" is the folder of app.hex
        int status;
        std::vector<std::string> lines;  // the log's texts in order (English), or `any`
        std::string summary;             // a line of standard error ("" for none at all)
        std::function<void()> before = {};
        std::function<void(const Result&)> after = {};
    };
    const Row rows[] = {
        {"a whole flash",
         {"--simulate", "flash", "{dir}/app.hex"},
         0,
         {ok, converted, "Succeed to clear-all!", "Programme address is affirmed!",
          "Programme length is affirmed!", "Begin to programme and verify...",
          "Succeed to programme!", "Succeed to verify!", "Succeed to set soft-reset!"},
         "flash: 40 bytes sent in ",
         {},
         [&](const Result&) { EXPECT_EQ(40u, fs::file_size(dir / "app.bin")); }},
        {"a missing file fails the run; the ticked steps still run",
         {"--simulate", "flash", "--no-programme", "--no-verify", "{dir}/missing.hex"},
         1,
         {ok, "Not choose file{dir}/missing.hex", "Succeed to clear-all!",
          "Succeed to set soft-reset!"},
         "flash: failed at convert (bad input: file missing)"},
        {"an invalid HEX fails the run",
         {"--simulate", "flash", "--no-programme", "--no-verify", "--no-reset", "{dir}/bad.hex"},
         1,
         {ok, "Invalid .HEX!", "Succeed to clear-all!"},
         "flash: failed at convert (bad input: not valid firmware)",
         [&] { Write(dir / "bad.hex", ":0100000001FE\n:00000001FF\n"); }},
        {"an ELF linked for SRAM is not sent to flash: nothing is sent",
         {"--simulate", "flash", "{dir}/blink-sram.elf"},
         1,
         {ok, "Succeed to trans file from .ELF to .BIN.",
          "Image is linked at 0x20000000 but the start address is 0x08000000"},
         "flash: failed at programme (bad input: linked for another address)",
         [&] { CopyExample("blink-sram.elf"); }},
        {"--probe=all checks the ELF before its children flash the .BIN",
         {"--simulate=probes:2", "--probe=all", "flash", "{dir}/blink-sram.elf"},
         1,
         {"Succeed to trans file from .ELF to .BIN.",
          "Image is linked at 0x20000000 but the start address is 0x08000000"},
         "flash: failed at programme (bad input: linked for another address)",
         [&] { CopyExample("blink-sram.elf"); }},
        {"a long path is used whole, not a file named by its first 259 characters",
         {"--simulate", "flash", "--no-verify", "--no-reset", longPath},
         0,
         {ok, converted, "Succeed to clear-all!", "Programme address is affirmed!",
          "Programme length is affirmed!", "Begin to programme...", "Succeed to programme!"},
         "flash: 40 bytes sent in ",
         [&] {
             fs::create_directory(folder);
             Write(longName, kHex);
             Write(longPath.substr(0, 259), ":0400000001020304F2\r\n:00000001FF\r\n");
         },
         [&](const Result&) { EXPECT_EQ(40u, fs::file_size(folder / "fw.bin")); }},
        {"--if-changed without a file: its lines once",
         {"--simulate", "flash", "--if-changed", "{dir}/missing.hex"},
         1,
         {ok, "Not choose file{dir}/missing.hex", "The data file is invalid!"},
         "flash: failed at convert (bad input: file missing)"},
        {"--if-changed without a probe: its lines once",
         {"--simulate=absent", "flash", "--if-changed", "{dir}/app.hex"},
         1,
         {converted, "No device connection detected!"},
         "flash: failed at status (transport failure: no probe) after 0 of 40 bytes"},
        {"a target that holds other content",
         {"--simulate", "verify", "{dir}/app.hex"},
         1,
         any,
         "verify: failed at verify (target refused: content differs) after 40 of 40 bytes"},
        {"a protected target",
         {"--simulate=protected", "flash", "{dir}/app.hex"},
         1,
         {ok, converted, ram},
         "flash: failed at status (target refused: read-protected)"},
        {"a .BIN name that links to the source is replaced, the source survives",
         {"convert", "{dir}/app.hex"},
         0,
         {converted},
         "",
         [&] { fs::create_symlink(dir / "app.hex", dir / "app.bin"); },
         [&](const Result&) {
             EXPECT_EQ(kHex, ReadAll(dir / "app.hex"));
             EXPECT_FALSE(fs::is_symlink(dir / "app.bin"));
             EXPECT_EQ(40u, fs::file_size(dir / "app.bin"));
         }},
        {"a 2 GB HEX is read only up to its end record",
         {"convert", "{dir}/app.hex"},
         0,
         {converted},
         "",
         [&] { fs::resize_file(dir / "app.hex", 2ull << 30); },
         [&](const Result& r) { EXPECT_LT(r.peakKiB, 64 * 1024); }},
        {"a 2 GB .bin is refused by its size",
         {"convert", "{dir}/big.bin"},
         1,
         {"The file can not beyond 614400 bytes"},
         "convert: failed at convert (bad input: image too large)",
         [&] { Write(dir / "big.bin", ""), fs::resize_file(dir / "big.bin", 2ull << 30); },
         [&](const Result& r) { EXPECT_LT(r.peakKiB, 64 * 1024); }},
        {"-- ends the options",
         {"convert", "--", "-odd.hex"},
         1,
         {"Not choose file-odd.hex"},
         "convert: failed at convert (bad input: file missing)"},
        {"-- ends the options", {"--", "-odd.hex"}, 2, {}, "vornic-cli: unknown command -odd.hex"},
        {"a refused reset fails protect",
         {"--simulate=refuse:SoftReset", "protect"},
         1,
         {ok, "Succeed to enable read-protect!", "Fail to set soft-reset!"},
         "protect: failed at reset (target refused: result not accepted)"},
        {"an unanswered reset fails unprotect",
         {"--simulate=no-reply:SoftReset", "unprotect"},
         1,
         {ok, "Succeed to disable read-protect!"},
         "unprotect: failed at reset (transport failure: no reply)"},
        {"a reset answered with a wrong marker",
         {"--simulate=bad-marker:SoftReset", "protect"},
         1,
         {ok, "Succeed to enable read-protect!"},
         "protect: failed at reset (target refused: wrong marker)"},
        {"an unanswered reset says so",
         {"--simulate=no-reply:SoftReset", "reset"},
         1,
         {ok},
         "reset: failed at reset (transport failure: no reply)"},
        {"reset", {"--simulate", "reset"}, 0, {ok, "Succeed to set soft-reset!"}, ""},
        {"status", {"--simulate", "status"}, 0, {ok, "【Read-Protect is disable】"}, ""},
        {"no probe",
         {"--simulate=absent", "reset"},
         1,
         {"No device connection detected!"},
         "reset: failed at reset (transport failure: no probe)"},
        {"no probe on USB",
         {"status"},
         1,
         any,
         "status: failed at status (transport failure: no probe)"},
        {"the state file is written beside it, never through a link",
         {"--simulate", "--sim-state={dir}/target.state", "--quiet", "flash", "--no-verify",
          "{dir}/app.hex"},
         0,
         any,
         "",
         [&] {
             Write(dir / "victim", "keep");
             fs::create_symlink(dir / "victim", dir / "target.state.tmp");
         },
         [&](const Result&) {
             EXPECT_EQ("keep", ReadAll(dir / "victim"));
             EXPECT_EQ(65545u, fs::file_size(dir / "target.state"));
             std::set<std::string> names;
             for (const auto& entry : fs::directory_iterator(dir))
                 names.insert(entry.path().filename().string());
             EXPECT_EQ((std::set<std::string>{"app.hex", "app.bin", "victim", "target.state.tmp",
                                              "target.state"}),
                       names);
         }},
        {"version", {"--version"}, 0, {"vornic-cli " VORNIC_VERSION}, ""},
        {"usage", {"--help"}, 0, any, ""},
        {"usage", {}, 2, {}, "vornic-cli: no command given"},
        {"usage", {"--simulate", "frobnicate"}, 2, {}, "vornic-cli: unknown command"},
        {"usage", {"--simulate", "flash"}, 2, {}, "vornic-cli: flash takes one FILE"},
        {"usage", {"--lang=fr", "status"}, 2, {}, "vornic-cli: --lang takes zh or en"},
        {"usage", {"flash", "{dir}/app.hex", "--address=0x1234"}, 2, {}, "vornic-cli: --address"},
        {"usage", {"status", "--no-erase"}, 2, {}, "vornic-cli: --no-* options belong to flash"},
        {"usage", {"--usb-id=1a86", "list"}, 2, {}, "vornic-cli: --usb-id takes"},
        {"usage", {"--sim-state=", "flash", "x.hex"}, 2, {}, "vornic-cli: --sim-state= needs"},
        {"usage", {"list", "extra"}, 2, {}, "vornic-cli: list takes no argument"},
        {"the simulated bus, one probe absent",
         {"--simulate=probes:3,absent@SIM1", "list"},
         0,
         {"INDEX  BUS-PORT    SERIAL                USB-ID",
          "0      sim-0       SIM0                  1a86:8010",
          "1      sim-2       SIM2                  1a86:8010"},
         ""},
        {"--probe=all without a probe",
         {"--simulate=absent", "--probe=all", "flash", "{dir}/app.hex"},
         1,
         {},
         "vornic-cli: no simulated probe is attached"},
        {"--probe=all converts once, first, and starts no child when that fails",
         {"--simulate=probes:2", "--probe=all", "flash", "{dir}/missing.hex"},
         1,
         {"Not choose file{dir}/missing.hex"},
         "flash: failed at convert (bad input: file missing)"},
        {"a report that cannot be written is refused before any board is touched",
         {"--simulate", "--sim-state={dir}/target.state", "--report={dir}/no/report", "flash",
          "{dir}/app.hex"},
         2,
         {},
         "vornic-cli: cannot write the report {dir}/no/report",
         {},
         [&](const Result&) { EXPECT_FALSE(fs::exists(dir / "target.state")); }},
        {"usage", {"--repeat", "status"}, 2, {}, "vornic-cli: --probe=all, --repeat and --report"},
        {"usage",
         {"--probe=all", "--repeat", "flash", "x.hex"},
         2,
         {},
         "vornic-cli: --repeat runs"},
        {"usage", {"--repeat=0", "flash", "x.hex"}, 2, {}, "vornic-cli: --repeat takes a number"},
        {"usage",
         {"--simulate=probes:4,refuse:SetLength@SIM4", "flash", "x.hex"},
         2,
         {},
         "vornic-cli: bad simulator option \"refuse:SetLength@SIM4\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        TearDown();
        SetUp();
        if (row.before) row.before();
        std::vector<std::string> args = {"--lang=en"};
        for (const std::string& a : row.args) args.push_back(In(a));
        const Result r = RunCliProcess(args);
        EXPECT_EQ(row.status, r.status) << r.out << r.err;
        if (row.lines != any) {
            std::vector<std::string> want;
            for (const std::string& line : row.lines) want.push_back(In(line));
            EXPECT_EQ(want, Texts(r.out));
        }
        EXPECT_EQ(std::string::npos, r.out.find('\r'));
        if (row.summary.empty())
            EXPECT_EQ("", r.err);
        else
            EXPECT_NE(std::string::npos, ("\n" + r.err).find("\n" + In(row.summary))) << r.err;
        if (row.after) row.after(r);
    }
    // The window's version, before its toolkit (and any display) is needed.
    const Result window = clitest::RunProcess({VORNIC_PATH, "--version"});
    EXPECT_EQ(0, window.status);
    EXPECT_EQ("vornic " VORNIC_VERSION "\n", window.out);
}

TEST_F(CliTest, FlashThenVerifyThroughTheStateFile) {
    // The ELF flashed, then the HEX of the same program verified.
    const std::string elf = CopyExample("blink.elf"), blinkHex = CopyExample("blink.hex");
    Result verifyBlank =
        RunCliProcess({"--simulate", "--sim-state=" + state, "--quiet", "verify", blinkHex});
    EXPECT_EQ(1, verifyBlank.status);
    EXPECT_TRUE(verifyBlank.err.empty()) << verifyBlank.err;

    Result flash = RunCliProcess({"--simulate", "--sim-state=" + state, "flash", elf});
    ASSERT_EQ(0, flash.status) << flash.out;
    Result verify = RunCliProcess({"--simulate", "--sim-state=" + state, "verify", blinkHex});
    EXPECT_EQ(0, verify.status) << verify.out;
    auto lines = Texts(verify.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("校验成功!", lines.back());
    EXPECT_EQ(std::string::npos, verify.out.find("全部擦除"));
}

TEST_F(CliTest, IfChangedSkipsEraseAndProgrammeWhenTheImageIsThere) {
    const std::string simState = "--sim-state=" + state;
    Result first =
        RunCliProcess({"--simulate", simState, "--lang=en", "flash", "--if-changed", hex});
    ASSERT_EQ(0, first.status) << first.out;
    EXPECT_NE(std::string::npos, first.out.find("Succeed to clear-all!"));
    EXPECT_EQ(std::string::npos, first.out.find("skipped"));

    Result second =
        RunCliProcess({"--simulate", simState, "--lang=en", "flash", "--if-changed", hex});
    EXPECT_EQ(0, second.status) << second.out;
    auto lines = Texts(second.out);
    EXPECT_EQ(std::string::npos, second.out.find("clear-all"));
    EXPECT_EQ(std::string::npos, second.out.find("Begin to programme"));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ("Succeed to verify!", lines[lines.size() - 3]);
    EXPECT_NE(std::string::npos, lines[lines.size() - 2].find("skipped"));
    EXPECT_EQ("Succeed to set soft-reset!", lines.back());
}

// The lines of a text.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Every record of a report, each with the fields a record has; the run's exit
// status agrees with their outcomes.
std::vector<nlohmann::json> Records(const fs::path& path, int status) {
    std::vector<nlohmann::json> records;
    bool allPassed = true;
    for (const std::string& line : Lines(ReadAll(path))) {
        nlohmann::json r = nlohmann::json::parse(line, nullptr, false);
        EXPECT_TRUE(r.is_object()) << line;
        if (!r.is_object()) continue;
        EXPECT_TRUE(std::regex_match(r.value("time", ""),
                                     std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
            << line;
        for (const char* key : {"serial", "busPort"}) EXPECT_TRUE(r["probe"].contains(key)) << line;
        for (const char* key : {"file", "imageBytes", "imageSha256", "address", "seconds"})
            EXPECT_TRUE(r.contains(key)) << key;
        EXPECT_EQ("vornic-cli", r["tool"].value("name", ""));
        EXPECT_EQ(VORNIC_VERSION, r["tool"].value("version", ""));
        bool stepsOk = true;
        for (const auto& step : r["steps"]) {
            stepsOk = stepsOk && step["ok"].get<bool>();
            EXPECT_EQ(!step["ok"].get<bool>(), step.contains("kind")) << line;
        }
        EXPECT_EQ(stepsOk && !r.contains("unfinished") ? "pass" : "fail", r["outcome"]) << line;
        allPassed = allPassed && r["outcome"] == "pass";
        records.push_back(std::move(r));
    }
    EXPECT_EQ(allPassed, status == 0);
    return records;
}

// SHA-256 of the 40-byte image of kHex (as sha256sum gives it).
constexpr const char* kImageSha256 =
    "5620dcd4c0ab4736a35122b1973e2d5d9726c378b3893234c66ff78d071b0e87";

TEST_F(CliTest, EveryProbeAtOnceOneOfThemFaulted) {
    const fs::path report = dir / "line.jsonl";
    const Result r = RunCliProcess({"--lang=en", "--simulate=probes:4,refuse:SetLength@SIM2",
                                    "--sim-state=" + state, "--probe=all",
                                    "--report=" + report.string(), "flash", hex});
    EXPECT_EQ(1, r.status) << r.out << r.err;
    // Each child's lines whole, behind its name, and in a single run's order.
    const std::regex logLine(R"(\[(SIM\d)\] \d{4}#\d\d:\d\d:\d\d:\d{3}>> (.*))");
    std::map<std::string, std::vector<std::string>> texts;
    std::vector<std::string> lines = Lines(r.out), table;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("Succeed to trans file from .HEX to .BIN.", Texts(lines[0]).at(0))
        << "converted once";
    for (size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        if (table.empty() && std::regex_match(lines[i], m, logLine))
            texts[m[1]].push_back(m[2]);
        else
            table.push_back(lines[i]);
    }
    const std::vector<std::string> pass = {"Succeed to open device!",
                                           "Succeed to clear-all!",
                                           "Programme address is affirmed!",
                                           "Programme length is affirmed!",
                                           "Begin to programme and verify...",
                                           "Succeed to programme!",
                                           "Succeed to verify!",
                                           "Succeed to set soft-reset!"};
    for (const char* probe : {"SIM0", "SIM1", "SIM3"}) EXPECT_EQ(pass, texts[probe]) << probe;
    EXPECT_EQ(
        (std::vector<std::string>{pass[0], pass[1], pass[2], "Invalid programme length!", pass[7]}),
        texts["SIM2"]);
    ASSERT_EQ(6u, table.size()) << r.out;
    EXPECT_EQ(0u, table[0].rfind("PROBE  RESULT", 0)) << table[0];
    for (int k : {0, 1, 3})
        EXPECT_EQ(0u, table[k + 1].rfind("SIM" + std::to_string(k) + "   PASS ", 0))
            << table[k + 1];
    EXPECT_EQ(0u, table[3].rfind("SIM2   FAIL at programme (target refused)  ", 0)) << table[3];
    EXPECT_EQ("4 boards: 3 passed, 1 failed", table[5]);
    EXPECT_NE(std::string::npos, r.err.find("[SIM2] flash: failed at programme")) << r.err;

    std::set<std::string> serials;
    for (const nlohmann::json& record : Records(report, r.status)) {
        serials.insert(record["probe"]["serial"].get<std::string>());
        EXPECT_EQ(hex, record["file"]) << "the file named, not the .BIN the children loaded";
        EXPECT_EQ(kImageSha256, record["imageSha256"]);
        EXPECT_EQ(40, record["imageBytes"]);
        EXPECT_EQ(record["probe"]["serial"] == "SIM2", record["outcome"] == "fail");
    }
    EXPECT_EQ((std::set<std::string>{"SIM0", "SIM1", "SIM2", "SIM3"}), serials);
    // Each simulated probe keeps its own target.
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(65545u, fs::file_size(state + ".SIM" + std::to_string(k))) << k;
}

TEST_F(CliTest, OneBoardAfterAnother) {
    // The simulator swaps the board after each job: five boards, no person.
    const fs::path report = dir / "boards.jsonl";
    const Result swapped =
        RunCliProcess({"--lang=en", "--simulate=swap-after:20", "--report=" + report.string(),
                       "flash", hex, "--repeat=5"});
    EXPECT_EQ(0, swapped.status) << swapped.out << swapped.err;
    // Each board logs a single run's lines; between boards the probe leaves.
    std::vector<std::string> boards, log, want;
    for (const std::string& line : Lines(swapped.out))
        (line.find(">> ") == std::string::npos ? boards : log).push_back(Texts(line)[0]);
    const std::vector<std::string> single = {
        "Succeed to open device!",       "Succeed to trans file from .HEX to .BIN.",
        "Succeed to clear-all!",         "Programme address is affirmed!",
        "Programme length is affirmed!", "Begin to programme and verify...",
        "Succeed to programme!",         "Succeed to verify!",
        "Succeed to set soft-reset!"};
    for (int k = 0; k < 5; ++k) {
        if (k > 0) want.push_back("Succeed to close device!");
        want.insert(want.end(), single.begin(), single.end());
    }
    EXPECT_EQ(want, log);
    ASSERT_EQ(6u, boards.size()) << swapped.out;
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(0u, boards[k].rfind("board " + std::to_string(k + 1) + ": PASS (40 bytes, ", 0));
    EXPECT_EQ("5 boards: 5 passed, 0 failed", boards[5]);
    std::set<std::string> serials;
    for (const nlohmann::json& record : Records(report, swapped.status))
        serials.insert(record["probe"]["serial"].get<std::string>());
    EXPECT_EQ((std::set<std::string>{"SIM0", "SIM1", "SIM2", "SIM3", "SIM4"}), serials);

    // Enter starts the next board, q and Enter stops; failed boards fail the run.
    const Result typed = clitest::RunProcess(
        {VORNIC_CLI_PATH, "--lang=en", "--simulate=refuse:SetLength", "flash", hex, "--repeat"}, 60,
        "\nq\n");
    EXPECT_EQ(1, typed.status);
    const std::vector<std::string> end = {
        "board 1: FAIL at programme (target refused)", "Succeed to set soft-reset!",
        "board 2: FAIL at programme (target refused)", "2 boards: 0 passed, 2 failed"};
    const std::vector<std::string> texts = Texts(typed.out);
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(end[2], texts[texts.size() - 2]);
    EXPECT_EQ(end[3], texts.back());
}

TEST_F(CliTest, CtrlCStopsTheLine) {
    const fs::path report = dir / "stopped.jsonl";
    // --probe=all: every child stops; their boards are named unfinished.
    auto once = [](const char* line, int times) {
        return [line, times, sent = false](pid_t pid, const std::string& out) mutable {
            size_t n = 0;
            for (size_t at = 0; (at = out.find(line, at)) != std::string::npos; ++at) ++n;
            if (!sent && n >= static_cast<size_t>(times)) sent = kill(pid, SIGINT) == 0;
        };
    };
    const Result all =
        clitest::RunProcess({VORNIC_CLI_PATH, "--lang=en", "--simulate=probes:2,latency-us:20000",
                             "--probe=all", "--report=" + report.string(), "flash", hex},
                            60, {}, once("Programme length is affirmed!", 2));
    EXPECT_EQ(1, all.status);
    const std::vector<std::string> lines = Lines(all.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ("2 boards: 0 passed, 0 failed, 2 unfinished", lines.back());
    EXPECT_EQ(0u, lines[lines.size() - 2].rfind("SIM1   UNFINISHED", 0)) << all.out;
    const auto records = Records(report, all.status);
    ASSERT_EQ(2u, records.size());
    for (const auto& record : records) EXPECT_TRUE(record.value("unfinished", false));

    // --repeat: Ctrl-C while it waits for the next board ends the run.
    const Result waiting =
        clitest::RunProcess({VORNIC_CLI_PATH, "--lang=en", "--simulate", "flash", hex, "--repeat"},
                            60, {}, once("board 1: PASS", 1));
    EXPECT_EQ(0, waiting.status) << waiting.out;
    EXPECT_EQ("1 boards: 1 passed, 0 failed", Lines(waiting.out).back());
}

}  // namespace
