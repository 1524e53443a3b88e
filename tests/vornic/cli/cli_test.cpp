// vornic-cli run as a process: the exit status and summary of each case, one
// whole flash line by line, --if-changed, and the production line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "tests/support/process.h"
#include "tests/vornic/image/hex_records.h"

namespace {

namespace fs = std::filesystem;
using testproc::Result;
using Texts = std::vector<std::string>;

using hextest::Record, hextest::kEnd;
const std::string& kHex = hextest::kApp;
// The SHA-256 of kHex's image.
const std::string kImageSha256 = "5620dcd4c0ab4736a35122b1973e2d5d9726c378b3893234c66ff78d071b0e87";
// A whole flash as a --probe=all child logs it, and as a run that converts first.
const Texts kFlashed = testproc::Texts(
    "Succeed to open device!\nSucceed to clear-all!\nProgramme address is affirmed!\n"
    "Programme length is affirmed!\nBegin to programme and verify...\nSucceed to programme!\n"
    "Succeed to verify!\nSucceed to set soft-reset!");
const std::string kOpen = kFlashed[0], kHexOk = "Succeed to trans file from .HEX to .BIN.";
// Where a usage error sends the user, in English and in Chinese.
const std::string kTry = "\nTry 'vornic-cli --help'.\n",
                  kTryZh = "\n请运行 'vornic-cli --help' 查看用法。\n";
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

using Bytes = std::vector<uint8_t>;
Texts Concat(Texts a, const Texts& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
// A verify's lines up to its outcome, and those of one that fails.
const Texts kVerify = {kOpen, kHexOk, "Verify address is affirmed!", "Verify length is affirmed!",
                       "Begin to verify..."},
            kVerifyFails = Concat(kVerify, {"Fail to verify!"});
std::string ReadAll(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
    Result Run(const std::string& line, testproc::Watch watch = {}, testproc::Io io = {}) {
        std::vector<std::string> args = {VORNIC_CLI_PATH, "--lang=en"};
        std::istringstream words(line);
        for (std::string word; words >> word;) args.push_back(word);
        Result r = testproc::RunProcess(args, 60, std::move(watch), io);
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
            bool pass = !r.contains("unfinished") && !r.contains("writeFailure");
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
    std::ofstream("bad.hex") << ":0100000001FE\r:00000001FF\r";
    std::ofstream("raw.bin") << kHex.substr(0, 40);
    fs::copy_file("app.hex", "huge.hex");
    fs::resize_file("huge.hex", 2ull << 30);
    std::ofstream("big.bin").close();
    fs::resize_file("big.bin", 2ull << 30);
    const struct {
        std::string args;
        int status;
        std::string summary;              // the start of a line of standard error, "" for none
        std::optional<Texts> lines = {};  // the texts of standard output
        std::string logged = {};          // a text standard output holds, in any order
    } rows[] = {
        // The steps ticked still run, yet the first failure decides.
        {"--simulate flash --no-programme --no-verify missing.hex", 1, noFile,
         Texts{kOpen, missing, "Succeed to clear-all!", "Succeed to set soft-reset!"}},
        {"--simulate flash --no-programme --no-verify --no-reset bad.hex", 1,
         "flash: failed at convert (bad input: not valid firmware, line 1: line end CR without "
         "LF)"},
        {"convert raw.bin", 0, "",
         Texts{"vornic-cli: raw.bin is already a binary image (40 bytes); nothing written"}},
        {"--simulate verify --if-changed app.hex", 2, "vornic-cli: --if-changed belongs to flash",
         Texts{}},
        {"--simulate=unplug-after:0 status", 2,
         "vornic-cli: bad simulator option \"unplug-after:0\": unplug-after:N: the probe is "
         "removed after N data packets; N from 1 to 4294967295",
         Texts{}},
        {"--simulate flash" + sram, 1, linked},
        {"--simulate=probes:2 --probe=all flash" + sram, 1, linked},
        {"--simulate=absent flash --if-changed app.hex", 1,
         "flash: failed at status (transport failure: no probe) after 0 of 40 bytes",
         Texts{kHexOk, "No device connection detected!"}},
        // The removal during the job is logged, beside the job's lines, before the end.
        {"--simulate=unplug-after:1 flash blink.hex",
         1,
         "flash: failed at programme (transport failure: probe removed) after 64 of 124 bytes",
         {},
         ">> Succeed to close device!\n"},
        {"--simulate verify app.hex", 1,
         "verify: failed at verify (target refused: content differs) after 40 of 40 bytes",
         kVerifyFails},
        {"--simulate=protected flash app.hex", 1,
         "flash: failed at status (target refused: read-protected)"},
        {"convert huge.hex", 0, "", Texts{kHexOk}},  // read only up to its end record
        {"convert big.bin", 1, "convert: failed at convert (bad input: image too large)"},
        {"-- -odd.hex", 2, "vornic-cli: unknown command -odd.hex", Texts{}},  // -- ends the options
        {"--simulate status", 0, "", Texts{kOpen, "【Read-Protect is disable】"}},
        {"-q --simulate verify app.hex", 1, ""},  // no summary
        {"--lang=zh --simulate verify app.hex", 1,
         "verify: 失败于校验（目标拒绝：内容不一致），已发送 40/40 字节，"},
        {"--bogus status", 2, "vornic-cli: unknown option --bogus", Texts{}},
        // A flag never takes a value: "--dry-run=0" must not flash.
        {"--simulate flash --dry-run=0 app.hex", 2, "vornic-cli: --dry-run takes no value",
         Texts{}},
        {"--lang=zh status --probe", 2, "vornic-cli: --probe 需要一个值", Texts{}},
        {"--lang=zh --bogus status", 2, "vornic-cli: 未知选项 --bogus", Texts{}},
        {"--lang=zh --trace=. status", 2, "vornic-cli: 无法写入跟踪文件 .：不是普通文件", Texts{}},
        {"status app.hex", 2, "vornic-cli: status takes no argument", Texts{}},
        {"--json flash app.hex", 2, "vornic-cli: --json belongs to status", Texts{}},
        {"help nosuch", 2, "vornic-cli: unknown command nosuch", Texts{}},
        {"-V", 0, "", Texts{"vornic-cli " VORNIC_VERSION}},
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
        Texts lines = row.lines.value_or(testproc::Texts(r.out));
        EXPECT_EQ(lines, testproc::Texts(r.out));
        EXPECT_NE(std::string::npos, r.out.find(row.logged)) << r.out;
        EXPECT_TRUE(row.summary.empty()
                        ? r.err.empty()
                        : ("\n" + r.err).find("\n" + row.summary) != std::string::npos)
            << r.err;
        EXPECT_LT(r.peakKiB, 64 * 1024);
        // Bad usage: the complaint and where to look, not the whole usage.
        if (row.status == 2) {
            EXPECT_EQ(2, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
            EXPECT_TRUE(r.err.ends_with(row.args.starts_with("--lang=zh") ? kTryZh : kTry))
                << r.err;
        }
    }
    EXPECT_FALSE(fs::exists("state"));
}

// Outputs that cannot be written, or would land in the wrong place: each is told, and
// fails the run; a closed standard stream takes no file's place.
TEST_F(Cli, OutputsThatCannotBeWritten) {
    const auto fileLimit = [](rlim_t bytes) {
        return [bytes] {
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit{bytes, RLIM_INFINITY};
            setrlimit(RLIMIT_FSIZE, &limit);
        };
    };
    const std::string full = "vornic-cli: cannot write the trace t.trace: File too large",
                      refused = "failed at verify (target refused: result not accepted)";
    const struct {
        std::string args;
        int status;
        std::string said;  // the start of a line of standard error
        std::function<void()> child = {};
        std::optional<Texts> lines = {};
    } rows[] = {
        {"--simulate --report=r.jsonl --trace=t.trace flash app.hex", 0, "",
         [] { close(1), close(2); }},
        {"--simulate --sim-state=state --report=r.jsonl flash app.hex", 1,
         "vornic-cli: cannot save the simulator state state: File too large", fileLimit(16384)},
        {"--simulate --trace=t.trace flash app.hex", 1, full, fileLimit(50), Texts{}},
        {"--lang=zh --simulate --trace=t.trace flash app.hex", 1,
         "vornic-cli: 无法写入跟踪文件 t.trace：File too large", fileLimit(300)},
        {"--simulate --sim-state=f.state status", 2,
         "vornic-cli: not a simulator state file: f.state"},
        // A refusal says nothing of the content: nothing is erased or programmed.
        {"--simulate=refuse:data --sim-state=held flash --if-changed app.hex",
         1,
         "flash: " + refused,
         {},
         kVerifyFails},
        {"--simulate list", 1, "vornic-cli: cannot write the standard output: No space left",
         [] { dup2(open("/dev/full", O_WRONLY), 1); }},
    };
    const std::regex kTraceLine("#.*|\\d+ [12] (out|in) \\d+ \\d+ [a-z-]+( [0-9a-f]{2})*");
    mkfifo("f.state", 0644);
    ASSERT_EQ(0, Run("--simulate --sim-state=held flash app.hex").status);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        fs::remove("r.jsonl"), fs::remove("t.trace");
        const Result r = Run(row.args, {}, {.child = row.child});
        EXPECT_EQ(row.status, r.status) << r.out << r.err;
        EXPECT_EQ(row.said.empty(), r.err.empty()) << r.err;
        EXPECT_NE(std::string::npos, ("\n" + r.err).find("\n" + row.said)) << r.err;
        EXPECT_EQ(row.lines.value_or(testproc::Texts(r.out)), testproc::Texts(r.out));
        EXPECT_EQ(fs::exists("r.jsonl") ? 1u : 0u, Records("r.jsonl").size());
        // The record agrees with the exit status.
        for (const auto& [serial, record] : Records("r.jsonl"))
            EXPECT_EQ(r.status == 0 ? "pass" : "fail", record["outcome"]);
        std::ifstream trace("t.trace");  // whole when the run passed
        for (std::string line; r.status == 0 && std::getline(trace, line);)
            EXPECT_TRUE(std::regex_match(line, kTraceLine)) << line;
    }
}

// What each front-end case does to a target holding a known image: refused
// before anything changes it, or run as far as it should.
TEST_F(Cli, NothingChangesTheTargetUntilTheJobIsKnownPossible) {
    // The one whole flash: the target then holds app.hex.
    const Result flash = Run("--simulate --sim-state=state flash app.hex");
    ASSERT_EQ(0, flash.status);
    EXPECT_EQ(kWhole, testproc::Texts(flash.out));
    EXPECT_EQ(0u, flash.err.rfind("flash: 40 bytes sent in ", 0)) << flash.err;
    EXPECT_TRUE(flash.err.ends_with(" B/s)\n")) << flash.err;  // below 1 KB/s
    const std::string known = ReadAll("state");
    std::string big;  // 65,792 bytes: 256 more than the flash holds
    for (uint32_t at = 0; at < 0x10100; at += 16) {
        if (at % 0x10000 == 0) big += Record(4, 0, {0x08, uint8_t(at >> 16)});
        big += Record(0, uint16_t(at), Bytes(16, 0x5A));
    }
    std::ofstream("big.hex", std::ios::binary) << big << kEnd;
    std::ofstream("boot.hex", std::ios::binary)  // an application behind a bootloader
        << Record(4, 0, {0x08, 0x00}) << Record(0, 0x8000, Bytes(16, 1)) << kEnd;
    std::ofstream("sram.hex", std::ios::binary)
        << Record(4, 0, {0x20, 0x00}) << Record(0, 0, Bytes(16, 2)) << kEnd;
    // app.hex's 40 bytes, erased bytes to the end of the first packet, then others.
    std::ofstream("other.hex", std::ios::binary)
        << kHex.substr(0, kHex.size() - kEnd.size()) << Record(0, 0x28, Bytes(24, 0xFF))
        << Record(0, 0x40, Bytes(8, 3)) << kEnd;
    ASSERT_EQ(0, mkfifo("fifo", 0600));
    const std::string kBig = "The file can not beyond 65536 bytes",
                      kBoot = "Image is linked at 0x08008000 but the start address is 0x08000000";
    int input[2];
    ASSERT_EQ(0, pipe2(input, O_CLOEXEC));
    // Between two boards the file goes away, then Enter starts the next.
    const testproc::Watch breakFileAfterBoard1 = [&](pid_t, const std::string& out) {
        if (input[1] < 0 || out.find("board 1: ") == std::string::npos) return;
        fs::remove("app.hex");
        EXPECT_EQ(1, write(input[1], "\n", 1));
        close(input[1]), input[1] = -1;
    };
    const struct {
        std::string args;
        int status;
        Texts lines;                 // the log's texts
        std::string summary;         // a line of standard error starts so; "" for none
        bool untouched = true;       // the state file is as it was
        nlohmann::json record = {};  // fields of the last record in r.jsonl
        Texts plain = {};            // other lines of standard output, cut to these
        testproc::Watch watch = {};
        testproc::Io io = {};
    } rows[] = {
        {"--report=r.jsonl flash big.hex",
         1,
         {kOpen, kHexOk, kBig},
         "flash: failed at programme (bad input: image too large) after 0 of 65792 bytes",
         true,
         {{"outcome", "fail"}, {"bytesSent", 0}}},
        {"--address=0x20000000 flash sram.hex",
         0,
         {kOpen, kHexOk, kFlashed[2], kFlashed[3], kFlashed[4], kFlashed[5], kFlashed[6],
          kFlashed[7]},
         "flash: 16 bytes sent"},
        {"--address=0x20000000 --erase flash --no-programme --no-verify sram.hex",
         0,
         {kOpen, kHexOk, kFlashed[1], kFlashed[7]},
         "",
         false},
        {"flash boot.hex", 1, {kOpen, kHexOk, kBoot}, "flash: failed at programme (bad input"},
        {"flash missing.hex", 1, {kOpen, "Not choose filemissing.hex"}, "flash: failed at convert"},
        {"--report=r.jsonl --repeat=2 flash app.hex",
         1,
         Concat(kWhole, {"Not choose fileapp.hex"}),
         "",
         true,
         {{"steps", {{{"step", "convert"}, {"ok", false}, {"kind", "bad-input"}}}}},
         {"board 1: PASS", "board 2: FAIL at convert (bad input)", "2 boards: 1 passed, 1 failed"},
         breakFileAfterBoard1,
         {.input = input[0]}},
        {"--report=r.jsonl flash app.hex",
         0,
         {},
         "flash: 40 bytes sent",
         true,
         {{"outcome", "pass"}},
         {},
         {},
         {.outputGone = true}},  // a reader that left at once
        {"--report=fifo flash app.hex", 2, {}, "vornic-cli: cannot write the report fifo: "},
        {"--trace=fifo flash app.hex",
         2,
         {},
         "vornic-cli: cannot write the trace fifo: not a regular file"},
        {"--report=r.jsonl flash --dry-run other.hex",
         0,
         {kOpen, kHexOk},
         "",
         true,
         {{"dryRun", true}, {"outcome", "pass"}},
         {"vornic-cli: dry run: would erase, programme, verify and reset at 0x08000000: 72 "
          "bytes, SHA-256 286eebcaad9072c764a3d395ab0f020ab215b800c363213e15b5df3d859fc45a"}},
        {"--report=r.jsonl verify other.hex",
         1,
         kVerifyFails,
         "verify: failed at verify (target refused: content differs) after 72 of 72 bytes",
         true,
         {{"firstDifference", "0x08000040"}}},
        {"erase", 0, {kOpen, kFlashed[1]}, "", false},
        // --if-changed: the image the target holds is verified and reset, neither erased nor
        // programmed; another is told as such, then flashed whole.
        {"flash --if-changed app.hex",
         0,
         Concat(kVerify, {"Succeed to verify!", kFlashed[7]}),
         "",
         true,
         {},
         {"vornic-cli: the target already holds the image; erase and programme skipped"}},
        {"flash --if-changed other.hex",
         0,
         Concat(kVerify, Texts(kWhole.begin() + 1, kWhole.end())),
         "",
         false,
         {},
         {"vornic-cli: target differs from the image; flashing"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        std::ofstream("state", std::ios::binary | std::ios::trunc) << known;
        std::ofstream("app.hex", std::ios::binary | std::ios::trunc) << kHex;
        fs::remove("r.jsonl");
        const Result r = Run("--simulate --sim-state=state " + row.args, row.watch, row.io);
        EXPECT_EQ(row.status, r.status) << r.out << r.err;
        const Output o = Split(r.out, row.plain);
        EXPECT_EQ(row.lines, o.log.count("") ? o.log.at("") : Texts{}) << r.out;
        EXPECT_EQ(row.plain, row.plain.empty() ? Texts{} : o.plain) << r.out;
        EXPECT_TRUE(row.summary.empty()
                        ? r.err.find("failed") == std::string::npos
                        : ("\n" + r.err).find("\n" + row.summary) != std::string::npos)
            << r.err;
        EXPECT_EQ(row.untouched, ReadAll("state") == known);
        std::string last;
        std::ifstream in("r.jsonl");
        for (std::string line; std::getline(in, line);) last = line;
        for (const auto& [key, value] : row.record.items())
            EXPECT_EQ(value, nlohmann::json::parse(last)[key]) << key << ": " << last;
    }
    close(input[0]);
}

// Help of all and of one command, status --json, and the language the locale picks when
// no --lang is given.
TEST_F(Cli, HelpJsonAndLocale) {
    const struct {
        const char* args;
        const char* head;  // standard output's first line
    } helps[] = {{"--help", "usage: vornic-cli [--simulate[=FAULTS]]"},
                 {"help", "usage: vornic-cli [--simulate[=FAULTS]]"},
                 {"help flash", "usage: vornic-cli flash FILE"},
                 {"status --help", "usage: vornic-cli status [--json]"},
                 {"-h convert", "usage: vornic-cli convert FILE"}};
    for (const auto& help : helps) {
        const Result r = Run(help.args);
        EXPECT_EQ(0, r.status) << help.args << r.err;
        EXPECT_EQ(help.head, r.out.substr(0, r.out.find('\n')).substr(0, strlen(help.head)));
    }
    for (const char* faults : {"", "=protected"}) {
        const Result r = Run(std::string("--simulate") + faults + " status --json");
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(nlohmann::json::parse(r.out),
                  (nlohmann::json{{"readProtected", *faults != '\0'},
                                  {"probe", {{"serial", "SIM0"}, {"busPort", "sim-0"}}}}));
        EXPECT_NE(std::string::npos, r.err.find(kOpen)) << "the log on standard error";
    }
    // The full language choice is tabled with the parser; here the program follows it, on a
    // command line without any option too.
    unsetenv("LC_ALL"), unsetenv("LC_MESSAGES");
    for (const char* lang : {"en_US.UTF-8", "zh_CN.UTF-8"}) {
        setenv("LANG", lang, 1);
        const Result r = testproc::RunProcess({VORNIC_CLI_PATH, "--simulate", "status"}, 60);
        EXPECT_EQ(testproc::Texts(r.out)[0], lang[0] == 'e' ? kOpen : "打开设备成功!") << lang;
        const Result bad = testproc::RunProcess({VORNIC_CLI_PATH, "status", "app.hex"}, 60);
        EXPECT_EQ(bad.err, lang[0] == 'e' ? "vornic-cli: status takes no argument" + kTry
                                          : "vornic-cli: status 不接受参数" + kTryZh);
    }
    unsetenv("LANG");
}

// The window's options are checked before the toolkit needs a display.
TEST_F(Cli, WindowRefusesBadOptionsWithoutADisplay) {
    std::map<std::string, std::string> saved;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (const char* value = getenv(name)) saved[name] = value, unsetenv(name);
    const struct {
        std::vector<std::string> args;
        std::string complaint;
    } rows[] = {
        {{"--bogus"}, "vornic: unknown option --bogus"},
        {{"--simulate=garbage"}, "vornic: bad simulator option \"garbage\": no such fault"},
        {{"-platform", "offscreen", "--simulate=probes:1,absent@SIM1"},
         "vornic: bad simulator option \"absent@SIM1\": there is only 1 simulated probe"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = {VORNIC_PATH};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const Result r = testproc::RunProcess(args, 20);
        EXPECT_EQ(2, r.status) << row.complaint << r.err;
        EXPECT_EQ(0u, r.err.rfind(row.complaint, 0)) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("\nusage: vornic ")) << r.err;
    }
    for (const auto& [name, value] : saved) setenv(name.c_str(), value.c_str(), 1);
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
        EXPECT_EQ(kImageSha256, record["imageSha256"]);
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
    // Ctrl-C while a board is programmed: its record names the image all the same.
    bool stopped = false;
    const Result one = Run("--simulate=latency-us:20000 --report=one.jsonl flash app.hex --repeat",
                           [&stopped](pid_t pid, const std::string& out) {
                               if (!stopped && out.find("Begin to programme") != std::string::npos)
                                   stopped = kill(pid, SIGINT) == 0;
                           });
    EXPECT_EQ(1, one.status);
    const auto interrupted = Records("one.jsonl");
    ASSERT_EQ(1u, interrupted.size());
    EXPECT_EQ(40, interrupted.begin()->second["imageBytes"]);
    EXPECT_EQ(kImageSha256, interrupted.begin()->second["imageSha256"]);
    // Ctrl-C to the whole process group once two --probe=all children are
    // programming: their boards are unfinished, in the table and the records.
    bool sent = false;
    const Result all =
        Run("--simulate=probes:2,latency-us:20000 --probe=all "
            "--report=stopped.jsonl flash app.hex",
            [&sent](pid_t pid, const std::string& out) {
                Output o = Split(out);
                if (!sent && o.log["SIM0"].size() > 2 && o.log["SIM1"].size() > 2)
                    sent = kill(-pid, SIGINT) == 0;  // as a terminal sends it
            });
    EXPECT_EQ(1, all.status);
    const Texts table = {"PROBE  RESULT", "SIM0   UNFINISHED", "SIM1   UNFINISHED",
                         "2 boards: 0 passed, 0 failed, 2 unfinished"};
    EXPECT_EQ(table, Split(all.out, table).plain);
    const auto records = Records("stopped.jsonl");
    ASSERT_EQ(2u, records.size());
    for (const auto& [serial, record] : records) {
        EXPECT_TRUE(record.value("unfinished", false)) << serial;
        EXPECT_EQ(40, record["imageBytes"]) << serial;
    }
}

}  // namespace
