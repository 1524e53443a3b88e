// The log line writer: one write per line, nothing kept back.
#include "trasmo/result_log.h"

#include <unistd.h>

#include <cstring>

#include "platform/posix/posix_io.h"

namespace trasmo {

int g_monitorLog = kInvalidHandle;
int g_importLog = kInvalidHandle;
int g_manualConversion = 0;

void WriteLogLine(int handle, std::string_view text) {
    if (handle == kInvalidHandle || text.empty()) return;
    if (text.size() > kMaxLogText) text = text.substr(0, kMaxLogText);
    // One write per line, at the moment it is logged: the log shows how far a run got even
    // when the run is killed. Its outcome is ignored.
    char line[kMaxLogText + 3];
    std::memcpy(line, text.data(), text.size());
    std::memcpy(line + text.size(), " \r\n", 3);
    (void)posix_io::RetryOnEintr([&] { return ::write(handle, line, text.size() + 3); });
}

}  // namespace trasmo
