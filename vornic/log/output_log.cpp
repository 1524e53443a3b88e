// Numbered, timestamped log lines for the output pane and standard error.
#include "vornic/log/output_log.h"

#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "platform/controls/control_ids.h"
#include "platform/controls/controls.h"
#include "platform/posix/posix_io.h"

std::atomic<int32_t> g_logCounter{0};
std::atomic<bool> g_debugOutput{true};

namespace {

constexpr size_t kLineBufferSize = 10240;
constexpr size_t kAppendBufferSize = 512;

// Formats into a fixed buffer; returns the number of bytes held (the output is
// cut at the buffer's end, never overrun).
size_t FormatInto(char* buffer, size_t size, const char* format, va_list args) {
    int n = std::vsnprintf(buffer, size, format, args);
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

int AppendOutputTextV(int controlId, const char* format, va_list args) {
    std::array<char, kAppendBufferSize> buffer{};
    size_t length = FormatInto(buffer.data(), buffer.size(), format, args);

    // Text, line end and terminator must fit: otherwise keep the first 510
    // bytes and end the text with a line feed.
    if (length + 3 > buffer.size()) {
        length = buffer.size() - 2;
        buffer[length++] = '\n';
        buffer[length] = '\0';
    }
    if (length > 0 && buffer[length - 1] != '\n') {
        buffer[length++] = '\r';
        buffer[length++] = '\n';
        buffer[length] = '\0';
    }

    controls::Port* dialog = controls::MainDialog();
    if (dialog == nullptr) return 0;
    dialog->AppendText(controlId, std::string_view(buffer.data(), length));
    return 1;
}

// Copies text into out (room bytes, its terminator included) as
// EscapeControls does. An escape that does not fit whole is left out with
// the rest. Returns the bytes written.
size_t EscapeInto(char* out, size_t room, std::string_view text) {
    size_t length = 0;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        char escaped[5] = {c, '\0'};
        if (u < 0x20 || u == 0x7F) {
            if (c == '\n' || c == '\r' || c == '\t')
                std::snprintf(escaped, sizeof escaped, "\\%c",
                              c == '\n'   ? 'n'
                              : c == '\r' ? 'r'
                                          : 't');
            else
                std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
        }
        const size_t n = std::strlen(escaped);
        if (length + n + 1 > room) break;
        std::memcpy(out + length, escaped, n);
        length += n;
    }
    out[length] = '\0';
    return length;
}

}  // namespace

int AppendOutputText(int controlId, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = AppendOutputTextV(controlId, format, args);
    va_end(args);
    return result;
}

void LogMessage(const char* format, ...) {
    std::array<char, kLineBufferSize> line{};

    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);

    // fetch_add hands every caller, on any thread, a number of its own.
    int32_t number = g_logCounter.fetch_add(1, std::memory_order_relaxed);

    size_t length = static_cast<size_t>(
        std::snprintf(line.data(), line.size(), "%04d#%02d:%02d:%02d:%03d>> ", number,
                      local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(millis)));
    // Room is kept for CR LF and the terminator; a longer text is cut.
    std::array<char, kLineBufferSize> text{};
    va_list args;
    va_start(args, format);
    const size_t textLength = FormatInto(text.data(), text.size(), format, args);
    va_end(args);
    length += EscapeInto(line.data() + length, line.size() - length - 2,
                         std::string_view(text.data(), textLength));
    line[length++] = '\r';
    line[length++] = '\n';
    line[length] = '\0';

    if (g_debugOutput.load(std::memory_order_relaxed))
        // Standard error is the counterpart of a debugger's output channel;
        // a line it does not take is dropped.
        (void)posix_io::WriteAll(STDERR_FILENO, line.data(), length);
    // The finished line is passed as an argument, so a '%' in it stays as it is.
    AppendOutputText(IDC_OUTPUT, "%s", line.data());
}

std::string EscapeControls(std::string_view text) {
    std::string out(text.size() * 4 + 1, '\0');
    out.resize(EscapeInto(out.data(), out.size(), text));
    return out;
}

void ClearOutput() {
    if (controls::Port* dialog = controls::MainDialog()) dialog->SetText(IDC_OUTPUT, "");
}
