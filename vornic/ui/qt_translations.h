// Qt's own texts (standard buttons, the file chooser, the edit menus) in the
// language the window shows its own texts in.
#pragma once

namespace vornic_ui {

// Installs Qt's Chinese translation when `chinese` is set and removes it
// otherwise, replacing whatever an earlier call installed. Needs the
// application object. Returns 1, or 0 when the translation could not be
// loaded (reported on standard error; Qt's texts then stay English).
int InstallQtTranslations(bool chinese);

}  // namespace vornic_ui
