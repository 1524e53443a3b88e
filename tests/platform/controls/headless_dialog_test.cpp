// The headless dialog: calls from any thread run on its user-interface
// thread, clicks run their handler to completion, and shutting it down
// releases every waiting caller.
#include "platform/controls/headless_dialog.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <thread>
#include <vector>

using controls::HeadlessDialog;

TEST(HeadlessDialog, CallsRunOnTheUiThreadAndAHandlersOwnCallsDoNotWait) {
    HeadlessDialog dialog;
    std::thread::id ran;
    dialog.Invoke([&] { ran = std::this_thread::get_id(); });
    EXPECT_NE(std::this_thread::get_id(), ran);
    std::vector<std::string> order;
    dialog.SetHandler(7, [&] {
        order.push_back(dialog.OnUiThread() ? "on ui" : "elsewhere");
        dialog.SetText(8, "inner");
        order.push_back(dialog.GetText(8));
    });
    dialog.Click(7);
    order.push_back("returned");
    EXPECT_EQ((std::vector<std::string>{"on ui", "inner", "returned"}), order);
}

TEST(HeadlessDialog, AppendsFromEveryThreadArriveAtTheEndAndAreObserved) {
    HeadlessDialog dialog;
    size_t observed = 0;
    dialog.SetAppendObserver([&](int id, std::string_view text) { observed += text.size() * id; });
    dialog.SetText(5, "a");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) dialog.AppendText(5, "x\r\n");
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(1u + 800 * 3, dialog.GetText(5).size());
    EXPECT_EQ(dialog.GetText(5).size(), dialog.CaretPosition(5));
    EXPECT_EQ(800u * 3 * 5, observed);
}

TEST(HeadlessDialog, ShutdownDropsQueuedCallsAndReleasesWaiters) {
    auto dialog = std::make_unique<HeadlessDialog>();
    std::promise<void> started, release;
    dialog->SetText(2, "kept");
    dialog->SetHandler(1, [&] {
        started.set_value();
        release.get_future().wait();
    });
    std::thread clicker([&] { dialog->Click(1); });
    started.get_future().wait();
    bool postedRan = false;
    dialog->Post([&] { postedRan = true; });  // queued behind the running handler
    auto reader = std::async(std::launch::async, [&] { return dialog->GetText(2); });
    dialog->Shutdown();
    EXPECT_EQ("", reader.get()) << "a read not yet run is dropped";
    EXPECT_EQ(-1, dialog->GetSelection(3)) << "later calls return at once";
    release.set_value();
    clicker.join();  // a call already running is still waited for
    dialog.reset();
    EXPECT_FALSE(postedRan);
}
