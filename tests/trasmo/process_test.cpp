// The converter as the IDE runs it: a process in its own program folder.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include "test_util.h"

extern char** environ;

namespace {

struct ProcessTest : ::testing::Test {
    ScratchDir dir;
    fs::path program, project, resources;
    std::string out, err;

    ProcessTest() {
        program = dir.path / "prog dir";
        project = dir.path / "project";
        resources = dir.path / "res";
        fs::create_directories(program);
        fs::copy_file(TRASMO_EXE, program / "trasmo");
        for (const char* t : {"TransFile.wcfg", "RegexMap.wcfg"})
            fs::copy_file(fs::path(TRASMO_TABLE_DIR) / t, program / t);
        fs::copy(fs::path(TRASMO_EXAMPLE_DIR) / "project", project, fs::copy_options::recursive);
        fs::copy(fs::path(TRASMO_EXAMPLE_DIR) / "resources", resources,
                 fs::copy_options::recursive);
    }

    // Runs the program with the arguments; returns its exit code.
    int Run(std::vector<std::string> args) {
        args.insert(args.begin(), (program / "trasmo").string());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        std::string o = (dir.path / "stdout").string(), e = (dir.path / "stderr").string();
        posix_spawn_file_actions_addopen(&fa, 1, o.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, e.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) return -1;
        int status = 0;
        ::waitpid(pid, &status, 0);
        out = ReadFile(o);
        err = ReadFile(e);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::vector<std::string> Monitor() { return LogLines(ReadFile(program / "ExeMonitor.log")); }
    bool HasIni() { return fs::exists(program / "keil.ini"); }
};

using Lines = std::vector<std::string>;

// The markers of the driver and the engine, in the order written, without names.
Lines Markers(const Lines& all) {
    Lines m;
    for (const auto& l : all)
        if (!l.empty() && std::all_of(l.begin(), l.end(),
                                      [](char c) { return (c >= '0' && c <= '9') || c == '.'; }))
            m.push_back(l);
    return m;
}

TEST_F(ProcessTest, CompleteRunOnTheExample) {
    WriteFile(program / "keil.ini", "stale result");
    fs::permissions(program / "keil.ini", fs::perms::owner_read);
    std::string res = resources.string() + "/";  // doubled separator is passed on
    ASSERT_EQ(Run({project.string(), res, "extra"}), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(err.empty());
    EXPECT_EQ(ReadFile(program / "keil.ini"), "TRUE");  // ch32f10x_it.c was edited
    Lines log = Monitor();
    int regexEntries = 0;
    for (auto& l : log) regexEntries += l == "2.5";
    ASSERT_GE(log.size(), 12u);
    Lines head(log.begin(), log.begin() + 6 + regexEntries + 4);
    Lines expect{"1", "2", "2.1", "2.2", "2.3", "2.4"};
    for (int i = 0; i < regexEntries; ++i) expect.push_back("2.5");
    expect.insert(expect.end(), {"3", project.string(), res, "4"});
    EXPECT_EQ(head, expect);
    EXPECT_EQ(Lines(log.end() - 3, log.end()), (Lines{"5", "6", "7"}));
    Lines marks = Markers(log);
    EXPECT_NE(std::find(marks.begin(), marks.end(), "4.4"), marks.end());
    EXPECT_NE(std::find(marks.begin(), marks.end(), "4.12"), marks.end());
    // Every outcome of the example.
    EXPECT_TRUE(fs::exists(project / "User" / "ch32v10x_usb_host.c"));
    EXPECT_TRUE(fs::exists(project / "Startup" / "startup_ch32v10x.S"));
    EXPECT_FALSE(fs::exists(project / "Core" / "core_cm3.c"));
    EXPECT_TRUE(fs::exists(project / "User" / "ch32f10x_it.c"));
    std::string main = ReadFile(project / "User" / "main.c");
    EXPECT_NE(main.find("#include \"ch32v10x.h\"\r\n"), std::string::npos);
    EXPECT_NE(main.find("SysTick->CMP"), std::string::npos);
    std::string import = ReadFile(program / "ImportKeilProj.log");
    EXPECT_NE(import.find(FormatImportMessage("****文件【%s】替换了部分关键字，请注意校验代码***",
                                              {"main.c"})),
              std::string::npos);
    EXPECT_EQ(import.find("\xe6\x96\x87"), std::string::npos);  // no UTF-8 left in the GBK log
}

TEST_F(ProcessTest, UnchangedProjectGivesFalse) {
    fs::remove_all(project);
    WriteFile(project / "notes.txt", "nothing to convert\r\n");
    ASSERT_EQ(Run({project.string(), resources.string()}), 0);
    EXPECT_EQ(ReadFile(program / "keil.ini"), "FALSE");
}

TEST_F(ProcessTest, NoArgumentsReportsOnStandardErrorAndStops) {
    WriteFile(program / "keil.ini", "FALSE");
    ASSERT_EQ(Run({}), 0);
    EXPECT_EQ(err, "Error: 无效参数\n");
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(HasIni());
    Lines log = Monitor();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "3");
    ASSERT_EQ(Run({project.string(), ""}), 0);
    EXPECT_EQ(Monitor().back(), "3");
}

TEST_F(ProcessTest, EarlyStopsLeaveTheirLastMarkerAndNoResult) {
    fs::remove(program / "TransFile.wcfg");
    WriteFile(program / "keil.ini", "TRUE");
    ASSERT_EQ(Run({project.string(), resources.string()}), 0);
    EXPECT_EQ(ReadFile(program / "ExeMonitor.log"), "1 \r\n");
    EXPECT_FALSE(HasIni());

    fs::copy_file(fs::path(TRASMO_TABLE_DIR) / "TransFile.wcfg", program / "TransFile.wcfg");
    fs::remove(program / "RegexMap.wcfg");
    ASSERT_EQ(Run({project.string(), resources.string()}), 0);
    EXPECT_EQ(Monitor(), (Lines{"1", "2", "2.1"}));

    WriteFile(program / "RegexMap.wcfg", std::string(30721, 'x'));
    ASSERT_EQ(Run({project.string(), resources.string()}), 0);
    EXPECT_EQ(Monitor(), (Lines{"1", "2", "2.1", "2.2"}));

    WriteFile(program / "RegexMap.wcfg", Crlf("[REGEX]\n" + std::string(200, ' ')));
    ASSERT_EQ(Run({project.string(), resources.string()}), 0);
    EXPECT_EQ(Monitor(), (Lines{"1", "2", "2.1", "2.2", "2.3", "2.4"}));
    EXPECT_FALSE(HasIni());
}

TEST_F(ProcessTest, ResultFileThatCannotBeCreatedStopsAfterSix) {
    fs::create_directory(program / "keil.ini");  // a folder of that name blocks creation
    ASSERT_EQ(Run({project.string(), resources.string()}), 0);
    EXPECT_EQ(Monitor().back(), "6");
}

}  // namespace
