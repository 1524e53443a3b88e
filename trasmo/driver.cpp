// Driver of the converter: prepares the output folder, loads the tables, runs the walk.
#include "trasmo/driver.h"

#include <fcntl.h>
#include <malloc.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/posix/posix_io.h"
#include "trasmo/encoding.h"
#include "trasmo/engine.h"
#include "trasmo/result_log.h"
#include "trasmo/staging.h"
#include "trasmo/tables.h"

namespace trasmo {

namespace {

// A log created anew at `path`. Whatever else holds that name (a link, a file linked
// elsewhere too, a FIFO) is removed and never written through: a log truncates nothing but
// itself, and a write never waits for a reader.
int CreateLog(const std::string& path) {
    const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    posix_io::UniqueFd fd(posix_io::Open(path.c_str(), flags, 0666));
    struct stat st {};
    const bool own = fd && ::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
    if (own) {
        if (::ftruncate(fd.Get(), 0) != 0) fd.Reset();
    } else if (fd || errno == ELOOP) {
        fd.Reset();
        if (::unlink(path.c_str()) == 0)
            fd.Reset(posix_io::Open(path.c_str(), flags | O_EXCL, 0666));
    }
    return fd.Release();
}

void CloseLog(int& handle) {
    if (handle != kInvalidHandle) ::close(handle);
    handle = kInvalidHandle;
}

// Text to a standard stream; a failure (closed, a broken pipe) changes nothing else.
void Put(int fd, std::string_view text) { (void)posix_io::WriteAll(fd, text.data(), text.size()); }

void Say(const std::string& line) { Put(2, line + "\n"); }

// Complains once about an output that could not be written, as the IDE shows nothing of it.
void SayNotWritten(const std::string& path, int why) {
    Say("trasmo: cannot write " + path + ": " + std::strerror(why));
}

bool Writable(const std::string& folder) { return ::access(folder.c_str(), W_OK | X_OK) == 0; }

}  // namespace

bool OutputsMayGoIn(const std::string& folder) {
    // /usr belongs to the package manager, even for root: outputs left there would outlive
    // the package's removal.
    const bool belowUsr = folder == "/usr" || folder.starts_with("/usr/");
    return !belowUsr && Writable(folder);
}

namespace {

// The user's state folder for our outputs: $XDG_STATE_HOME/trasmo, else
// ~/.local/state/trasmo; empty when neither names an absolute folder.
std::string StateFolder() {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/trasmo";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
        home = h;
    } else if (const passwd* pw = ::getpwuid(::getuid());
               pw && pw->pw_dir && pw->pw_dir[0] == '/') {
        home = pw->pw_dir;
    }
    return home.empty() ? std::string() : home + "/.local/state/trasmo";
}

// Creates the folder and the missing ones above it, private to the user.
bool MakeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) errno = ENOTDIR;
    return S_ISDIR(st.st_mode) && Writable(path);
}

// Where the three output files go: the program folder, where the IDE reads them, unless the
// user may not write there.
std::string OutputFolder(const std::string& programFolder) {
    return OutputsMayGoIn(programFolder) ? programFolder : StateFolder();
}

void PrintUsage(const std::string& programFolder) {
    std::string outputs = OutputFolder(programFolder);
    Put(1,
        "Usage: trasmo PROJECT_DIR RESOURCE_DIR\n"
        "       trasmo --help | --version\n\n"
        "Converts the Keil project in PROJECT_DIR, written for CH32F10x parts, into a\n"
        "CH32V10x project in place, and prints nothing while it works.\n\n"
        "  PROJECT_DIR   the project folder; its files are replaced or rewritten in place\n"
        "  RESOURCE_DIR  holds DES/ (replacement files) and SOR/ (factory copies of the\n"
        "                files that TransFile.wcfg replaces)\n\n"
        "The rules TransFile.wcfg and RegexMap.wcfg are read from the program folder\n  " +
            programFolder +
            "\nThe outputs ExeMonitor.log (step markers), ImportKeilProj.log (messages, GBK)\n"
            "and keil.ini (TRUE: convert some files by hand; FALSE: done) are written to\n  " +
            (outputs.empty() ? std::string("(no home folder known)") : outputs) + "\n" +
            (outputs == programFolder
                 ? ""
                 : "the user's state folder, as the program folder is not writable or lies\n"
                   "below /usr.\n"));
}

}  // namespace

int RunTrasmo(int argc, char** argv) {
    posix_io::OpenStandardStreams();
    std::signal(SIGPIPE, SIG_IGN);
    // Every file's text is allocated and freed in turn on several threads; giving that memory
    // back to the system after each file, and faulting it in again, cost a tenth of a run.
    ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
    ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    const std::string folder = ProgramFolder();
    if (argc == 2 && argv[1]) {
        std::string_view only = argv[1];
        if (only == "--help") {
            PrintUsage(folder);
            return 0;
        }
        if (only == "--version") {
            Put(1, "trasmo " TRASMO_VERSION "\n");
            return 0;
        }
    }
    g_manualConversion = 0;
    if (folder.empty()) return 0;
    std::string outputs = folder;
    if (!OutputsMayGoIn(folder)) {
        const std::string why = Writable(folder) ? " lies below /usr" : " is not writable";
        outputs = StateFolder();
        if (outputs.empty() || !MakeFolders(outputs)) {
            Say("trasmo: the program folder " + folder + why + ", and the state folder " +
                (outputs.empty() ? "is unknown"
                                 : outputs + " cannot be used: " + std::strerror(errno)));
            return 0;
        }
        Say("trasmo: the program folder " + folder + why + "; outputs are in " + outputs);
    }
    const std::string keilIni = outputs + "/keil.ini";
    for (auto [log, name] : {std::pair{&g_monitorLog, "/ExeMonitor.log"},
                             std::pair{&g_importLog, "/ImportKeilProj.log"}}) {
        *log = CreateLog(outputs + name);
        if (*log < 0) {
            SayNotWritten(outputs + name, errno);
            *log = kInvalidHandle;
            CloseLog(g_monitorLog);
            return 0;
        }
    }
    // The old result goes whatever its permission bits; a folder of that name is left.
    struct stat st {};
    if (::lstat(keilIni.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(keilIni.c_str());
    WriteLogLine(g_monitorLog, "1");
    if (LoadTransFile(folder) == 0) return 0;
    WriteLogLine(g_monitorLog, "2");
    if (LoadRegexMap(folder) == 0) return 0;
    WriteLogLine(g_monitorLog, "3");
    const std::string project = argc > 1 && argv[1] ? argv[1] : "";
    const std::string resources = argc > 2 && argv[2] ? argv[2] : "";
    if (project.empty() || resources.empty()) {
        Say("Error: 无效参数");
        return 0;
    }
    WriteLogLine(g_monitorLog, project);
    WriteLogLine(g_monitorLog, resources);
    const std::string desDir = resources + "/DES";
    const std::string sorDir = resources + "/SOR";
    WriteLogLine(g_monitorLog, "4");
    // The run either changes nothing or has the resources it needs; a project it could not
    // convert asks for a look by hand, as the IDE reads only keil.ini.
    std::string why;
    if (std::string missing = MissingResourceFolder(desDir, sorDir, &why); !missing.empty()) {
        g_manualConversion = 1;
        Say("trasmo: the resource folder " + missing + " cannot be used (" + why +
            "); nothing was changed");
        WriteLogLine(g_importLog,
                     FormatImportMessage("****资源文件夹【%s】无法使用（%s），工程未作任何改动***",
                                         {missing, why}));
    } else if (ConvertDirectory(project, desDir, sorDir) == 0) {
        why = std::strerror(errno);
        g_manualConversion = 1;
        Say("trasmo: cannot read the project folder " + project + ": " + why);
        WriteLogLine(g_importLog,
                     FormatImportMessage("****无法读取工程文件夹【%s】（%s）***", {project, why}));
    }
    WriteLogLine(g_monitorLog, "5");
    // The result is written whole beside its name and renamed into place, or not at all: the
    // IDE never reads a word cut short by a full disk.
    const std::string_view word = g_manualConversion != 0 ? "TRUE" : "FALSE";
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat like {};  // a new file of the process's own
    like.st_uid = ::geteuid(), like.st_gid = ::getegid(), like.st_mode = 0666 & ~mask;
    StagedFile ini;
    ini.Stage(outputs, word, like);
    const bool placed = ini.Commit(keilIni);
    WriteLogLine(g_monitorLog, "6");
    if (!placed) {
        SayNotWritten(keilIni, ini.error());
        return 0;
    }
    WriteLogLine(g_monitorLog, "7");
    CloseLog(g_monitorLog);
    CloseLog(g_importLog);
    return 0;
}

}  // namespace trasmo
