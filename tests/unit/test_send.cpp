/*
 * Send stage: the busybox tftp upload under the log's own name, its
 * failures, and the removal of the router's copy.
 */
#include "pipeline_test.h"
#include "diagferry_main/send.h"

namespace {

using SendStageTest = PipelineTest;

TEST_F(SendStageTest, SendUploadsUnderTheSameNameAndRemovesTheCopy)
{
    std::string local = l_workdir + std::string(HOSTILE);
    ASSERT_TRUE(write_file(local, "log data"));
    double spent = -1;
    EXPECT_EQ(send_to_pc(HOSTILE, 1, 0, &spent), 1);
    EXPECT_GE(spent, 0.0);
    ASSERT_EQ(calls().size(), 1u);
    EXPECT_EQ(calls()[0], (std::vector<std::string>{"busybox", "tftp", "-p", "-l", local, "-r",
                                                    HOSTILE, "192.0.2.100", "-b", "16384"}));
    EXPECT_FALSE(exists(local));
    EXPECT_FALSE(exists(dir + "/P"));
    EXPECT_FALSE(exists(dir + "/Q"));
}

TEST_F(SendStageTest, FailedSendIsCountedAndTheCopyIsGoneAllTheSame)
{
    std::string local = l_workdir + log_name(0, 0);
    ASSERT_TRUE(write_file(local, "log data"));
    ASSERT_TRUE(write_file(dir + "/tftp_fails", ""));
    ::testing::internal::CaptureStdout();
    do_send(slot(log_name(0, 0)).name);
    auto lines = log_entries(::testing::internal::GetCapturedStdout());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "call_system(): exit code is 1",
                         "do_send(): send [" + log_name(0, 0) + "] from router to PC failed"}));
    EXPECT_FALSE(exists(local));
    EXPECT_EQ(l_send, 0);
    EXPECT_EQ(l_miss.load(), 1);
    expect_journal(l_miss_str.str, {"\tsend\t" + log_name(0, 0)});

    /* A copy already gone: the unlink CHECK comes before the failure line. */
    ::testing::internal::CaptureStdout();
    do_send(slot(log_name(1, 1)).name);
    lines = log_entries(::testing::internal::GetCapturedStdout());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], std::string("send_to_pc(): CHECK(unlink(local) == 0) failed. fail to unlink [") +
                            l_workdir + log_name(1, 1) + "], errno: 2");
    EXPECT_EQ(lines[2], "do_send(): send [" + log_name(1, 1) + "] from router to PC failed");
    EXPECT_EQ(l_miss.load(), 2);
}

TEST_F(SendStageTest, SuccessfulSendLogsItsTimeAndCounts)
{
    ASSERT_TRUE(write_file(l_workdir + log_name(0, 0), "log data"));
    ::testing::internal::CaptureStdout();
    do_send(slot(log_name(0, 0)).name);
    auto lines = log_entries(::testing::internal::GetCapturedStdout());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(ere_match(lines[0], "^do_send\\(\\): send log from router to PC in [0-9]+\\.[0-9]{3}s$"))
        << lines[0];
    EXPECT_EQ(l_send, 1);
    EXPECT_EQ(l_miss.load(), 0);
}

} // namespace
