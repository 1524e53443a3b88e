// Small helpers the flash code shares: a log line in the chosen language, and
// the main dialog's texts and banner set when there is a dialog.
#pragma once

#include "platform/controls/control_ids.h"
#include "platform/controls/controls.h"
#include "vornic/log/language.h"
#include "vornic/log/output_log.h"

namespace vornic_probe {

namespace probe_detail {

// Logs the member of a text pair the language flag picks.
inline void LogText(const char* zh, const char* en) { LogMessage("%s", Tr(zh, en)); }

inline void SetControlText(int id, const char* text) {
    if (controls::Port* port = controls::MainDialog()) port->SetText(id, text);
}

inline void ShowBanner(int bitmap) {
    if (controls::Port* port = controls::MainDialog()) port->ShowBitmap(IDC_STATUS_BITMAP, bitmap);
}

}  // namespace probe_detail

}  // namespace vornic_probe
