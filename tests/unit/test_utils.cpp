/*
 * utils: log lines, the shell command runners, shell quoting and the time
 * helpers.
 */
#define LOG_SRC "src/test"
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "test_support.h"
#include "utils.h"
#include "diagferry_main/shutdown.h"

namespace {

/* Blocks the daemon's three stop signals in the calling thread for the
 * lifetime of the object, as the daemon does in every thread. */
struct StopSignalsBlocked {
    sigset_t old;
    StopSignalsBlocked()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &set, &old);
    }
    ~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old, NULL); }
};

/* The SigBlk (or another) mask of a /proc status text; ~0 when missing. */
unsigned long long sigblk_of(const std::string &status, const std::string &field = "SigBlk:")
{
    size_t at = status.find(field);
    if (at == std::string::npos)
        return ~0ULL;
    return strtoull(status.c_str() + at + field.size(), NULL, 16);
}

unsigned long long sig_bit(int sig)
{
    return 1ULL << (sig - 1);
}

/* One log line of a command runner, as the daemon prints it. */
std::string runner_line(const std::string &msg, const std::string &runner = "call_system")
{
    return "^\\[[0-9]+\\]src/utils\\([0-9]+\\) " + runner + "\\(\\): " + msg + "\n$";
}

/* Once the command under test has created marker, moves the runners'
 * clock forward by ms (after starting a budget of budget_s, when >= 0): a
 * limit or budget passes without its real seconds. */
std::thread skip_once_started(const std::string &marker, long ms, int budget_s = -1)
{
    return std::thread([=] {
        for (int i = 0; i < 2000 && access(marker.c_str(), F_OK) != 0; i++)
            usleep(5000);
        if (budget_s >= 0)
            command_budget_start(budget_s);
        monotonic_skip_ms(ms);
    });
}

} // namespace

/* ---- log lines ------------------------------------------------------- */

/* The logging statements live in named functions: the line carries the name
 * of the function that logs. */
static int log_sample(void)
{
    LOG("value %d and %s", 42, "text");
    return __LINE__ - 1;
}

static void check_sample(int x)
{
    CHECK(x == 4, "x is %d", x);
    CHECK(x == 3, "never printed");
}

TEST(LogLine, PrefixSourceLineFunctionThenMessageAndCheckLines)
{
    int line = 0;
    time_t before = time(NULL);
    std::string out = capture_stdout([&] { line = log_sample(); });
    time_t after = time(NULL);
    ASSERT_TRUE(ere_match(out, "^\\[[0-9]+\\]src/test\\([0-9]+\\) "
                               "log_sample\\(\\): value 42 and text\n$"))
        << out;
    long stamp = -1;
    int at = -1;
    ASSERT_EQ(sscanf(out.c_str(), "[%ld]src/test(%d)", &stamp, &at), 2);
    EXPECT_EQ(at, line);
    EXPECT_GE(stamp, (long)before);
    EXPECT_LE(stamp, (long)after);

    /* CHECK: the condition's text, and the operation goes on. */
    out = capture_stdout([&] { check_sample(3); });
    EXPECT_TRUE(ere_match(out, "^\\[[0-9]+\\]src/test\\([0-9]+\\) check_sample\\(\\): "
                               "CHECK\\(x == 4\\) failed\\. x is 3\n$"))
        << out;
}

TEST(LogLineDeathTest, AssertPrintsProtocolLineAndExitsOne)
{
    /* stdout is sent to stderr inside the child so that the matcher sees it. */
    EXPECT_EXIT(
        {
            dup2(2, 1);
            ASSERT(1 + 1 == 3, "errno:%d", 5);
        },
        ::testing::ExitedWithCode(1),
        "src/test\\([0-9]+\\) TestBody\\(\\): \\[PROTOCOL\\]ASSERT\\(1 \\+ 1 == 3\\) failed\\. errno:5");
}

/* What fd gives until it is quiet for 300 ms, at most max bytes. */
static std::string read_until_quiet(int fd, size_t max)
{
    std::string got;
    char buf[4096];
    struct pollfd pfd = {fd, POLLIN, 0};
    ssize_t n;
    while (got.size() < max && poll(&pfd, 1, 300) > 0 &&
           (n = read(fd, buf, std::min(sizeof(buf), max - got.size()))) > 0)
        got.append(buf, (size_t)n);
    return got;
}

/* In a child, which alone gets the writer thread: 2000 lines into a pipe of
 * one page that nobody reads. A producer that waits never gets to _exit.
 * Every line must come out in order or be counted by a note in its place;
 * how many fit before the first gap is the kernel's to choose. */
static void log_into_stalled_pipe(void)
{
    int fds[2];
    alarm(10);
    if (pipe(fds) != 0 || fcntl(fds[1], F_SETPIPE_SZ, 4096) < 0 || dup2(fds[1], 1) < 0)
        _exit(2);
    log_start();
    for (int i = 0; i < 2000; i++)
        LOG("line %d", i);
    double start = mono_s();
    bool quick = !log_drain(300) && mono_s() - start < 1;
    /* The reader takes two pages and pauses: the next line finds room. */
    std::string out = read_until_quiet(fds[0], 8192);
    usleep(100000);
    LOG("after the stall");
    std::vector<std::string> msgs = messages(out + read_until_quiet(fds[0], SIZE_MAX));
    int next = 0, notes = 0, dropped;
    size_t i = 0;
    for (; i + 1 < msgs.size(); i++) {
        if (msgs[i] == "line " + std::to_string(next))
            next++;
        else if (sscanf(msgs[i].c_str(), "%d log lines dropped: standard output was not read",
                        &dropped) == 1 && dropped > 0 && notes++ < 100)
            next += dropped;
        else
            break;
    }
    fprintf(stderr, "drain quick %d, %d accounted, %d notes, stopped at %zu of %zu\n", quick,
            next, notes, i, msgs.size());
    /* Lines queued before a gap may follow its note: order and count are all. */
    _exit(quick && next == 2000 && notes > 0 && i + 1 == msgs.size() &&
                  msgs[i] == "after the stall"
              ? 0 : 1);
}

TEST(LogLineDeathTest, StalledReaderBlocksNoProducerAndTheLossIsAnnouncedInOrder)
{
    EXPECT_EXIT(log_into_stalled_pipe(), ::testing::ExitedWithCode(0), "");
}

/* ---- exe_command: captured output ------------------------------------ */

TEST(ExeCommand, RemovesOnlyOneFinalNewline)
{
    struct {
        const char *cmd, *want;
    } cases[] = {
        {"printf 'abc\\n'", "abc"},
        {"printf 'abc\\n\\n'", "abc\n"},
        {"printf abc", "abc"},
        {"printf 'abc\\r\\n'", "abc\r"},
        {"printf 'a\\nb'", "a\nb"},
        {"printf 'abc \\t'", "abc \t"},
        {"printf '\\n'", ""},
        {"true", ""},
    };
    for (const auto &c : cases) {
        char out[64];
        memset(out, 'x', sizeof(out)); /* nothing read must still give "" */
        EXPECT_EQ(exe_command(c.cmd, out, sizeof(out)), 1) << c.cmd;
        EXPECT_STREQ(out, c.want) << c.cmd;
    }
}

TEST(ExeCommand, LongOutputIsCutToSizeMinusOneAndStaysInTheBuffer)
{
    /* The buffer is followed by a guard that must stay untouched. */
    char buf[8 + 8];
    memset(buf, '#', sizeof(buf));
    EXPECT_EQ(exe_command("printf 0123456789abcdef", buf, 8), 1);
    EXPECT_STREQ(buf, "0123456");
    for (size_t i = 8; i < sizeof(buf); i++)
        EXPECT_EQ(buf[i], '#') << "byte " << i << " written past the buffer";

    /* A newline that falls on the last byte read is removed as well. */
    char out[5];
    EXPECT_EQ(exe_command("printf 'abc\\ndef'", out, sizeof(out)), 1);
    EXPECT_STREQ(out, "abc");
}

TEST(ExeCommand, OutputFarBeyondTheBufferIsLeftUnread)
{
    /* A writer that would block forever if the runner tried to drain it: the
     * runner reads 15 bytes, closes the pipe, and the writer ends on it. */
    char out[16];
    int ret = exe_command("yes 0123456789 | head -c 10000000", out, sizeof(out));
    EXPECT_STREQ(out, "0123456789\n0123");
    /* The last command of the line died of the closed pipe: not a success. */
    EXPECT_EQ(ret, 0);
}

TEST(ExeCommand, SizeOneReadsNothingButKeepsTheStatus)
{
    /* Silent commands: one that prints may die of the pipe closed unread. */
    char out[1] = {'x'};
    EXPECT_EQ(exe_command("true", out, 1), 1);
    EXPECT_EQ(out[0], '\0');
    out[0] = 'x';
    EXPECT_EQ(exe_command("exit 3", out, 1), 0);
    EXPECT_EQ(out[0], '\0');
}

/* A failure keeps the text read, for the caller's log. */
TEST(ExeCommand, StatusIsThatOfTheLastCommandOfTheLineAndFailureKeepsTheText)
{
    char out[32];
    EXPECT_EQ(exe_command("printf 'partial\\n'; exit 1", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "partial");
    EXPECT_EQ(exe_command("false | true", out, sizeof(out)), 1);
    EXPECT_EQ(exe_command("true | false", out, sizeof(out)), 0);
    EXPECT_EQ(exe_command("kill -9 $$", out, sizeof(out)), 0);
}

TEST(ExeCommand, StandardErrorIsNotCaptured)
{
    char out[32];
    /* The line on standard error shows up in the test's own output. */
    EXPECT_EQ(exe_command("echo exe_command-stderr-line >&2; printf out", out, sizeof(out)), 1);
    EXPECT_STREQ(out, "out");
    EXPECT_EQ(exe_command("ls /nonexistent-dir-of-diagferry 2>/dev/null", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "");
}

TEST(ExeCommand, RefusesMissingArgumentsWithoutRunningAnything)
{
    TempDir dir;
    std::string marker = dir.path + "/ran";
    std::string cmd = "touch " + marker;
    char out[8];

    memset(out, 'x', sizeof(out));
    EXPECT_EQ(exe_command(NULL, out, sizeof(out)), 0);
    EXPECT_EQ(exe_command(cmd.c_str(), NULL, 8), 0);
    EXPECT_EQ(exe_command(cmd.c_str(), out, 0), 0);
    EXPECT_EQ(exe_command(cmd.c_str(), out, -1), 0);
    EXPECT_EQ(memcmp(out, "xxxxxxxx", 8), 0) << "buffer touched";
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "command ran";
}

/* ---- call_system: status and its log lines --------------------------- */

TEST(CallSystem, SuccessLogsNothingAndOutputGoesToOurs)
{
    int ret = 0;
    std::string out = capture_stdout([&] { ret = call_system("echo hello-from-child"); });
    EXPECT_EQ(ret, 1);
    EXPECT_EQ(out, "hello-from-child\n");
}

/* With the stop signals blocked, as in every thread of the daemon: a
 * shell that inherited the block would survive its own SIGTERM, exit 0. */
TEST(CallSystem, FailuresLogTheirCodeOrSignal)
{
    StopSignalsBlocked blocked;
    struct {
        const char *cmd, *line;
    } cases[] = {
        {"/nonexistent/diagferry-no-such-program 2>/dev/null", "exit code is 127"},
        {"exit 3", "exit code is 3"},
        {"kill -9 $$", "exit status is 9"},
        {"kill -TERM $$; exit 0", "exit status is 15"},
    };
    for (const auto &c : cases) {
        int ret = 1;
        std::string out = capture_stdout([&] { ret = call_system(c.cmd); });
        EXPECT_EQ(ret, 0) << c.cmd;
        EXPECT_TRUE(ere_match(out, runner_line(c.line))) << out;
    }
}

/* ---- children never inherit the daemon's blocked stop signals -------- */

/* The shell's own status, read with builtins only: a program started by the
 * shell would show the mask the shell gave it, and dash clears it anyway. */
#define SHELL_OWN_STATUS \
    "while read -r line; do case $line in SigBlk*) echo \"$line\";; esac; done < /proc/$$/status"

TEST(ShellChildren, RunWithStopSignalsUnblockedThoughTheCallerBlocksThem)
{
    StopSignalsBlocked blocked;
    const unsigned long long stop = sig_bit(SIGTERM) | sig_bit(SIGINT) | sig_bit(SIGHUP);

    /* The test means something only if the caller really blocks them. */
    ASSERT_EQ(sigblk_of(read_file("/proc/thread-self/status")) & stop, stop);

    char out[CMD_BUF_SIZE];
    ASSERT_EQ(exe_command(SHELL_OWN_STATUS, out, sizeof(out)), 1);
    EXPECT_EQ(sigblk_of(out) & stop, 0ULL) << out;
    /* SIGPIPE, which the daemon ignores, is back at its default too. */
    void (*pipe_was)(int) = signal(SIGPIPE, SIG_IGN);
    int ret = exe_command("cat /proc/self/status", out, sizeof(out));
    signal(SIGPIPE, pipe_was);
    ASSERT_EQ(ret, 1);
    EXPECT_EQ(sigblk_of(out) & stop, 0ULL) << out;
    EXPECT_EQ(sigblk_of(out, "SigIgn:") & sig_bit(SIGPIPE), 0ULL) << out;

    TempDir dir;
    std::string file = dir.path + "/status";
    ASSERT_EQ(call_system((SHELL_OWN_STATUS " > " + file).c_str()), 1);
    EXPECT_EQ(sigblk_of(read_file(file)) & stop, 0ULL) << read_file(file);
}

/* ---- time limit: the whole process group goes --------------------- */

/* True while a process of the process group pgid runs (a killed child that
 * its new parent has not reaped yet is a zombie and counts as gone). */
static bool group_alive(pid_t pgid)
{
    DIR *proc = opendir("/proc");
    bool alive = false;

    for (struct dirent *e; proc && !alive && (e = readdir(proc));) {
        std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
        size_t end = stat.rfind(')');
        char state;
        int ppid, group;
        if (end != std::string::npos &&
            sscanf(stat.c_str() + end + 1, " %c %d %d", &state, &ppid, &group) == 3)
            alive = group == pgid && state != 'Z';
    }
    if (proc)
        closedir(proc);
    return alive;
}

TEST(CommandLimit, PastItTheWholeGroupIsKilledAndTheCommandFails)
{
    /* The shell and a background child both outlive the limit; the child
     * also keeps the output pipe open, so the read must be bounded too. */
    TempDir dir;
    std::string marker = dir.path + "/started";
    std::string cmd = "echo $$; touch " + marker + "; sleep 100 & sleep 100";
    char out[CMD_BUF_SIZE];
    std::thread skip = skip_once_started(marker, 1000);
    EXPECT_EQ(exe_command_limit(cmd.c_str(), out, sizeof(out), 1), 0);
    skip.join();
    pid_t pgid = (pid_t)atoi(out);
    ASSERT_GT(pgid, 1) << out;
    /* SIGKILL is delivered asynchronously: give the kernel a moment, far
     * less than the 100 s the group would live without the kill. */
    for (int i = 0; i < 200 && group_alive(pgid); i++)
        usleep(10000);
    EXPECT_FALSE(group_alive(pgid)) << "processes of " << pgid << " survived";

    int ret = 1;
    unlink(marker.c_str());
    skip = skip_once_started(marker, 1000);
    cmd = "touch " + marker + "; sleep 100 & sleep 100";
    std::string log = capture_stdout([&] { ret = call_system_limit(cmd.c_str(), 1); });
    skip.join();
    EXPECT_EQ(ret, 0);
    EXPECT_TRUE(ere_match(log, runner_line("killed after 1 s"))) << log;

    /* A command within its limit keeps its status and output. */
    EXPECT_EQ(exe_command_limit("sleep 0.05; echo done", out, sizeof(out), 1), 1);
    EXPECT_STREQ(out, "done");
}

/* Sizes come from the configuration as any double: what they add to a
 * limit is clamped, never an overflowed or negative int. */
TEST(CommandLimit, SizeScaledLimitsAreClamped)
{
    EXPECT_EQ(scaled_limit_s(10, 100.0, 2.0), 60);
    EXPECT_EQ(scaled_limit_s(10, -5.0, 2.0), 10);
    EXPECT_EQ(scaled_limit_s(10, 0.0 / 0.0, 2.0), 10);
    EXPECT_EQ(scaled_limit_s(10, 1e300, 2.0), 10 + SCALED_LIMIT_MAX_S);
}

TEST(CommandLimit, TheShutdownBudgetEndsRunningCommandsAndRefusesNewOnes)
{
    /* A running command with a limit far beyond the budget that another
     * thread starts (a stalled pull when the stop comes); the budget's
     * second is skipped, not waited out. */
    TempDir dir;
    std::string started = dir.path + "/started", marker = dir.path + "/marker";
    std::string touch = "touch " + started + "; sleep 100";
    int ret = 1;
    char out[8];
    std::thread stop = skip_once_started(started, 2000, 1);
    std::string log =
        capture_stdout([&] { ret = exe_command_limit(touch.c_str(), out, sizeof(out), 100); });
    stop.join();
    EXPECT_EQ(ret, 0);
    EXPECT_TRUE(ere_match(log, runner_line("killed: the shutdown's time budget is spent",
                                           "exe_command")))
        << log;

    /* Once spent, nothing runs: both runners fail at once and say why. */
    touch = "touch " + marker;
    log = capture_stdout([&] { ret = call_system(touch.c_str()); });
    EXPECT_EQ(ret, 0);
    EXPECT_TRUE(ere_match(log, runner_line("not run: the shutdown's time budget is spent")))
        << log;
    log = capture_stdout([&] { ret = exe_command(touch.c_str(), out, sizeof(out)); });
    EXPECT_EQ(ret, 0);
    EXPECT_TRUE(ere_match(log, runner_line("not run: the shutdown's time budget is spent",
                                           "exe_command")))
        << log;
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a command ran past the budget";

    /* After the budget, commands have their own limits again. */
    command_budget_end();
    EXPECT_EQ(call_system(touch.c_str()), 1);
    EXPECT_EQ(unlink(marker.c_str()), 0);
}

/* ---- format_command -------------------------------------------------- */

TEST(FormatCommand, FitsUpToSizeMinusOne)
{
    char cmd[8];
    EXPECT_EQ(format_command(cmd, sizeof(cmd), "%s%s", "abc", "defg"), 1);
    EXPECT_STREQ(cmd, "abcdefg");
}

/* format_command only reports; FORMAT_COMMAND logs where the line is built
 * (PullStageTest.PullTooLongForTheCommandBufferIsNotRun: "do_pull(): ...")
 * and empties it. */
TEST(FormatCommand, TooLongIsRefusedEmptiedAndLogged)
{
    char cmd[8];
    int ret = 1;
    std::string out =
        capture_stdout([&] { ret = format_command(cmd, sizeof(cmd), "rm -rf %s", "/tmp/x"); });
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(out, "");
    out = capture_stdout([&] { ret = FORMAT_COMMAND(cmd, "rm -rf %s", "/tmp/x"); });
    EXPECT_EQ(ret, 0);
    EXPECT_STREQ(cmd, "") << "a cut command must never be left to run";
    EXPECT_NE(out.find("command too long, not run: rm -rf ..."), std::string::npos) << out;
}

/* ---- shell_quote ----------------------------------------------------- */

TEST(ShellQuote, SafeStringsStayUnchanged)
{
    const char *safe[] = {"abc", "/tmp/mdlog/", "diag_log_20261205_191843_00.qmdl2",
                          "a-b_c.d:e=f@g%h,i+j", "192.0.2.100"};
    for (const char *s : safe) {
        char out[128];
        ASSERT_TRUE(shell_quote(s, out, sizeof(out))) << s;
        EXPECT_STREQ(out, s);
    }
}

TEST(ShellQuote, HostileStringsReachTheCommandExactlyAndRunNothing)
{
    TempDir dir;
    std::string marker = dir.path + "/pwned";
    std::vector<std::string> hostile = {
        "",
        "a b",
        "'",
        "''",
        "it's",
        "'; touch " + marker + "; '",
        "$(touch " + marker + ")",
        "`touch " + marker + "`",
        "$HOME ${PATH} $$ $1",
        "\\' \\\\ \\n",
        "\"double\" \"",
        "; | & && || < > >> * ? [a] {b,c} ~ # !",
        "line1\nline2\n\n",
        "\t tab and spaces  ",
        "-n",
        "--help=x y",
        "trailing backslash\\",
    };
    for (const auto &text : hostile) {
        char quoted[512], out[1024];
        ASSERT_TRUE(shell_quote(text.c_str(), quoted, sizeof(quoted))) << text;
        /* The bar after the text keeps a final newline out of exe_command's trim. */
        std::string cmd = std::string("printf '%s|' ") + quoted;
        ASSERT_EQ(exe_command(cmd.c_str(), out, sizeof(out)), 1) << cmd;
        EXPECT_EQ(std::string(out), text + "|") << "quoted as " << quoted;
    }
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a quoted string ran a command";
}

TEST(ShellQuote, TooSmallBufferFailsAndNeverWritesPastIt)
{
    const char *texts[] = {"abc", "", "a b", "'", "it's", "''x''", "$(x)"};
    for (const char *text : texts) {
        char full[64];
        ASSERT_TRUE(shell_quote(text, full, sizeof(full)));
        size_t need = strlen(full) + 1;
        for (size_t size = 0; size < need; size++) {
            char buf[80];
            memset(buf, '#', sizeof(buf));
            EXPECT_FALSE(shell_quote(text, buf, size)) << text << " size " << size;
            for (size_t i = size; i < sizeof(buf); i++)
                ASSERT_EQ(buf[i], '#') << text << " size " << size << " wrote byte " << i;
        }
        char buf[64];
        ASSERT_TRUE(shell_quote(text, buf, need)) << text << " size " << need;
        EXPECT_STREQ(buf, full);
    }
}

/* ---- time helpers ---------------------------------------------------- */

TEST(Deadlines, SecondsFromNowOnTheMonotonicClock)
{
    for (int seconds : {0, 10}) {
        double before = mono_s();
        struct timespec deadline;
        maketimeout_s(&deadline, seconds);
        double at = deadline.tv_sec + deadline.tv_nsec / 1e9 - seconds;
        EXPECT_GE(at, before - 1e-6) << seconds;
        EXPECT_LE(at, mono_s() + 1e-6) << seconds;
    }
}

/* Each timed-wait condition of the daemon waits until its deadline on the
 * monotonic clock (one left on the wall clock would see a moment of 1970
 * and return at once); a deadline of now from maketimeout_s returns at once. */
TEST(Deadlines, TimedWaitsMeasureOnTheMonotonicClock)
{
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;

    init_timed_conds_once();
    for (pthread_cond_t *cond : {&l_query_cond, &l_keep_alive_cond, &l_test_cond}) {
        for (double wait_s : {0.0, 0.2}) {
            struct timespec deadline;
            double start = mono_s(), end = start + wait_s;
            if (wait_s == 0.0)
                maketimeout_s(&deadline, 0);
            else
                deadline = {(time_t)end, (long)((end - (time_t)end) * 1e9)};
            pthread_mutex_lock(&mutex);
            int ret = pthread_cond_timedwait(cond, &mutex, &deadline);
            pthread_mutex_unlock(&mutex);
            EXPECT_EQ(ret, ETIMEDOUT);
            EXPECT_GE(mono_s() - start, wait_s - 0.01);
            EXPECT_LT(mono_s() - start, wait_s + 0.5);
        }
    }
}

/* timer_start and timer_end read the same clock, the monotonic one. */
TEST(Timers, ElapsedTimeIsRightWhenTheNanosecondsGoBackwards)
{
    struct timespec start;
    EXPECT_EQ(timer_start(&start), 0);
    /* Two seconds earlier but at the very end of a second: the end reading's
     * nanosecond field is then smaller than the start's. */
    start.tv_sec -= 2;
    start.tv_nsec = 999999999;
    double start_s = (double)start.tv_sec + 0.999999999;

    double before = mono_s() - start_s;
    double elapsed = timer_end(&start);
    double after = mono_s() - start_s;
    EXPECT_GT(elapsed, 1.0);
    EXPECT_GE(elapsed, before - 1e-6);
    EXPECT_LE(elapsed, after + 1e-6);
}

class TimeStamps : public ::testing::Test {
protected:
    std::string old_tz;
    bool had_tz = false;
    void SetUp() override
    {
        const char *tz = getenv("TZ");
        had_tz = tz != NULL;
        if (tz)
            old_tz = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (had_tz)
            setenv("TZ", old_tz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
};

TEST_F(TimeStamps, MillisecondsAreTruncatedAndZeroPadded)
{
    struct {
        long usec;
        const char *want;
    } cases[] = {
        {999999, "2026-12-05 19:18:43.999"}, {5000, "2026-12-05 19:18:43.005"},
        {999, "2026-12-05 19:18:43.000"},    {0, "2026-12-05 19:18:43.000"},
        {72000, "2026-12-05 19:18:43.072"},  {123456, "2026-12-05 19:18:43.123"},
    };
    for (const auto &c : cases) {
        struct timeval tv = {1796498323, c.usec};
        char buf[TIMESTAMP_SIZE + 4];
        memset(buf, '#', sizeof(buf));
        format_timeval(&tv, buf);
        EXPECT_STREQ(buf, c.want);
        for (size_t i = TIMESTAMP_SIZE; i < sizeof(buf); i++)
            EXPECT_EQ(buf[i], '#');
    }
}

TEST_F(TimeStamps, NowHasTheJournalFormat)
{
    char before[32], after[32], buf[TIMESTAMP_SIZE];
    time_t t0 = time(NULL);
    struct tm tm;

    EXPECT_EQ(getstimeval(buf), buf);
    time_t t1 = time(NULL);
    EXPECT_EQ(strlen(buf), 23u);
    EXPECT_TRUE(ere_match(buf, "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}$"))
        << buf;
    strftime(before, sizeof(before), "%Y-%m-%d %H:%M:%S", gmtime_r(&t0, &tm));
    strftime(after, sizeof(after), "%Y-%m-%d %H:%M:%S", gmtime_r(&t1, &tm));
    std::string seconds(buf, 19);
    EXPECT_TRUE(seconds == before || seconds == after) << buf;
}
