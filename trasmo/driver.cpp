// Driver of the converter: prepares the program folder, loads the tables, runs the walk.
#include "driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "engine.h"
#include "tables.h"

namespace {

int CreateAnew(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

// Every way out of the run writes the collected log lines first.
struct LogFlushGuard {
    ~LogFlushGuard() { FlushLogs(); }
};

void CloseLog(int& handle) {
    FlushLogs();
    if (handle != kInvalidHandle) ::close(handle);
    handle = kInvalidHandle;
}

}  // namespace

int RunTrasmo(int argc, char** argv) {
    LogFlushGuard flushOnReturn;
    const std::string folder = ProgramFolder();
    g_manualConversion = 0;
    if (folder.empty()) return 0;
    const std::string keilIni = folder + "/keil.ini";
    g_monitorLog = CreateAnew(folder + "/ExeMonitor.log");
    if (g_monitorLog < 0) {
        g_monitorLog = kInvalidHandle;
        return 0;
    }
    g_importLog = CreateAnew(folder + "/ImportKeilProj.log");
    if (g_importLog < 0) {
        g_importLog = kInvalidHandle;
        return 0;
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
        std::fputs("Error: 无效参数\n", stderr);
        std::fflush(stderr);
        return 0;
    }
    WriteLogLine(g_monitorLog, project);
    WriteLogLine(g_monitorLog, resources);
    const std::string desDir = resources + "/DES";
    const std::string sorDir = resources + "/SOR";
    WriteLogLine(g_monitorLog, "4");
    ConvertDirectory(project, desDir, sorDir);
    WriteLogLine(g_monitorLog, "5");
    int ini = CreateAnew(keilIni);
    WriteLogLine(g_monitorLog, "6");
    if (ini < 0) return 0;
    const char* word = g_manualConversion != 0 ? "TRUE" : "FALSE";
    ssize_t written = ::write(ini, word, g_manualConversion != 0 ? 4 : 5);
    (void)written;
    WriteLogLine(g_monitorLog, "7");
    ::close(ini);
    CloseLog(g_monitorLog);
    CloseLog(g_importLog);
    return 0;
}
