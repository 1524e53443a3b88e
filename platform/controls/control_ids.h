// Ids of the main dialog's controls and of the bitmap resources the flash code shows.
#pragma once

enum ControlId : int {
    IDC_LINK_STATUS = 1000,
    IDC_OPEN_DEVICE = 1001,
    IDC_FILE_PATH = 1002,
    IDC_BROWSE = 1003,
    IDC_ERASE_ALL = 1005,
    IDC_EXECUTE = 1006,
    IDC_OUTPUT = 1008,
    IDC_CLEAR_OUTPUT = 1009,
    IDC_PROGRAMME = 1011,
    IDC_VERIFY = 1012,
    IDC_CHECK_STATUS = 1015,
    IDC_DISABLE_PROTECT = 1016,
    IDC_ADDRESS = 1017,
    IDC_ENABLE_PROTECT = 1018,
    IDC_RESET = 1019,
    IDC_MCU_TYPE = 1020,
    IDC_STATUS_BITMAP = 1024,
    IDC_MCU_LABEL = 1025,
    IDC_ADDRESS_LABEL = 1026,
};

// Bitmap resources shown in IDC_STATUS_BITMAP.
enum BitmapId : int {
    IDB_BANNER_BLANK = 149,
    IDB_BANNER_PROTECTED_ZH = 158,
    IDB_BANNER_UNPROTECTED_ZH = 159,
    IDB_BANNER_PROTECTED_EN = 160,
    IDB_BANNER_UNPROTECTED_EN = 161,
};
