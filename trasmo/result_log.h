// The converter's two logs and its result flag, shared by every step of a run.
#pragma once

#include <cstddef>
#include <string_view>

namespace trasmo {

inline constexpr int kInvalidHandle = -1;
inline constexpr std::size_t kMaxLogText = 1020;

extern int g_monitorLog;        // file descriptor of ExeMonitor.log, or kInvalidHandle
extern int g_importLog;         // file descriptor of ImportKeilProj.log, or kInvalidHandle
extern int g_manualConversion;  // 1: some file has to be converted by hand (keil.ini TRUE)

// Appends "text \r\n" to the log with one write; nothing for an invalid handle or empty
// text. Texts longer than kMaxLogText bytes are cut to that length.
void WriteLogLine(int handle, std::string_view text);

}  // namespace trasmo
