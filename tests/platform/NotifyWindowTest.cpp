#include "platform/NotifyWindow.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

struct Recorder {
    std::vector<UINT> got;
    NotifyWindow window{[this](UINT m, WPARAM, LPARAM) -> LRESULT {
        got.push_back(m);
        return 0;
    }};
};

} // namespace

TEST(NotifyWindow, DeliveryComesAfterWhatIsQueuedAndNeedsALiveWindow)
{
    Recorder other;
    std::vector<UINT> got;
    NotifyWindow window([&](UINT m, WPARAM, LPARAM) -> LRESULT {
        got.push_back(m);
        if (m == WM_USER + 3)
            other.window.Post(WM_USER + 6); // the handler's follow-up
        return 0;
    });
    window.Post(WM_USER + 1);
    other.window.Post(WM_USER + 2);
    ASSERT_TRUE(DeliverToWindow(window.Handle(), WM_USER + 3, 0, 0));
    // Handled at once, after the thread's queue and before what its handler
    // posted, without a turn of the loop.
    EXPECT_EQ(got, (std::vector<UINT>{WM_USER + 1, WM_USER + 3}));
    EXPECT_EQ(other.got, (std::vector<UINT>{WM_USER + 2, WM_USER + 6}));

    // A window closed by a queued message gets nothing, and the caller hears so.
    auto doomed = std::make_unique<Recorder>();
    const auto handle = doomed->window.Handle();
    NotifyWindow closing([&](UINT, WPARAM, LPARAM) -> LRESULT {
        doomed.reset();
        return 0;
    });
    closing.Post(WM_USER);
    EXPECT_FALSE(DeliverToWindow(handle, WM_USER + 4, 0, 0));
    EXPECT_FALSE(doomed);

    // From another thread it is a post: handled by the window's own loop.
    Recorder rec;
    std::thread worker([&] { EXPECT_TRUE(DeliverToWindow(rec.window.Handle(), WM_USER + 5, 0, 0)); });
    worker.join();
    EXPECT_TRUE(rec.got.empty());
    ASSERT_TRUE(PumpUntil([&] { return rec.got.size() == 1; }));
    EXPECT_EQ(rec.got.back(), WM_USER + 5);
}
