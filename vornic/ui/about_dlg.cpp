// The about box, laid out on the dialog-unit grid of the main dialog.
#include "vornic/ui/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "vornic/ui/resources.h"
#include "vornic/ui/vornic_dlg.h"

namespace vornic_ui {

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    // The about box is Chinese only, whatever the language flag says.
    setWindowTitle(QStringLiteral("关于 Vornic"));
    if (parent != nullptr) setFont(parent->font());
    setFixedSize(DluToPx(235), DluToPx(55));
    const QIcon icon = LoadResourceIcon(IDI_MAINFRAME);
    setWindowIcon(icon);

    auto* iconLabel = new QLabel(this);
    iconLabel->setObjectName(QStringLiteral("aboutIcon"));
    QRect iconRect = DluRect(11, 17, 20, 20);
    iconLabel->setGeometry(iconRect);
    iconLabel->setPixmap(icon.pixmap(iconRect.size()));

    auto* text = new QLabel(QStringLiteral("Vornic 1.0 版"), this);
    text->setObjectName(QStringLiteral("aboutText"));
    text->setGeometry(DluRect(40, 10, 119, 8).adjusted(0, -2, 0, 2));

    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName(QStringLiteral("aboutOk"));
    ok->setGeometry(DluRect(178, 7, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace vornic_ui
