/*
 * queue: the bounded slot queue, alone and under a producer and a consumer.
 */
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <string.h>

#include <atomic>

#include "queue.h"

namespace {

#define NAME_SIZE 41

/* A 41-byte element: the name, its NUL, then filler bytes that must travel
 * with it, as the pipeline's name buffers do. */
struct Name {
    char bytes[NAME_SIZE];
    explicit Name(const char *text = "", char filler = '\x5a')
    {
        memset(bytes, filler, sizeof(bytes));
        strncpy(bytes, text, NAME_SIZE - 1);
        bytes[strlen(text) < NAME_SIZE - 1 ? strlen(text) : NAME_SIZE - 1] = '\0';
    }
    bool operator==(const Name &o) const { return memcmp(bytes, o.bytes, NAME_SIZE) == 0; }
};

/* Everything of a record that a refused operation must leave alone. */
struct Snapshot {
    int count, capacity, elem_size, head, tail;
    void **slots;
    char contents[8][NAME_SIZE];
    explicit Snapshot(const queue_t &q)
        : count(q.count), capacity(q.capacity), elem_size(q.elem_size), head(q.head),
          tail(q.tail), slots(q.slots)
    {
        memset(contents, 0, sizeof(contents));
        for (int i = 0; i < q.capacity && i < 8; i++)
            memcpy(contents[i], q.slots[i], NAME_SIZE);
    }
    bool operator==(const Snapshot &o) const
    {
        return count == o.count && capacity == o.capacity && elem_size == o.elem_size &&
               head == o.head && tail == o.tail && slots == o.slots &&
               memcmp(contents, o.contents, sizeof(contents)) == 0;
    }
};

class Queue : public ::testing::Test {
protected:
    queue_t q{}; /* zero-filled, as the daemon's static records are */
    void TearDown() override { queue_destory(&q); }
};

} // namespace

TEST_F(Queue, FirstInFirstOutWithElementsCopiedWhole)
{
    ASSERT_EQ(queue_create(&q, NAME_SIZE, 5), 1);
    EXPECT_EQ(queue_size(&q), 0);
    EXPECT_EQ(queue_is_empty(&q), 1);
    EXPECT_EQ(queue_is_full(&q), 0);
    Name a("diag_log_a", '\x11'), b("diag_log_b", '\x22'), c("diag_log_c", '\x33');
    EXPECT_EQ(queue_push(&q, a.bytes), 1);
    EXPECT_EQ(queue_push(&q, b.bytes), 1);
    /* The caller's buffer is copied: changing it afterwards changes nothing. */
    memset(b.bytes, 0, NAME_SIZE);
    EXPECT_EQ(queue_push(&q, c.bytes), 1);
    EXPECT_EQ(queue_size(&q), 3);

    /* The copy out is exactly elem_size bytes: the guard after it survives. */
    char out[NAME_SIZE + 8];
    memset(out, '#', sizeof(out));
    ASSERT_EQ(queue_pop(&q, out), 1);
    EXPECT_EQ(memcmp(out, Name("diag_log_a", '\x11').bytes, NAME_SIZE), 0);
    for (size_t i = NAME_SIZE; i < sizeof(out); i++)
        EXPECT_EQ(out[i], '#');
    ASSERT_EQ(queue_pop(&q, out), 1);
    EXPECT_EQ(memcmp(out, Name("diag_log_b", '\x22').bytes, NAME_SIZE), 0);
    ASSERT_EQ(queue_pop(&q, out), 1);
    EXPECT_EQ(memcmp(out, c.bytes, NAME_SIZE), 0);
    EXPECT_EQ(queue_is_empty(&q), 1);
}

TEST_F(Queue, IndicesWrapOnCapacityTwo)
{
    ASSERT_EQ(queue_create(&q, NAME_SIZE, 2), 1);
    Name first("first"), second("second"), third("third"), out;
    ASSERT_EQ(queue_push(&q, first.bytes), 1);
    ASSERT_EQ(queue_push(&q, second.bytes), 1);
    ASSERT_EQ(queue_pop(&q, out.bytes), 1);
    EXPECT_EQ(out, first);
    ASSERT_EQ(queue_push(&q, third.bytes), 1);
    /* The third went into slot 0, the one the first left. */
    EXPECT_EQ(memcmp(q.slots[0], third.bytes, NAME_SIZE), 0);
    EXPECT_EQ(q.head, 1);
    EXPECT_EQ(q.tail, 1);
    EXPECT_EQ(queue_is_full(&q), 1);
    ASSERT_EQ(queue_pop(&q, out.bytes), 1);
    EXPECT_EQ(out, second);
    ASSERT_EQ(queue_pop(&q, out.bytes), 1);
    EXPECT_EQ(out, third);
    EXPECT_EQ(q.head, 1);
    EXPECT_EQ(q.tail, 1);
    EXPECT_EQ(queue_is_empty(&q), 1);

    /* Many more rounds keep the order and the invariant. */
    for (int i = 0; i < 100; i++) {
        char text[16];
        snprintf(text, sizeof(text), "n%d", i);
        Name in(text);
        ASSERT_EQ(queue_push(&q, in.bytes), 1);
        ASSERT_EQ(q.tail, (q.head + q.count) % q.capacity);
        ASSERT_EQ(queue_pop(&q, out.bytes), 1);
        ASSERT_EQ(out, in);
    }
}

TEST_F(Queue, FullQueueRefusesAPushAndKeepsEverything)
{
    ASSERT_EQ(queue_create(&q, NAME_SIZE, 2), 1);
    Name a("a"), b("b"), c("c"), out;
    ASSERT_EQ(queue_push(&q, a.bytes), 1);
    ASSERT_EQ(queue_push(&q, b.bytes), 1);
    Snapshot before(q);
    EXPECT_EQ(queue_push(&q, c.bytes), 0);
    EXPECT_TRUE(Snapshot(q) == before);
    EXPECT_EQ(queue_is_full(&q), 1);

    /* The same once the indices have wrapped. */
    ASSERT_EQ(queue_pop(&q, out.bytes), 1);
    ASSERT_EQ(queue_push(&q, c.bytes), 1);
    Snapshot wrapped(q);
    EXPECT_EQ(queue_push(&q, a.bytes), 0);
    EXPECT_TRUE(Snapshot(q) == wrapped);
    ASSERT_EQ(queue_pop(&q, out.bytes), 1);
    EXPECT_EQ(out, b);
    ASSERT_EQ(queue_pop(&q, out.bytes), 1);
    EXPECT_EQ(out, c);
}

TEST_F(Queue, EmptyQueueRefusesAPopAndLeavesTheDestination)
{
    ASSERT_EQ(queue_create(&q, NAME_SIZE, 2), 1);
    Name untouched("keep me", '\x77'), out = untouched;
    Snapshot before(q);
    EXPECT_EQ(queue_pop(&q, out.bytes), 0);
    EXPECT_EQ(out, untouched);
    EXPECT_TRUE(Snapshot(q) == before);

    /* Emptied again after use. */
    Name a("a");
    ASSERT_EQ(queue_push(&q, a.bytes), 1);
    ASSERT_EQ(queue_pop(&q, out.bytes), 1);
    out = untouched;
    Snapshot drained(q);
    EXPECT_EQ(queue_pop(&q, out.bytes), 0);
    EXPECT_EQ(out, untouched);
    EXPECT_TRUE(Snapshot(q) == drained);
}

TEST_F(Queue, AtReadsByPositionWithinCountOnly)
{
    ASSERT_EQ(queue_create(&q, NAME_SIZE, 3), 1);
    Name a("a"), b("b"), c("c"), d("d"), out;
    ASSERT_EQ(queue_push(&q, a.bytes), 1);
    ASSERT_EQ(queue_push(&q, b.bytes), 1);
    ASSERT_EQ(queue_push(&q, c.bytes), 1);
    ASSERT_EQ(queue_pop(&q, out.bytes), 1);
    ASSERT_EQ(queue_push(&q, d.bytes), 1); /* wrapped: b c d, head at 1 */

    Snapshot before(q);
    ASSERT_EQ(queue_at(&q, 0, out.bytes), 1);
    EXPECT_EQ(out, b);
    ASSERT_EQ(queue_at(&q, 1, out.bytes), 1);
    EXPECT_EQ(out, c);
    ASSERT_EQ(queue_at(&q, 2, out.bytes), 1);
    EXPECT_EQ(out, d);

    Name guard("guard", '\x66');
    out = guard;
    EXPECT_EQ(queue_at(&q, 3, out.bytes), 0);
    EXPECT_EQ(queue_at(&q, (unsigned int)-1, out.bytes), 0);
    EXPECT_EQ(queue_at(&q, 0x80000000u, out.bytes), 0);
    EXPECT_EQ(out, guard);
    EXPECT_TRUE(Snapshot(q) == before) << "queue_at changed the queue";

    /* Position count is out of range, also on a part-filled queue. */
    ASSERT_EQ(queue_pop(&q, out.bytes), 1);
    out = guard;
    EXPECT_EQ(queue_at(&q, 2, out.bytes), 0);
    EXPECT_EQ(out, guard);
    ASSERT_EQ(queue_at(&q, 1, out.bytes), 1);
    EXPECT_EQ(out, d);
}

TEST_F(Queue, FailedCreationBehavesAsCapacityZero)
{
    /* Capacity 0 and sizes that cannot be allocated are refused. */
    const int bad[][2] = {{NAME_SIZE, 0}, {NAME_SIZE, -1}, {0, 5}, {-41, 5}};
    for (const auto &args : bad) {
        queue_t z{};
        EXPECT_EQ(queue_create(&z, args[0], args[1]), 0) << args[0] << "," << args[1];
        EXPECT_EQ(z.slots, nullptr);
        EXPECT_EQ(z.capacity, 0);
        EXPECT_EQ(z.count, 0);

        Name in("x"), guard("guard", '\x55'), out = guard;
        EXPECT_EQ(queue_size(&z), 0);
        EXPECT_EQ(queue_is_empty(&z), 1);
        EXPECT_EQ(queue_is_full(&z), 1);
        EXPECT_EQ(queue_push(&z, in.bytes), 0);
        EXPECT_EQ(queue_pop(&z, out.bytes), 0);
        EXPECT_EQ(queue_at(&z, 0, out.bytes), 0);
        EXPECT_EQ(out, guard);
        EXPECT_EQ(queue_size(&z), 0);
        queue_destory(&z); /* does nothing, and must not crash */
        EXPECT_EQ(z.slots, nullptr);
    }
}

/* ---- one producer, one consumer, one reader ----------------------------
 * Run under the thread sanitizer build as well: every access to the record
 * must happen under the queue's mutex. */

namespace {

#define STRESS_COUNT 40000

struct Stress {
    queue_t q{};
    std::atomic<int> done{0};
    std::atomic<int> bad_reads{0};
    int received[STRESS_COUNT];
    int received_n = 0;
};

void *producer(void *arg)
{
    Stress *s = (Stress *)arg;
    for (int i = 0; i < STRESS_COUNT; i++) {
        Name n;
        snprintf(n.bytes, NAME_SIZE, "diag_log_%08d", i);
        while (!queue_push(&s->q, n.bytes))
            sched_yield();
    }
    return NULL;
}

void *consumer(void *arg)
{
    Stress *s = (Stress *)arg;
    while (s->received_n < STRESS_COUNT) {
        Name n;
        if (!queue_pop(&s->q, n.bytes)) {
            sched_yield();
            continue;
        }
        s->received[s->received_n++] = atoi(n.bytes + 9);
    }
    return NULL;
}

/* Reads without removing while the others work: what it sees must always
 * be a whole, well-formed element and a count within the capacity. */
void *reader(void *arg)
{
    Stress *s = (Stress *)arg;
    while (!s->done) {
        Name n;
        int size = queue_size(&s->q);
        if (size < 0 || size > s->q.capacity)
            s->bad_reads++;
        if (queue_at(&s->q, 0, n.bytes) && strncmp(n.bytes, "diag_log_", 9) != 0)
            s->bad_reads++;
        if (queue_at(&s->q, 1, n.bytes) && strlen(n.bytes) != 17)
            s->bad_reads++;
    }
    return NULL;
}

} // namespace

TEST(QueueStress, ProducerAndConsumerLoseAndReorderNothing)
{
    static Stress s; /* static: the record is zero-filled and the array large */
    ASSERT_EQ(queue_create(&s.q, NAME_SIZE, 5), 1);
    pthread_t prod, cons, read;
    ASSERT_EQ(pthread_create(&read, NULL, reader, &s), 0);
    ASSERT_EQ(pthread_create(&cons, NULL, consumer, &s), 0);
    ASSERT_EQ(pthread_create(&prod, NULL, producer, &s), 0);
    pthread_join(prod, NULL);
    pthread_join(cons, NULL);
    s.done = 1;
    pthread_join(read, NULL);

    ASSERT_EQ(s.received_n, STRESS_COUNT);
    int out_of_order = 0;
    for (int i = 0; i < STRESS_COUNT; i++)
        if (s.received[i] != i)
            out_of_order++;
    EXPECT_EQ(out_of_order, 0);
    EXPECT_EQ(s.bad_reads.load(), 0);
    EXPECT_EQ(queue_is_empty(&s.q), 1);
    queue_destory(&s.q);
}
