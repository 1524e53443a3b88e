// Why the probe did not open, told in the window: one box per distinct
// problem while it lasts, never for a plain "no probe attached".
#include "vornic/ui/open_problem_notice.h"

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <algorithm>

#include "vornic/ui/vornic_dlg.h"

namespace vornic_ui {
namespace {

using probelib::OpenProblem;

TEST(OpenProblemNoticeTest, OneBoxPerDistinctProblemWhileItLasts) {
    CVornicDlg dlg({});
    dlg.show();
    OpenProblemNotice notice(&dlg);
    auto shownBoxes = [&] {
        auto boxes = dlg.findChildren<QMessageBox*>();
        return std::count_if(boxes.begin(), boxes.end(), [](QWidget* b) { return b->isVisible(); });
    };

    EXPECT_FALSE(notice.Report(OpenProblem::NotFound));
    EXPECT_TRUE(notice.Report(OpenProblem::WrongMode));
    EXPECT_FALSE(notice.Report(OpenProblem::WrongMode));  // the next arrival, same mode
    ASSERT_TRUE(QTest::qWaitFor([&] { return shownBoxes() == 1; }));
    ASSERT_EQ(dlg.findChildren<QMessageBox*>().size(), 1);
    QPointer<QMessageBox> box = dlg.findChild<QMessageBox*>();
    EXPECT_EQ(box->text().toStdString(),
              probelib::OpenProblemText(OpenProblem::WrongMode, probelib::ShippedRuleFile(),
                                        true));  // the window's default language
    EXPECT_FALSE(box->isModal());
    EXPECT_TRUE(box->textInteractionFlags() & Qt::TextSelectableByMouse);

    // Another problem replaces the box; an open that works takes it away, and
    // the same problem coming back after that is told again.
    EXPECT_TRUE(notice.Report(OpenProblem::Permission));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shownBoxes() == 1 && !box; }));
    EXPECT_FALSE(notice.Report(OpenProblem::None));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shownBoxes() == 0; }));
    EXPECT_TRUE(notice.Report(OpenProblem::Permission));
}

}  // namespace
}  // namespace vornic_ui
