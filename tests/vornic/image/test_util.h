// Helpers for the image tests: HEX record building, a log-capturing dialog, temp folders.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/controls/controls.h"
#include "vornic/log/output_log.h"

namespace imagetest {

// One HEX record with a correct checksum and CR LF.
inline std::string Record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data = {}) {
    std::vector<uint8_t> body = {static_cast<uint8_t>(data.size()),
                                 static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                                 type};
    body.insert(body.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : body) sum = static_cast<uint8_t>(sum + b);
    body.push_back(static_cast<uint8_t>(-sum));
    std::string out = ":";
    char hex[3];
    for (uint8_t b : body) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        out += hex;
    }
    return out + "\r\n";
}

inline std::string Linear(uint16_t upper) {
    return Record(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
}
inline std::string Segment(uint16_t base) {
    return Record(2, 0, {static_cast<uint8_t>(base >> 8), static_cast<uint8_t>(base)});
}
inline std::string Eof() { return ":00000001FF\r\n"; }

// Records every text appended to the output pane; the other controls are inert.
class RecordingDialog : public controls::Port {
  public:
    RecordingDialog() {
        controls::SetMainDialog(this);
        g_debugOutput = false;
    }
    ~RecordingDialog() override {
        controls::SetMainDialog(nullptr);
        g_debugOutput = true;
    }
    std::string GetText(int) override { return {}; }
    void SetText(int, std::string_view) override {}
    int IsChecked(int) override { return 0; }
    void SetChecked(int, bool) override {}
    int GetSelection(int) override { return 0; }
    void SetSelection(int, int) override {}
    void AppendText(int, std::string_view text) override {
        std::lock_guard lock(m_mutex);
        // Keep the message only: drop the "NNNN#HH:MM:SS:mmm>> " header and CR LF.
        std::string line(text);
        size_t header = line.find(">> ");
        if (header != std::string::npos) line.erase(0, header + 3);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        m_lines.push_back(line);
    }
    void MoveCaretToEnd(int) override {}
    void ShowBitmap(int, int) override {}
    void Click(int) override {}
    void Invoke(const std::function<void()>& fn) override { fn(); }
    bool OnUiThread() const override { return true; }

    std::vector<std::string> Lines() {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

  private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// A fresh folder under the system temp folder, removed at the end of the test.
class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vornic-image-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (::mkdtemp(buffer.data()) != nullptr) m_path = buffer.data();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::filesystem::path& path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

inline void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace imagetest
