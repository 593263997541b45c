// Host events: guest states, user data with its payload in the map, candidates,
// a full queue that drops the event and frees its payload, and producers on
// several threads.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/host_events.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/queue.h"
#include "platform/thread.h"
#include "support/log_capture.h"

namespace {

class HostEvents : public ::testing::Test {
   protected:
    void SetUp() override {
        t_ = {VKO_QueueCreate(HOST_EVENT_SLOTS, HOST_EVENT_SLOT_SIZE), VKO_MutexCreate(), VKO_HashCreate(100),
              &next_id_, &guests_};
        guest_.id = 5;
        guest_.userID = 77;
        snprintf(guest_.name, sizeof(guest_.name), "%s", "pat");
    }
    void TearDown() override {
        VKO_QueueFlush(t_.queue, nullptr);
        VKO_QueueDestroy(&t_.queue);
        VKO_HashDestroy(&t_.user_data, VKO_Free);
        VKO_MutexDestroy(&t_.user_data_mutex);
    }
    HostEvent pop() {
        void *buf;
        uint64_t size = 0;
        HostEvent e = {};
        EXPECT_TRUE(VKO_QueueGetOutputBuffer(t_.queue, 0, &buf, &size));
        EXPECT_EQ(size, HOST_EVENT_SLOT_SIZE);
        memcpy(&e, buf, sizeof(e));
        VKO_QueuePop(t_.queue);
        return e;
    }
    char *text(const char *s) {
        char *p = static_cast<char *>(VKO_Alloc(strlen(s) + 1, 1));
        memcpy(p, s, strlen(s) + 1);
        return p;
    }
    char *payload(uint32_t id) {
        VKO_MutexLock(t_.user_data_mutex);
        char *p = static_cast<char *>(VKO_HashGetInt(t_.user_data, id));
        VKO_MutexUnlock(t_.user_data_mutex);
        return p;
    }

    std::atomic<uint32_t> next_id_{0}, guests_{0};
    HostEventTarget t_;
    GuestInfo guest_ = {};
};

TEST_F(HostEvents, GuestStatesUserDataAndCandidates) {
    struct {
        uint32_t state;
        int32_t reason;
        int32_t code;
        uint32_t status;
    } const rows[] = {{4, 0, 0, 1}, {8, -13014, 0, 2}, {8, -13015, -13015, 2}, {8, 4, 4, 2}};
    uint32_t count = 3;
    for (const auto &r : rows) {
        guest_.state = r.state;
        host_on_guest_state(&guest_, count, r.reason, (uint64_t)time(nullptr) - 90, &t_);
        HostEvent e = pop();
        EXPECT_EQ(e.type, HOST_EVENT_GUEST_STATE);
        EXPECT_EQ(e.state.code, r.code);
        EXPECT_EQ(e.state.status, r.status);
        EXPECT_NEAR(e.state.duration, 90u, 2u);
        EXPECT_EQ(e.state.guest.userID, 77u);
        EXPECT_EQ(guests_.load(), count--);
    }

    EXPECT_EQ(host_on_user_data(&guest_, 9, text("first"), &t_), 0);
    EXPECT_EQ(host_on_user_data(&guest_, 9, text("second"), &t_), 0);
    HostEvent a = pop(), b = pop();
    EXPECT_EQ(a.type, HOST_EVENT_USER_DATA);
    EXPECT_EQ(a.data.data_type, 9u);
    EXPECT_EQ(b.data.data_id, a.data.data_id + 1);
    EXPECT_STREQ(payload(a.data.data_id), "first");
    EXPECT_STREQ(payload(b.data.data_id), "second");

    std::string id(80, 'a'), ip(100, '1');
    host_on_local_candidate(id.c_str(), ip.c_str(), 4242, 1, 0, 1, &t_);
    HostEvent c = pop();
    EXPECT_EQ(c.type, HOST_EVENT_CANDIDATE);
    EXPECT_EQ(std::string(c.candidate.attempt_id), id.substr(0, 55));
    EXPECT_EQ(std::string(c.candidate.ip), ip.substr(0, 71));
    EXPECT_EQ(c.candidate.port, 4242);
    EXPECT_EQ(c.candidate.lan, 1);
    EXPECT_EQ(c.candidate.sync, 1);

    host_on_attempt_failed(&guest_, -6023, &t_);
    HostEvent f = pop();
    EXPECT_EQ(f.state.code, -6023);
    EXPECT_EQ(f.state.status, HOST_GUEST_CONNECTED);
}

TEST_F(HostEvents, AFullQueueDropsTheEventAndFreesItsPayload) {
    LogCapture log;
    for (uint32_t i = 0; i < HOST_EVENT_SLOTS; i++)
        ASSERT_EQ(host_on_user_data(&guest_, 1, text("x"), &t_), 0);
    // LeakSanitizer reports the dropped payload if it is not freed.
    EXPECT_EQ(host_on_user_data(&guest_, 1, text("dropped"), &t_), HOST_EVENT_QUEUE_FULL);
    EXPECT_EQ(payload(HOST_EVENT_SLOTS + 1), nullptr);
    EXPECT_TRUE(log.contains("host_event_push: Failed to push host event to queue"));
    guest_.state = 8;
    host_on_guest_state(&guest_, 0, 4, 0, &t_);  // only logged
    EXPECT_EQ(guests_.load(), 0u);
    EXPECT_EQ(VKO_QueueGetLength(t_.queue), HOST_EVENT_SLOTS);
}

TEST_F(HostEvents, ProducersOnSeveralThreadsGetDistinctPayloadIds) {
    constexpr int kThreads = 4, kEach = 200;
    std::set<uint32_t> ids;
    std::atomic<int> done{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; t++)
        producers.emplace_back([&] {
            for (int i = 0; i < kEach; i++)
                while (host_on_user_data(&guest_, 2, text("p"), &t_) == HOST_EVENT_QUEUE_FULL)
                    std::this_thread::yield();
            done++;
        });
    while (ids.size() < kThreads * kEach) {
        void *buf;
        uint64_t size;
        if (!VKO_QueueGetOutputBuffer(t_.queue, 100, &buf, &size)) continue;
        HostEvent e;
        memcpy(&e, buf, sizeof(e));
        VKO_QueuePop(t_.queue);
        ASSERT_STREQ(payload(e.data.data_id), "p");
        ids.insert(e.data.data_id);
    }
    for (auto &p : producers) p.join();
    EXPECT_EQ(ids.size(), (size_t)kThreads * kEach);
}

}  // namespace
