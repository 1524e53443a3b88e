// Loads Debian's Qt translation from Qt's own translations folder.
#include "vornic/ui/qt_translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>
#include <cstdio>
#include <memory>

namespace vornic_ui {

namespace {
// Owned by the application object; only touched on the user-interface thread.
QPointer<QTranslator> g_qtTranslator;
}  // namespace

int InstallQtTranslations(bool chinese) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return 0;
    if (g_qtTranslator) {
        QCoreApplication::removeTranslator(g_qtTranslator);
        g_qtTranslator->deleteLater();
        g_qtTranslator = nullptr;
    }
    if (!chinese) return 1;

    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QStringLiteral("qtbase_zh_CN"), folder)) {
        std::fprintf(stderr,
                     "vornic: Qt's Chinese texts were not found in %s (package "
                     "qt6-translations-l10n); its dialogs stay English\n",
                     folder.toLocal8Bit().constData());
        return 0;
    }
    QCoreApplication::installTranslator(translator.get());
    translator->setParent(app);  // the application owns it from here
    g_qtTranslator = translator.release();
    return 1;
}

}  // namespace vornic_ui
