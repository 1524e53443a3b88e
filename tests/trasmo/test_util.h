// Shared helpers of the converter tests: scratch folders, files, log capture.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tables.h"

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const fs::path& p, std::string_view data) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Lines of a log without their " \r\n" ending.
inline std::vector<std::string> LogLines(const std::string& log) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < log.size()) {
        std::size_t end = log.find(" \r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(log.substr(pos));
            break;
        }
        lines.push_back(log.substr(pos, end - pos));
        pos = end + 3;
    }
    return lines;
}

// Replaces LF line ends by CR LF.
inline std::string Crlf(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

// A fresh folder under the system's temporary folder, removed at the end.
struct ScratchDir {
    fs::path path;
    ScratchDir() {
        std::random_device rd;
        path = fs::temp_directory_path() /
               ("trasmo-test-" + std::to_string(rd()) + "-" + std::to_string(::getpid()));
        fs::create_directories(path);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }
};

// Converter state and both logs pointed at files in a scratch folder.
struct ConverterFixture {
    ScratchDir dir;
    ConverterFixture() {
        ResetConverterState();
        g_monitorLog = ::open((dir.path / "ExeMonitor.log").c_str(),
                              O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        g_importLog = ::open((dir.path / "ImportKeilProj.log").c_str(),
                             O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    ~ConverterFixture() {
        FlushLogs();
        ::close(g_monitorLog);
        ::close(g_importLog);
        g_monitorLog = g_importLog = kInvalidHandle;
        ResetConverterState();
    }
    std::vector<std::string> Monitor() const {
        FlushLogs();
        return LogLines(ReadFile(dir.path / "ExeMonitor.log"));
    }
    std::vector<std::string> Import() const {
        FlushLogs();
        return LogLines(ReadFile(dir.path / "ImportKeilProj.log"));
    }
};

template <std::size_t N>
inline void Set(char (&field)[N], std::string_view v) {
    std::string s(v.substr(0, N - 1));
    std::copy(s.begin(), s.end(), field);
    field[s.size()] = '\0';
}

inline void SetRule(int slot, std::string_view sour, std::string_view dest,
                    std::string_view section = "R") {
    RegexMapEntry& e = g_regexMaps[static_cast<std::size_t>(slot)];
    e = {};
    Set(e.section, section);
    Set(e.sour, sour);
    Set(e.dest, dest);
}

inline void SetTrans(int slot, std::string_view file, std::string_view trans,
                     std::string_view lib = "", std::string_view tranLib = "") {
    TransFileEntry& e = g_transFiles[static_cast<std::size_t>(slot)];
    e = {};
    Set(e.section, "T" + std::to_string(slot));
    Set(e.sourFileName, file);
    Set(e.transFileName, trans);
    Set(e.sourLib, lib);
    Set(e.tranLib, tranLib);
}
