// The headless dialog: calls from any thread run on its user-interface
// thread, clicks run their handler to completion, and shutting it down
// releases every waiting caller.
#include "headless_dialog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

using controls::HeadlessDialog;

TEST(HeadlessDialog, CallsFromOtherThreadsRunOnTheUiThread) {
    HeadlessDialog dialog;
    EXPECT_FALSE(dialog.OnUiThread());
    std::thread::id ran;
    dialog.Invoke([&] { ran = std::this_thread::get_id(); });
    EXPECT_NE(std::this_thread::get_id(), ran);
    bool onUi = false;
    dialog.Invoke([&] { onUi = dialog.OnUiThread(); });
    EXPECT_TRUE(onUi);
}

TEST(HeadlessDialog, ClickRunsItsHandlerToCompletionAndNestedCallsRunDirectly) {
    HeadlessDialog dialog;
    std::vector<int> order;
    dialog.SetHandler(7, [&] {
        // A handler calling the port runs its calls directly, never waiting on itself.
        dialog.SetText(8, "inner");
        order.push_back(dialog.GetText(8) == "inner" ? 1 : -1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        order.push_back(2);
    });
    dialog.Click(7);
    order.push_back(3);
    EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
    dialog.Click(999);  // no handler: nothing happens
}

TEST(HeadlessDialog, HoldsTextsChecksSelectionsAndBitmaps) {
    HeadlessDialog dialog;
    EXPECT_EQ("", dialog.GetText(1));
    EXPECT_EQ(0, dialog.IsChecked(2));
    EXPECT_EQ(-1, dialog.GetSelection(3));
    EXPECT_EQ(0, dialog.ShownBitmap(4));

    dialog.SetText(1, "检测到设备已连接 100%");
    dialog.SetChecked(2, true);
    dialog.SetItems(3, {"0x08000000", "0x20000000"});
    dialog.SetSelection(3, 1);
    dialog.ShowBitmap(4, 158);
    EXPECT_EQ("检测到设备已连接 100%", dialog.GetText(1));
    EXPECT_EQ(1, dialog.IsChecked(2));
    EXPECT_EQ(1, dialog.GetSelection(3));
    EXPECT_EQ(158, dialog.ShownBitmap(4));
    dialog.SetSelection(3, 2);
    EXPECT_EQ(-1, dialog.GetSelection(3)) << "beyond the items";
    dialog.SetChecked(2, false);
    EXPECT_EQ(0, dialog.IsChecked(2));
}

TEST(HeadlessDialog, AppendGoesToTheEndAndIsObserved) {
    HeadlessDialog dialog;
    std::vector<std::string> seen;
    dialog.SetAppendObserver([&](int id, std::string_view text) {
        if (id == 5) seen.emplace_back(text);
    });
    dialog.SetText(5, "a");
    dialog.AppendText(5, "b\r\n");
    std::thread([&] { dialog.AppendText(5, "c"); }).join();
    EXPECT_EQ("ab\r\nc", dialog.GetText(5));
    EXPECT_EQ(5u, dialog.CaretPosition(5));
    EXPECT_EQ((std::vector<std::string>{"b\r\n", "c"}), seen);
    dialog.SetText(5, "");
    EXPECT_EQ(0u, dialog.CaretPosition(5));
}

TEST(HeadlessDialog, ConcurrentAppendsAllArrive) {
    HeadlessDialog dialog;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) dialog.AppendText(5, "x");
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(800u, dialog.GetText(5).size());
}

TEST(HeadlessDialog, ShutdownReleasesWaitersAndLaterCallsReturnAtOnce) {
    HeadlessDialog dialog;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> handlerStarted{false};
    std::atomic<bool> handlerDone{false};
    dialog.SetHandler(1, [&] {
        handlerStarted = true;
        released.wait();
        handlerDone = true;
    });
    dialog.SetText(2, "kept");
    std::thread clicker([&] { dialog.Click(1); });
    while (!handlerStarted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto queued = std::async(std::launch::async, [&] { return dialog.GetText(2); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    dialog.Shutdown();
    EXPECT_EQ("", queued.get()) << "queued read dropped, not run";
    EXPECT_EQ(0, dialog.IsChecked(3));
    release.set_value();
    clicker.join();
    EXPECT_TRUE(handlerDone) << "a call already running is still waited for";
}
