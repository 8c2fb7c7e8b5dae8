// Joining and leaving apartments, the pump of a single-threaded apartment, registered messages.
#include "platform/apartment.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <thread>
#include <utility>

namespace {

// The calling thread's apartment type and qualifier.
std::pair<APTTYPE, APTTYPEQUALIFIER> Kind() {
    std::pair<APTTYPE, APTTYPEQUALIFIER> kind{};
    EXPECT_EQ(S_OK, CoGetApartmentType(&kind.first, &kind.second));
    return kind;
}

TEST(Apartment, JoinsAreCountedTheKindIsFixedAndAnExitingThreadLeaves) {
    unsigned long me = 0;
    std::thread([&me] {
        EXPECT_EQ(Kind(), std::make_pair(APTTYPE_MTA, APTTYPEQUALIFIER_IMPLICIT_MTA));

        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        EXPECT_EQ(Kind(), std::make_pair(APTTYPE_STA, APTTYPEQUALIFIER_NONE));
        me = brevanto::CurrentThreadId();
        CoUninitialize();  // one join left: the apartment stays
        EXPECT_TRUE(CoPostToApartment(me, [] {}));
        EXPECT_EQ(1, CoPumpPendingMessages());
        CoUninitialize();
        EXPECT_FALSE(CoPostToApartment(me, [] {}));
        CoUninitialize();  // one too many does nothing

        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        EXPECT_FALSE(CoPostToApartment(me, [] {}));  // no queue in the multithreaded one
        EXPECT_EQ(Kind(), std::make_pair(APTTYPE_MTA, APTTYPEQUALIFIER_NONE));
        CoUninitialize();
        // The thread exits still joined to an apartment of its own.
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        EXPECT_TRUE(CoPostToApartment(me, [] {}));
    }).join();
    EXPECT_FALSE(CoPostToApartment(me, [] {}));
}

TEST(Apartment, PumpRunsQueuedWorkInOrderUntilQuit) {
    std::promise<unsigned long> started;
    std::vector<int> order;
    std::thread sta([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        EXPECT_TRUE(CoPumpMessages(1));  // nothing to do: the wait times out
        started.set_value(brevanto::CurrentThreadId());
        while (CoPumpMessages(-1)) {
        }
        EXPECT_EQ(0, CoPumpPendingMessages());
        CoUninitialize();
    });
    unsigned long id = started.get_future().get();
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(CoPostToApartment(id, [&order, i] { order.push_back(i); }));
    // Work posted from inside a work item runs after what was already queued.
    EXPECT_TRUE(CoPostToApartment(id, [&order, id] {
        CoPostToApartment(id, [&order] { order.push_back(99); });
        order.push_back(5);
        CoPostQuit();
    }));
    sta.join();
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 99}), order);
    EXPECT_FALSE(CoPostToApartment(id, [] {}));
}

// A stream of calls that never lets the queue empty holds neither the time-out nor the quit
// back (the stream stops by itself after kCap items, so a pump that waits for an empty queue
// returns late rather than never).
TEST(Apartment, TimeOutAndQuitWinOverWorkThatKeepsComing) {
    std::thread([] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        const unsigned long me = brevanto::CurrentThreadId();
        constexpr int kCap = 200000;
        int runs = 0;
        std::function<void()> again = [&] {
            if (++runs < kCap) CoPostToApartment(me, again);
        };
        ASSERT_TRUE(CoPostToApartment(me, again));
        EXPECT_TRUE(CoPumpMessages(0));
        EXPECT_GE(runs, 1) << "the work queued when the pass began runs";
        EXPECT_LT(runs, kCap) << "the time-out waited for the queue to empty";
        const int before_quit = runs;
        CoPostQuit();
        EXPECT_FALSE(CoPumpMessages(-1));
        EXPECT_GT(runs, before_quit) << "the work queued before the quit runs";
        EXPECT_LT(runs, kCap) << "the quit waited for the queue to empty";
        runs = kCap;
        CoPumpPendingMessages();
        CoUninitialize();
    }).join();
}

TEST(RegisteredMessages, NamesGiveStableNumbersAndBroadcastsReachListeners) {
    UINT a = RegisterWindowMessageW(u"Test_Message_A");
    EXPECT_GE(a, 0xC000u);
    EXPECT_EQ(a, RegisterWindowMessageW(u"TEST_message_a"));
    EXPECT_NE(a, RegisterWindowMessageW(u"Test_Message_B"));
    EXPECT_EQ(0u, RegisterWindowMessageW(u""));

    std::vector<UINT> seen;
    int first = AddMessageListener([&](UINT m, std::uintptr_t w, std::intptr_t l) {
        EXPECT_EQ(0u, w);
        EXPECT_EQ(0, l);
        seen.push_back(m);
    });
    int second =
        AddMessageListener([&](UINT m, std::uintptr_t, std::intptr_t) { seen.push_back(m + 1); });
    EXPECT_EQ(2, BroadcastRegisteredMessage(a, 0, 0));
    RemoveMessageListener(first);
    EXPECT_EQ(1, BroadcastRegisteredMessage(a, 0, 0));
    RemoveMessageListener(second);
    EXPECT_EQ(0, BroadcastRegisteredMessage(a, 0, 0));
    EXPECT_EQ((std::vector<UINT>{a, a + 1, a + 1}), seen);
}

}  // namespace
