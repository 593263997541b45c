// Host events: guest states, user data with its payload in the map, candidates,
// and a full queue that drops the event and frees its payload.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "host/host_events.h"
#include "platform/map.h"
#include "platform/memory.h"
#include "platform/queue.h"
#include "platform/thread.h"
#include "support/log_capture.h"

namespace {

TEST(HostEvents, GuestStatesUserDataCandidatesAndAFullQueue) {
    std::atomic<uint32_t> next_id{0}, guests{0};
    HostEventTarget t = {VKO_QueueCreate(HOST_EVENT_SLOTS, HOST_EVENT_SLOT_SIZE), VKO_MutexCreate(),
                         VKO_HashCreate(100), &next_id, &guests};
    GuestInfo guest = {};
    guest.userID = 77;
    auto pop = [&] {
        void *buf;
        uint64_t size = 0;
        HostEvent e = {};
        EXPECT_TRUE(VKO_QueueGetOutputBuffer(t.queue, 0, &buf, &size) && size == HOST_EVENT_SLOT_SIZE);
        memcpy(&e, buf, sizeof(e));
        VKO_QueuePop(t.queue);
        return e;
    };
    auto text = [](const char *s) {
        return static_cast<char *>(memcpy(VKO_Alloc(strlen(s) + 1, 1), s, strlen(s) + 1));
    };
    // state, reason -> code, status; the guest's own disconnect is 0.
    const int32_t rows[][4] = {{4, 0, 0, 1}, {8, -13014, 0, 2}, {8, -13015, -13015, 2}, {8, 4, 4, 2}};
    for (const auto &r : rows) {
        guest.state = (uint32_t)r[0];
        host_on_guest_state(&guest, (uint32_t)r[0], r[1], (uint64_t)time(nullptr) - 90, &t);
        HostEvent e = pop();
        EXPECT_EQ(std::vector<int64_t>({e.type, e.state.code, e.state.status, e.state.guest.userID,
                                        guests.load(), e.state.duration / 60}),
                  std::vector<int64_t>({1, r[2], r[3], 77, r[0], 1}));
    }
    EXPECT_EQ(host_on_user_data(&guest, 9, text("first"), &t), 0);
    EXPECT_EQ(host_on_user_data(&guest, 9, text("second"), &t), 0);
    HostEvent a = pop(), b = pop();
    EXPECT_EQ(std::vector<uint32_t>({a.type, a.data.data_type, b.data.data_id}),
              std::vector<uint32_t>({HOST_EVENT_USER_DATA, 9, a.data.data_id + 1}));
    EXPECT_STREQ(static_cast<char *>(VKO_HashGetInt(t.user_data, b.data.data_id)), "second");

    std::string id(80, 'a'), ip(100, '1');
    host_on_local_candidate(id.c_str(), ip.c_str(), 4242, 1, 0, 1, &t);
    HostEvent c = pop();
    EXPECT_EQ(std::string(c.candidate.attempt_id) + " " + c.candidate.ip,
              id.substr(0, 55) + " " + ip.substr(0, 71));
    EXPECT_EQ(c.type + c.candidate.port + c.candidate.lan + c.candidate.sync, 3u + 4244u);
    host_on_attempt_failed(&guest, -6023, &t);
    HostEvent f = pop();
    EXPECT_EQ(f.state.code + (int32_t)f.state.status, -6023 + 1);

    // Full: the event is dropped and its payload freed (LeakSanitizer would report it).
    LogCapture log;
    for (uint32_t i = 0; i < HOST_EVENT_SLOTS; i++) ASSERT_EQ(host_on_user_data(&guest, 1, text("x"), &t), 0);
    EXPECT_EQ(host_on_user_data(&guest, 1, text("dropped"), &t), HOST_EVENT_QUEUE_FULL);
    EXPECT_EQ(VKO_HashGetInt(t.user_data, next_id.load()), nullptr);
    EXPECT_TRUE(log.contains("host_event_push: Failed to push host event to queue"));
    VKO_QueueFlush(t.queue, nullptr);
    VKO_QueueDestroy(&t.queue);
    VKO_HashDestroy(&t.user_data, VKO_Free);
    VKO_MutexDestroy(&t.user_data_mutex);
}

}  // namespace
