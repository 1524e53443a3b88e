// The converter as a process: its program folder, streams, a read-only install, kills.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <functional>

#include "tests/trasmo/test_util.h"

namespace {

struct ProcessTest : ::testing::Test {
    ScratchDir dir;
    fs::path program = dir.path / "prog dir", project = dir.path / "project",
             resources = dir.path / "res";
    std::string out, err;

    ProcessTest() {
        fs::create_directories(program);
        fs::copy_file(TRASMO_EXE, program / "trasmo");
        InstallTables();
        fs::copy(fs::path(TRASMO_EXAMPLE_DIR) / "project", project, fs::copy_options::recursive);
        fs::copy(fs::path(TRASMO_EXAMPLE_DIR) / "resources", resources,
                 fs::copy_options::recursive);
    }
    void InstallTables() {
        for (const char* t : {"TransFile.wcfg", "RegexMap.wcfg"})
            fs::copy_file(fs::path(TRASMO_TABLE_DIR) / t, program / t,
                          fs::copy_options::overwrite_existing);
    }
    // Starts the program with standard output and error in files; `child` may change the
    // child's descriptors or user before exec (async-signal-safe calls only).
    pid_t Start(std::vector<std::string> args, const std::function<void()>& child = {}) {
        args.insert(args.begin(), (program / "trasmo").string());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
        int o = ::open((dir.path / "stdout").c_str(), flags, 0644);
        int e = ::open((dir.path / "stderr").c_str(), flags, 0644);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(o, 1);
            ::dup2(e, 2);
            if (child) child();
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(o);
        ::close(e);
        return pid;
    }
    // Exit code, or 128 + the signal that ended it.
    int Wait(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        out = ReadFile(dir.path / "stdout");
        err = ReadFile(dir.path / "stderr");
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int Run(std::vector<std::string> args, const std::function<void()>& child = {}) {
        return Wait(Start(std::move(args), child));
    }
    Lines Monitor(const fs::path& folder) { return LogLines(ReadFile(folder / "ExeMonitor.log")); }
};

TEST_F(ProcessTest, CompleteRunOnTheExample) {
    WriteFile(program / "keil.ini", "stale result");
    fs::permissions(program / "keil.ini", fs::perms::owner_read);
    std::string res = resources.string() + "/";  // doubled separator is passed on
    ASSERT_EQ(Run({project.string(), res, "extra"}), 0);
    EXPECT_EQ(out + err, "");
    EXPECT_EQ(ReadFile(program / "keil.ini"), "TRUE");  // ch32f10x_it.c was edited
    Lines log = Monitor(program);
    Lines expect{"1", "2", "2.1", "2.2", "2.3", "2.4"};
    expect.insert(expect.end(), std::count(log.begin(), log.end(), "2.5"), "2.5");
    expect.insert(expect.end(), {"3", project.string(), res, "4"});
    ASSERT_GE(log.size(), expect.size() + 3);
    EXPECT_EQ(Lines(log.begin(), log.begin() + long(expect.size())), expect);
    EXPECT_EQ(Lines(log.end() - 3, log.end()), (Lines{"5", "6", "7"}));
    std::string import = ReadFile(program / "ImportKeilProj.log");
    EXPECT_NE(import.find(Msg("****文件【%s】替换了部分关键字，请注意校验代码***", {"main.c"})),
              std::string::npos);
    EXPECT_EQ(import.find("\xe6\x96\x87"), std::string::npos);  // no UTF-8 left in the GBK log
}

// Runs that stop early or only tell something: the log (one line: its last line), standard
// error, and keil.ini only after a complete run. Standard error closed, or a pipe nobody
// reads, changes none of it.
TEST_F(ProcessTest, ShortRuns) {
    const std::string proj = project.string(), res = resources.string();
    const fs::path regex = program / "RegexMap.wcfg", ini = program / "keil.ini";
    ResetConverterState();
    Lines upTo3{"1", "2", "2.1", "2.2", "2.3", "2.4"};
    upTo3.insert(upTo3.end(), LoadRegexMap(TRASMO_TABLE_DIR), "2.5");
    upTo3.push_back("3");
    const std::string unreadable =
        "trasmo: cannot read the project folder --help: No such file or directory\n";
    int broken[2];
    ASSERT_EQ(::pipe2(broken, O_CLOEXEC), 0);
    ::close(broken[0]);
    struct Row {
        const char* why;
        std::function<void()> setup;
        std::vector<std::string> args;
        Lines monitor;
        std::string err;
        std::function<void()> child = {};
    };
    // clang-format off
    const Row rows[] = {
        {"no arguments", [] {}, {}, upTo3, "Error: 无效参数\n"},
        {"empty second argument", [] {}, {proj, ""}, upTo3, "Error: 无效参数\n"},
        {"no arguments, standard error closed", [] {}, {}, upTo3, "", [] { ::close(2); }},
        {"no arguments, standard error a pipe nobody reads", [] {}, {}, upTo3, "", [&] { ::dup2(broken[1], 2); }},
        {"no TransFile.wcfg", [&] { fs::remove(program / "TransFile.wcfg"); }, {proj, res}, {"1"}, ""},
        {"no RegexMap.wcfg", [&] { fs::remove(regex); }, {proj, res}, {"1", "2", "2.1"}, ""},
        {"RegexMap.wcfg without entries", [&] { WriteFile(regex, std::string(200, ' ')); }, {proj, res},
         {"1", "2", "2.1", "2.2", "2.3", "2.4"}, ""},
        {"unreadable project folder: said, and the run completes", [] {}, {"--help", res}, {"7"}, unreadable},
        {"keil.ini cannot be created", [&] { fs::remove(ini), fs::create_directory(ini); }, {"--help", res}, {"6"},
         unreadable},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        InstallTables();
        WriteFile(ini, "TRUE");  // a stale result never survives
        row.setup();
        ASSERT_EQ(Run(row.args, row.child), 0);
        Lines log = Monitor(program);
        if (row.monitor.size() == 1 && !log.empty()) log = {log.back()};
        EXPECT_EQ(log, row.monitor);
        EXPECT_EQ(out + err, row.err);
        const bool complete = row.monitor == Lines{"7"};
        EXPECT_EQ(fs::is_regular_file(ini) ? ReadFile(ini) : "none", complete ? "FALSE" : "none");
        EXPECT_EQ(LogLines(ReadFile(program / "ImportKeilProj.log")),
                  row.err == unreadable ? Lines{Msg("****无法读取工程文件夹【%s】（%s）***",
                                                    {"--help", "No such file or directory"})}
                                        : Lines{});
        fs::remove_all(ini);
    }
    ::close(broken[1]);
    // Help and version alone print and touch nothing.
    fs::remove(program / "ExeMonitor.log");
    ASSERT_EQ(Run({"--help"}), 0);
    EXPECT_EQ(out.rfind("Usage: trasmo PROJECT_DIR RESOURCE_DIR\n", 0), 0u) << out;
    EXPECT_NE(out.find(program.string()), std::string::npos);
    ASSERT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(out, "trasmo " TRASMO_VERSION "\n");
    EXPECT_FALSE(fs::exists(program / "ExeMonitor.log"));
}

TEST_F(ProcessTest, ReadOnlyProgramFolderUsesTheStateFolder) {
    const fs::path state = dir.path / "state", outputs = state / "trasmo";
    fs::create_directories(state);
    const uid_t nobody = 65534;
    const bool root = ::geteuid() == 0;
    for (const auto& p : {project, state}) {  // what the user switched to must own
        ASSERT_TRUE(!root || ::lchown(p.c_str(), nobody, nobody) == 0);
        for (const auto& e : fs::recursive_directory_iterator(p))
            ASSERT_TRUE(!root || ::lchown(e.path().c_str(), nobody, nobody) == 0) << e.path();
    }
    fs::permissions(dir.path, fs::perms(0755));  // reachable whatever the umask
    fs::permissions(program, fs::perms(0555));   // installed, read-only
    auto unprivileged = [root] {
        if (root && (::setgroups(0, nullptr) || ::setgid(nobody) || ::setuid(nobody))) ::_exit(126);
    };
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    int code = Run({project.string(), resources.string()}, unprivileged);
    ::unsetenv("XDG_STATE_HOME");
    if (code == 126)
        GTEST_SKIP() << "running as root without a way to become an unprivileged user; root "
                        "may write into a folder without write bits, so nothing would be shown";
    ASSERT_EQ(code, 0);
    EXPECT_EQ(err, "trasmo: the program folder " + program.string() +
                       " is not writable; outputs are in " + outputs.string() + "\n");
    EXPECT_FALSE(fs::exists(program / "ExeMonitor.log"));
    EXPECT_EQ(Monitor(outputs).back(), "7");
    EXPECT_EQ(ReadFile(outputs / "keil.ini"), "TRUE");
    EXPECT_NE(ReadFile(project / "User" / "main.c").find("ch32v10x.h"), std::string::npos);
}

// Killed at random moments, chosen by counting its rewrite markers as they appear, the
// converter never loses or tears a source, and its markers keep up with the files it
// re-created; one more complete run leaves no temporary file behind.
TEST_F(ProcessTest, KilledRunsLoseNothing) {
    const int files = 160;
    auto path = [&](int i) {
        return project / ("m" + std::to_string(i % 4)) / ("f" + std::to_string(i) + ".c");
    };
    auto text = [](int i, char v) {
        return "#include \"ch32" + std::string(1, v) + "10x.h\"\r\n" + std::string(i + 3000, 'z');
    };
    auto strays = [&] {
        return std::count_if(fs::recursive_directory_iterator(project), {}, [](auto& e) {
            return e.path().filename().string().starts_with(".trasmo-");
        });
    };
    fs::remove_all(project);
    for (int i = 0; i < files; ++i) WriteFile(path(i), text(i, 'f'));
    const fs::path log = program / "ExeMonitor.log";
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 4; ++round) {
        std::vector<ino_t> inodes(files);
        struct stat st {};
        for (int i = 0; i < files; ++i)
            inodes[i] = ::stat(path(i).c_str(), &st) == 0 ? st.st_ino : 0;
        WriteFile(log, "");
        int watch = ::inotify_init1(IN_CLOEXEC);
        ::inotify_add_watch(watch, log.c_str(), IN_MODIFY);
        const long target = std::uniform_int_distribution<long>(1, files - 20)(random);
        SCOPED_TRACE("killed after " + std::to_string(target) + " rewrite markers");
        pid_t pid = Start({project.string(), resources.string()});
        for (pollfd p{watch, POLLIN, 0}; ::poll(&p, 1, 10000) > 0;) {
            char events[4096];
            if (::read(watch, events, sizeof events) < 0) break;
            Lines m = LogLines(ReadFile(log));
            if (std::count(m.begin(), m.end(), "4.12") >= target) break;
        }
        ::kill(pid, SIGKILL);
        Wait(pid);
        ::close(watch);
        Lines m = LogLines(ReadFile(log));
        long markers =
            std::count(m.begin(), m.end(), "4.12") + std::count(m.begin(), m.end(), "4.13");
        long recreated = 0;
        for (int i = 0; i < files; ++i) {
            ASSERT_EQ(::stat(path(i).c_str(), &st), 0) << path(i);
            recreated += st.st_ino != inodes[i];
            std::string now = ReadFile(path(i));
            EXPECT_TRUE(now == text(i, 'f') || now == text(i, 'v')) << path(i);
        }
        EXPECT_GE(markers, recreated - 1);
        // Staged unnamed where the file system can: at most the file being renamed has a name.
        if (int probe = ::open(project.c_str(), O_TMPFILE | O_WRONLY, 0600); probe >= 0) {
            EXPECT_LE(strays(), ::close(probe) + 1);
        }
    }
    ASSERT_EQ(Run({project.string(), resources.string()}), 0);
    for (int i = 0; i < files; ++i) EXPECT_EQ(ReadFile(path(i)), text(i, 'v')) << path(i);
    // With the workers ahead, the log still reads as a plain walk: each file's name, its
    // comparison lines (upper case), then its markers.
    Lines m = Monitor(program);
    EXPECT_EQ(m.back(), "7");
    int inOrder = 0;
    for (auto name = m.begin(); name != m.end(); ++name) {
        if ((*name)[0] != 'f' || !name->ends_with(".c")) continue;
        auto mark =
            std::find_if(name + 1, m.end(), [](auto& l) { return l[0] == '4' || l[0] == 'f'; });
        inOrder += m.end() - mark >= 5 &&
                   Lines(mark, mark + 5) == Lines{"4.7", "4.8", "4.9", "4.10", "4.12"};
    }
    EXPECT_EQ(inOrder, files);
    EXPECT_EQ(strays(), 0);
}

}  // namespace
