// The output log: numbered, timestamped lines appended to the output pane
// (IDC_OUTPUT) of the main dialog and copied to standard error.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

// Running line number; each line takes the current value and increments it.
extern std::atomic<int32_t> g_logCounter;

// When false, lines are not copied to standard error (a front end that
// prints the log itself turns the copy off). True at load.
extern std::atomic<bool> g_debugOutput;

// Appends one line "NNNN#HH:MM:SS:mmm>> text\r\n" to the pane. printf-style.
// Control bytes of the text are shown escaped, as EscapeControls does.
void LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats text into a 512-byte buffer and appends it at the end of an edit
// control of the main dialog. Returns 1 when a dialog took the text.
int AppendOutputText(int controlId, const char* format, ...) __attribute__((format(printf, 2, 3)));

// text with its control bytes escaped: \n, \r, \t, and \xHH for the others
// (DEL included), so that a name holding them neither splits nor hides in a line.
std::string EscapeControls(std::string_view text);

// Empties the output pane (handler of IDC_CLEAR_OUTPUT).
void ClearOutput();
