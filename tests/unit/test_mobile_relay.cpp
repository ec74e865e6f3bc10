/*
 * The mobile debug relay on the host. Every program it runs is found
 * through PATH, and PATH holds only a private directory of fake programs
 * written with shell built-ins: no real killall can run, and no process of
 * the host is touched. The relayed manager is a fake that prints a chosen
 * output and ends.
 */
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>


#include "router_sim.h"
#include "diagferry_main/mobile_relay.h"

namespace {

/* A private PATH of fake programs; the old PATH comes back at the end. */
class FakePath
{
  public:
    FakePath()
    {
        const char *old = getenv("PATH");
        old_path_ = old ? old : "";
        setenv("PATH", sim_.path().c_str(), 1);
    }
    ~FakePath() { setenv("PATH", old_path_.c_str(), 1); }

    /* A script that logs "NAME ARGS" to the call log, then runs body.
     * False unless NAME now resolves to it: the tests fake killall, and the
     * real one must never run here. */
    bool add(const std::string &name, const std::string &body) const
    {
        std::string path = sim_.file(name);
        char where[256];
        if (!write_file(path, "#!/bin/sh\necho \"" + name + " $*\" >> '" +
                                  sim_.file("calls.log") + "'\n" + body + "\n",
                        0755))
            return false;
        return exe_command(("command -v " + name).c_str(), where, sizeof(where)) == 1 &&
               path == where;
    }
    /* The fake manager: the first run prints out.bin and ends, later runs
     * only log. */
    void add_mobile(const std::string &output) const
    {
        sim_.write("out.bin", output);
        add("mobile", "[ -e '" + sim_.file("ran") + "' ] && exit 0\n: > '" + sim_.file("ran") +
                          "'\nexec /bin/cat '" + sim_.file("out.bin") + "'");
    }
    /* Waits until the call log has n lines (background commands). */
    bool wait_calls(size_t n, double limit_s = 3) const
    {
        double t0 = mono_s();
        while (sim_.calls().size() < n && mono_s() - t0 < limit_s)
            usleep(10000);
        return sim_.calls().size() >= n;
    }
    const SimDir &sim() const { return sim_; }

  private:
    SimDir sim_;
    std::string old_path_;
};

/* The relayed text: what lies between the relay thread's two banners. */
std::string relayed(const std::string &out)
{
    size_t start = out.find("listen mobile thread start: pid ");
    size_t end = out.rfind("]src/diagferry_main(");
    if (start == std::string::npos || end == std::string::npos)
        return "<banners missing>";
    start = out.find('\n', start) + 1;
    end = out.rfind('[', end);
    return end >= start ? out.substr(start, end - start) : "<banners out of order>";
}

std::string run_relay_thread()
{
    pthread_t tid;
    testing::internal::CaptureStdout();
    EXPECT_EQ(pthread_create(&tid, NULL, listen_mobile_thread, NULL), 0);
    void *res = (void *)1;
    EXPECT_EQ(pthread_join(tid, &res), 0);
    EXPECT_EQ(res, nullptr);
    return testing::internal::GetCapturedStdout();
}

} // namespace

/* ---- The relay thread: tags, pieces and newlines */

TEST(RelayThread, TagsEachLineOnceAndAddsNoNewline)
{
    FakePath fake;
    std::string long_line(300, 'x');
    long_line[254] = 'A';
    long_line[255] = 'B';
    fake.add_mobile(long_line + "\n" + "\n" + "one\ntwo\n" + "last without newline");
    std::string out = run_relay_thread();

    EXPECT_EQ(relayed(out), "[mobile]" + long_line + "\n" + "[mobile]\n" +
                                "[mobile]one\n[mobile]two\n" + "[mobile]last without newline");
    std::vector<LogLine> lines = log_lines(out);
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0].func, "listen_mobile_thread");
    EXPECT_NE(out.find("listen_mobile_thread(): listen mobile thread exit: pid "),
              std::string::npos);
    EXPECT_EQ(fake.sim().calls(), (std::vector<std::string>{"mobile "}));
}

TEST(RelayThread, LinesOfExactlyOneAndTwoPieces)
{
    FakePath fake;
    std::string piece(255, 'p'), longer(256, 'q');
    fake.add_mobile(piece + "\n" + longer + "\n" + std::string(510, 'r') + "\nend\n");
    std::string out = run_relay_thread();

    EXPECT_EQ(relayed(out), "[mobile]" + piece + "\n" + "[mobile]" + longer + "\n" + "[mobile]" +
                                std::string(510, 'r') + "\n[mobile]end\n");
}

TEST(RelayThread, NulBytesCannotJoinOrLoseLines)
{
    FakePath fake;
    fake.add_mobile(std::string("\0hidden\n", 8) + std::string("ab\0cd\n", 6) + "next\n");
    std::string out = run_relay_thread();

    EXPECT_EQ(relayed(out), "[mobile]\n[mobile]ab\n[mobile]next\n");
}

TEST(RelayThread, NoManagerMeansOnlyTheBanners)
{
    FakePath fake; /* no "mobile" on PATH: the shell fails to start it */
    testing::internal::CaptureStderr();
    std::string out = run_relay_thread();
    testing::internal::GetCapturedStderr();

    EXPECT_EQ(relayed(out), "");
    EXPECT_EQ(log_lines(out).size(), 2u);
}

/* ---- Opening and closing */

TEST(RelayOpenClose, RunsItsCommandsInOrder)
{
    FakePath fake;
    ASSERT_TRUE(fake.add("killall", ":"));
    fake.add("mobile_cli", ":");
    fake.add_mobile("hello from the manager\n");

    testing::internal::CaptureStdout();
    double t0 = mono_s();
    int opened = set_mobile_debug(1);
    double open_s = mono_s() - t0;
    bool cli_ran = fake.wait_calls(3);
    int closed = set_mobile_debug(0);
    bool restarted = fake.wait_calls(5);
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(opened, 1);
    EXPECT_EQ(closed, 1);
    EXPECT_GE(open_s, 1.0);
    EXPECT_TRUE(cli_ran && restarted);
    std::vector<std::string> want = {"killall -9 mobile", "mobile ", "mobile_cli opendebug 1",
                                     "killall -9 mobile mobile_cli", "mobile "};
    EXPECT_EQ(fake.sim().calls(), want);
    EXPECT_NE(out.find("\n[mobile]hello from the manager\n"), std::string::npos);
    EXPECT_NE(out.find("listen mobile thread exit"), std::string::npos);
}

TEST(RelayOpenClose, CloseEndsInBoundedTimeWhenTheManagerNeverDies)
{
    /* killall here kills nothing: the manager holds the relay's pipe for
     * 30 s. The close must not wait for it, and must not leave it running. */
    FakePath fake;
    ASSERT_TRUE(fake.add("killall", ":"));
    fake.add("mobile_cli", ":");
    std::string pid_file = fake.sim().file("manager.pid");
    fake.add("mobile", "[ -e '" + fake.sim().file("ran") + "' ] && exit 0\n: > '" +
                           fake.sim().file("ran") + "'\necho $$ > '" + pid_file +
                           "'\nexec /bin/sleep 30");

    /* No start pause, a closing's limit of 0.5 s; then the daemon's own. */
    set_mobile_relay_pauses(0, 500);
    testing::internal::CaptureStdout();
    set_mobile_debug(1);
    double t0 = mono_s();
    set_mobile_debug(0);
    double close_s = mono_s() - t0;
    testing::internal::GetCapturedStdout();
    set_mobile_relay_pauses(1000, 2000);

    EXPECT_GE(close_s, 0.5);
    EXPECT_LT(close_s, 3.0);
    pid_t manager = (pid_t)atoi(read_file(pid_file).c_str());
    ASSERT_GT(manager, 1);
    for (int i = 0; i < 200 && !process_ended(manager); i++)
        usleep(10000);
    EXPECT_TRUE(process_ended(manager)) << "the unkillable manager was left running";
}

TEST(RelayOpenClose, CloseWithoutOpenJoinsNothing)
{
    FakePath fake;
    ASSERT_TRUE(fake.add("killall", ":"));
    fake.add("mobile", ":");

    testing::internal::CaptureStdout();
    int closed = set_mobile_debug(0);
    bool restarted = fake.wait_calls(2);
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(closed, 1);
    EXPECT_TRUE(restarted);
    EXPECT_EQ(fake.sim().calls(),
              (std::vector<std::string>{"killall -9 mobile mobile_cli", "mobile "}));
    EXPECT_EQ(out.find("listen mobile thread"), std::string::npos);
}

TEST(RelayOpenClose, FailedCommandsAreLoggedAndTheLastResultReturned)
{
    FakePath fake;
    ASSERT_TRUE(fake.add("killall", "exit 1"));
    fake.add("mobile", ":");

    testing::internal::CaptureStdout();
    int closed = set_mobile_debug(0);
    fake.wait_calls(2);
    std::string out = testing::internal::GetCapturedStdout();

    /* "mobile&" itself succeeds: only the background start is judged. */
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(messages_with(out, "exit code is 1").size(), 1u);
}
