/*
 * Pull stage: how a log name reaches the adb pull command line, failures,
 * the send queue, and the drain at shutdown.
 */
#include "pipeline_test.h"
#include "diagferry_main/pull.h"

#include <thread>

namespace {

using PullStageTest = PipelineTest;

/* ---- the pull command line and its failures */

TEST_F(PullStageTest, PullPassesTheNameIntactAndQueuesItForSending)
{
    ::testing::internal::CaptureStdout();
    do_pull(slot(HOSTILE).name);
    auto lines = log_entries(::testing::internal::GetCapturedStdout());
    ASSERT_EQ(calls().size(), 1u);
    EXPECT_EQ(calls()[0],
              (std::vector<std::string>{"adb", "pull", std::string("/run/diag_logs/") + HOSTILE,
                                        l_workdir + std::string(HOSTILE)}));
    EXPECT_FALSE(exists(dir + "/P"));
    EXPECT_FALSE(exists(dir + "/Q"));
    EXPECT_EQ(read_file(l_workdir + std::string(HOSTILE)), "log data");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "do_pull(): pull log from modem to router. /run/diag_logs/" +
                            std::string(HOSTILE) + ": 1 file pulled.");
    EXPECT_EQ(l_pull, 1);
    char queued[LOG_NAME_SIZE];
    ASSERT_TRUE(queue_pop(&l_need_send_queue, queued));
    EXPECT_STREQ(queued, HOSTILE);
}

TEST_F(PullStageTest, FailedPullIsCountedJournalledAndDropped)
{
    ASSERT_TRUE(write_file(dir + "/pull_fails", ""));
    ::testing::internal::CaptureStdout();
    do_pull(slot(log_name(0, 0)).name);
    auto lines = log_entries(::testing::internal::GetCapturedStdout());
    EXPECT_EQ(lines, (std::vector<std::string>{"do_pull(): pull [" + log_name(0, 0) +
                                               "] from modem to router failed"}));
    EXPECT_EQ(l_pull, 0);
    EXPECT_EQ(l_miss.load(), 1);
    expect_journal(l_miss_str.str, {"\tpull\t" + log_name(0, 0)});
    EXPECT_TRUE(queue_is_empty(&l_need_send_queue));
}

TEST_F(PullStageTest, PullTooLongForTheCommandBufferIsNotRun)
{
    /* A 1000-character working directory: twice in the command, too long. */
    std::string longdir = "/" + std::string(998, 'w') + "/";
    snprintf(l_workdir, sizeof(l_workdir), "%s", longdir.c_str());
    ::testing::internal::CaptureStdout();
    do_pull(slot(log_name(0, 0)).name);
    auto lines = log_entries(::testing::internal::GetCapturedStdout());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("do_pull(): command too long, not run: adb pull ", 0), 0u)
        << lines[0];
    EXPECT_EQ(lines[1], "do_pull(): pull [" + log_name(0, 0) + "] from modem to router failed");
    EXPECT_TRUE(calls().empty()) << "nothing may run";
    EXPECT_EQ(l_miss.load(), 1);
}

TEST_F(PullStageTest, DrainWaitsForTheSendStageUnlessTheLanIsBroken)
{
    ASSERT_TRUE(queue_push(&l_need_send_queue, slot(log_name(0, 0)).name));
    ASSERT_TRUE(queue_push(&l_need_send_queue, slot(log_name(1, 1)).name));
    l_pull_running = 0; /* as during the shutdown's drain */

    /* LAN sound: the pulled file waits for room instead of being dropped. */
    std::atomic<bool> done(false);
    ::testing::internal::CaptureStdout();
    std::thread puller([&] {
        do_pull(slot(log_name(2, 2)).name);
        done = true;
    });
    usleep(300000);
    EXPECT_FALSE(done) << "a full send queue must hold the pulled file back, not drop it";
    char popped[LOG_NAME_SIZE];
    pthread_mutex_lock(&l_send_queue_mutex);
    EXPECT_TRUE(queue_pop(&l_need_send_queue, popped));
    pthread_cond_signal(&l_send_space_cond);
    pthread_mutex_unlock(&l_send_queue_mutex);
    puller.join();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(l_miss.load(), 0);
    EXPECT_STREQ(l_miss_str.str, "");
    ASSERT_TRUE(queue_pop(&l_need_send_queue, popped));
    ASSERT_TRUE(queue_pop(&l_need_send_queue, popped));
    EXPECT_STREQ(popped, log_name(2, 2).c_str());

    /* LAN broken: no one will send it, so it is journalled at once. */
    ASSERT_TRUE(queue_push(&l_need_send_queue, slot(log_name(3, 3)).name));
    ASSERT_TRUE(queue_push(&l_need_send_queue, slot(log_name(4, 4)).name));
    l_lan_broken = 1;
    ::testing::internal::CaptureStdout();
    do_pull(slot(log_name(5, 5)).name);
    auto lines = log_entries(::testing::internal::GetCapturedStdout());
    EXPECT_EQ(lines.back(),
              "do_pull(): omit add [" + log_name(5, 5) + "] to need_send_queue: queue full");
    EXPECT_EQ(l_miss.load(), 1);
    expect_journal(l_miss_str.str, {"\tadd to send queue\t" + log_name(5, 5)});
}

/* ---- the shutdown's time budget for the files in the pipeline */

TEST_F(PullStageTest, ShutdownBudgetHoldsEveryFileInFlightAndGrowsForTheDrain)
{
    /* 100 MB files, five queued and one being pulled, two and one uploaded. */
    double saved_size = l_log_size;
    l_log_size = 100;
    for (int i = 0; i < PULL_QUEUE_SLOTS + SEND_QUEUE_SLOTS; i++)
        queue_push(i < PULL_QUEUE_SLOTS ? &l_need_pull_queue : &l_need_send_queue, slot(HOSTILE).name);
    l_pull_busy = l_send_busy = 1;
    int send_s = log_send_limit_s();
    EXPECT_GE(shutdown_budget_s(), 6 * (pull_limit_s() + send_s) + 3 * send_s);
    l_pull_busy = l_send_busy = 0;
    l_log_size = saved_size;
    command_budget_start(0); /* files queued at the final listing, no time left */
    monotonic_skip_ms(1100);
    EXPECT_TRUE(command_budget_spent());
    extend_budget_for_drain();
    EXPECT_FALSE(command_budget_spent());
    command_budget_end();
}

} // namespace
