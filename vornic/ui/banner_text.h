// What each status banner says: drawn into its picture by the artwork tool and
// read out to a screen reader as the banner's description.
#pragma once

#include "platform/controls/control_ids.h"

namespace vornic_ui {

// UTF-8; empty for the blank banner and any other bitmap.
inline const char* BannerText(int bitmapId) {
    switch (bitmapId) {
        case IDB_BANNER_PROTECTED_ZH:
            return "代码读保护已使能";
        case IDB_BANNER_UNPROTECTED_ZH:
            return "代码读保护已解除";
        case IDB_BANNER_PROTECTED_EN:
            return "Code read protection is enabled";
        case IDB_BANNER_UNPROTECTED_EN:
            return "Code read protection is disabled";
        default:
            return "";
    }
}

}  // namespace vornic_ui
