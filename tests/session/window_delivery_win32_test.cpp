// Delivery to a host window: each event reaches the callback, then the window,
// and none reaches the window once the callback has ended the session.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "Vevara_Rovo_dar.h"
#include "session/session.h"
#include "support/event_recorder.h"

namespace velkor {
namespace {

using testing::Event;
using testing::EventRecorder;

TEST(WindowDelivery, NoMessageFollowsACallbackThatClosedTheSession) {
    // A message-only window of this thread: the library's posts wait in this
    // thread's queue until the test takes them.
    HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    constexpr UINT kMessage = WM_APP + 7;
    EventRecorder recorder;
    recorder.on_event([](int a, int) {
        if (a == VELKOR_EV_SEARCH) _Close();
    });
    ASSERT_EQ(_Initialize(&EventRecorder::callback, window, kMessage), 0);
    Session::instance().post(VELKOR_EV_CONNECT, 0);
    Session::instance().post(VELKOR_EV_SEARCH, 0);
    ASSERT_TRUE(recorder.wait_for({VELKOR_EV_SEARCH, 0}));
    for (int i = 0; i < 2000 && Session::instance().initialised(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    std::vector<Event> posted;
    MSG message;
    while (PeekMessageA(&message, window, kMessage, kMessage, PM_REMOVE))
        posted.emplace_back(static_cast<int>(message.wParam), static_cast<int>(message.lParam));
    EXPECT_EQ(posted, (std::vector<Event>{{VELKOR_EV_CONNECT, 0}}));
    EXPECT_EQ(recorder.events(), (std::vector<Event>{{VELKOR_EV_CONNECT, 0}, {VELKOR_EV_SEARCH, 0}}));
    DestroyWindow(window);
}

}  // namespace
}  // namespace velkor
