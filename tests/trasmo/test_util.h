// Shared helpers of the converter tests: scratch folders, files, logs, table slots.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "trasmo/tables.h"

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void WriteFile(const fs::path& p, std::string_view data) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << data;
}

// Lines of a log without their " \r\n" ending.
inline Lines LogLines(const std::string& log) {
    Lines lines;
    for (std::size_t pos = 0, end; (end = log.find(" \r\n", pos)) != std::string::npos;
         pos = end + 3)
        lines.push_back(log.substr(pos, end - pos));
    return lines;
}

inline const auto Msg = &FormatImportMessage;  // a message's GBK text, as written

// A fresh folder under the system's temporary folder, removed at the end (folders a test
// made read-only included).
struct ScratchDir {
    fs::path path = fs::temp_directory_path() / ("trasmo-test-" + std::to_string(::getpid()) + "-" +
                                                 std::to_string(std::random_device{}()));
    ScratchDir() { fs::create_directories(path); }
    ~ScratchDir() {
        std::error_code ec;
        for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }
};

// Converter state and both logs pointed at files in a scratch folder.
struct ConverterFixture {
    ScratchDir dir;
    ConverterFixture() {
        ResetConverterState();
        const int flags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC;
        g_monitorLog = ::open((dir.path / "ExeMonitor.log").c_str(), flags, 0644);
        g_importLog = ::open((dir.path / "ImportKeilProj.log").c_str(), flags, 0644);
    }
    ~ConverterFixture() {
        ::close(g_monitorLog);
        ::close(g_importLog);
        g_monitorLog = g_importLog = kInvalidHandle;
        ResetConverterState();
    }
    // A fresh start: empty tables and logs.
    void Reset() const {
        ResetConverterState();
        for (int log : {g_monitorLog, g_importLog})
            if (::ftruncate(log, 0) != 0 || ::lseek(log, 0, SEEK_SET) != 0) std::abort();
    }
    Lines Monitor() const { return LogLines(ReadFile(dir.path / "ExeMonitor.log")); }
    Lines Import() const { return LogLines(ReadFile(dir.path / "ImportKeilProj.log")); }
};

template <std::size_t N>
inline void Set(char (&field)[N], std::string_view v) {
    v = v.substr(0, N - 1);
    field[v.copy(field, v.size())] = '\0';
}

inline void SetRule(int slot, std::string_view sour, std::string_view dest,
                    std::string_view section = "R") {
    RegexMapEntry& e = g_regexMaps[static_cast<std::size_t>(slot)] = {};
    Set(e.section, section);
    Set(e.sour, sour);
    Set(e.dest, dest);
}

inline void SetTrans(int slot, std::string_view file, std::string_view trans,
                     std::string_view lib = "", std::string_view tranLib = "") {
    TransFileEntry& e = g_transFiles[static_cast<std::size_t>(slot)] = {};
    Set(e.section, "T" + std::to_string(slot));
    Set(e.sourFileName, file);
    Set(e.transFileName, trans);
    Set(e.sourLib, lib);
    Set(e.tranLib, tranLib);
}
