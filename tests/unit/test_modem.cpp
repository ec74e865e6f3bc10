/*
 * The diag tool's lifecycle: the reset decision and the restart.
 *
 * The module's state is file-static, so this file includes modem.cpp (its
 * symbols then come from here, not from the library). The fake "adb" of
 * pipeline_test.h answers each probe with the next line of "probes"; the
 * module's pauses are scaled to nothing.
 */
#include <gtest/gtest.h>

#include "../../src/diagferry_main/modem.cpp"
#include "pipeline_test.h"

namespace {

class ModemTest : public PipelineTest {
protected:
    void SetUp() override
    {
        PipelineTest::SetUp();
        end_quiet_run();
        l_quiet_since[0] = '\0';
        l_pause_scale = 0;
        l_exiting = 0;
    }
};

TEST_F(ModemTest, ResetIsTwoProbesWithoutTheToolNeverInAShutdownAndStopsAToolFirst)
{
    /* After a name, the fifth listing in a row without one probes the modem. */
    auto watch = [&](const char *probes) {
        int restarted = -1;
        EXPECT_TRUE(write_file(dir + "/probes", probes));
        EXPECT_FALSE(watch_modem(TRUE, "init"));
        for (int i = 1; i < RESET_QUIET_LISTINGS; i++)
            EXPECT_FALSE(watch_modem(FALSE, "init"));
        capture_stdout([&] { restarted = watch_modem(FALSE, "init"); });
        return restarted;
    };
    EXPECT_FALSE(watch("garbled\n4242\n"));
    /* Found running: the next look is a minute of listings on. */
    size_t looked = calls().size();
    for (int i = 1; i < RESET_RUNNING_LISTINGS; i++)
        EXPECT_FALSE(watch_modem(FALSE, "init"));
    EXPECT_EQ(calls().size(), looked);
    l_exiting = 1; /* the shutdown's own stop of the tool */
    EXPECT_FALSE(watch(""));
    l_exiting = 0;
    EXPECT_STREQ(l_miss_str.str, "");
    /* Two probes without the tool, then one at the restart that finds it. */
    EXPECT_TRUE(watch("\n\n4242\n\n4242\n"));
    expect_journal(l_miss_str.str, {"\tmodem reset\tafter init"});
    std::vector<std::string> stop_and_rm;
    for (auto &c : calls())
        if (c.size() > 3 && (c[2] == "diag_mdlog" || c[3] == "rm"))
            stop_and_rm.push_back(c[2] + " " + c[3]);
    EXPECT_EQ(stop_and_rm, (std::vector<std::string>{"diag_mdlog -k", "busybox rm"}));
}

} // namespace
