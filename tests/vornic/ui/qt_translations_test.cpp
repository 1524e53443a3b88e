// Qt's own texts follow the window's language; the quit question keeps "No"
// as its default in both.
#include "qt_translations.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>

#include "vornic_dlg.h"

namespace vornic_ui {
namespace {

TEST(QtTranslationsTest, StandardButtonsFollowTheLanguageAndNoStaysTheDefault) {
    const struct {
        bool chinese;
        const char* yes;
        const char* no;
    } cases[] = {{true, "是(&Y)", "否(&N)"}, {false, "&Yes", "&No"}, {true, "是(&Y)", "否(&N)"}};
    for (const auto& c : cases) {
        ASSERT_EQ(InstallQtTranslations(c.chinese), 1);
        CVornicDlg dlg({});
        std::unique_ptr<QMessageBox> question = dlg.NewQuitQuestion();
        EXPECT_EQ(question->button(QMessageBox::Yes)->text(), QString::fromUtf8(c.yes));
        EXPECT_EQ(question->button(QMessageBox::No)->text(), QString::fromUtf8(c.no));
        EXPECT_EQ(question->defaultButton(), question->button(QMessageBox::No));
    }
    InstallQtTranslations(false);
}

}  // namespace
}  // namespace vornic_ui
