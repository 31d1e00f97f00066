// SPDX-License-Identifier: GPL-2.0-or-later
// tmmqtt's outage queue: order kept, the oldest dropped past the bound, and
// every dropped event counted in the lost field of the one after it.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "queue.h"

namespace {

tm_record Rec(uint32_t seq, uint32_t lost = 0) {
    tm_record r{};
    r.kind = VORN_EVENT_ATTACHED;
    r.seq = seq;
    r.lost = lost;
    return r;
}

void Push(tm_queue &q, tm_record r) {
    tm_queue_push(&q, &r);
}

struct Out {
    uint32_t seq;
    uint32_t lost;
    bool operator==(const Out &o) const { return seq == o.seq && lost == o.lost; }
};

std::ostream &operator<<(std::ostream &os, const Out &o) {
    return os << "{" << o.seq << "," << o.lost << "}";
}

std::vector<Out> Drain(tm_queue &q) {
    std::vector<Out> out;
    while (const tm_record *r = tm_queue_front(&q)) {
        out.push_back({r->seq, r->lost});
        tm_queue_pop(&q);
    }
    return out;
}

class Queue {
  public:
    explicit Queue(size_t cap) { ok = tm_queue_init(&q, cap); }
    ~Queue() { tm_queue_free(&q); }
    tm_queue q;
    int ok;
};

} // namespace

TEST(MqttQueue, KeepsOrderUpToTheBoundAcrossTheRingsEnd) {
    Queue w(3);
    ASSERT_EQ(w.ok, 1);
    Push(w.q, Rec(1));
    Push(w.q, Rec(2));
    tm_queue_pop(&w.q);
    Push(w.q, Rec(3));
    Push(w.q, Rec(4));
    EXPECT_EQ(Drain(w.q), (std::vector<Out>{{2, 0}, {3, 0}, {4, 0}}));
    EXPECT_EQ(tm_queue_front(&w.q), nullptr);
    tm_queue_pop(&w.q); // harmless when empty
    EXPECT_EQ(w.q.count, 0u);
}

TEST(MqttQueue, PastTheBoundTheOldestGoAndTheNextSaysHowMany) {
    Queue w(3);
    for (uint32_t s = 1; s <= 7; s++)
        Push(w.q, Rec(s));
    std::vector<Out> out = Drain(w.q);
    EXPECT_EQ(out, (std::vector<Out>{{5, 4}, {6, 0}, {7, 0}}));
    // What a subscriber sees adds up: every change published or counted.
    uint32_t total = 0;
    for (const Out &o : out)
        total += 1 + o.lost;
    EXPECT_EQ(total, 7u);
}

TEST(MqttQueue, ADroppedEventsOwnLostCountIsCarriedOn) {
    Queue w(2);
    Push(w.q, Rec(5, 4)); // the driver had lost 1..4
    Push(w.q, Rec(6, 0));
    Push(w.q, Rec(7, 0)); // drops 5: 1..5 are gone before 6
    EXPECT_EQ(Drain(w.q), (std::vector<Out>{{6, 5}, {7, 0}}));
}

TEST(MqttQueue, ABoundOfOneCountsIntoTheNewEvent) {
    Queue w(1);
    Push(w.q, Rec(1));
    Push(w.q, Rec(2, 1));
    Push(w.q, Rec(3));
    EXPECT_EQ(Drain(w.q), (std::vector<Out>{{3, 3}}));
}

TEST(MqttQueue, TheLostCountSaturates) {
    Queue w(1);
    Push(w.q, Rec(1, UINT32_MAX - 1));
    Push(w.q, Rec(2, 5));
    EXPECT_EQ(Drain(w.q), (std::vector<Out>{{2, UINT32_MAX}}));
}

TEST(MqttQueue, TheDaemonsBoundHoldsThatManyEvents) {
    Queue w(TM_QUEUE_LEN);
    ASSERT_EQ(w.ok, 1);
    for (uint32_t s = 1; s <= TM_QUEUE_LEN + 10; s++)
        Push(w.q, Rec(s));
    EXPECT_EQ(w.q.count, static_cast<size_t>(TM_QUEUE_LEN));
    ASSERT_NE(tm_queue_front(&w.q), nullptr);
    EXPECT_EQ(tm_queue_front(&w.q)->seq, 11u);
    EXPECT_EQ(tm_queue_front(&w.q)->lost, 10u);
    Queue none(0);
    EXPECT_EQ(none.ok, 0);
}
