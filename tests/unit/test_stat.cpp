/*
 * Transfer statistics: the journals (growth by doubling, appends from many
 * threads at once) and the exact bytes of stat.txt.
 */
#include <gtest/gtest.h>

#include "test_support.h"
#include "diagferry_main/config.h"
#include "diagferry_main/query.h"
#include "diagferry_main/stat.h"

#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

class StatFileTest : public ::testing::Test {
protected:
    TempDir tmp;
    std::string dir;

    void SetUp() override
    {
        dir = tmp.path;
        ASSERT_FALSE(dir.empty());
        snprintf(l_workdir, sizeof(l_workdir), "%s/", dir.c_str());
        l_detect = l_pull = l_send = l_dup = 0;
        l_miss = 0;
        init_stat_str(&l_miss_str);
        init_stat_str(&l_dup_str);
    }

    void TearDown() override
    {
        /* write_stat_file frees the journals and leaves them NULL. */
        free(l_miss_str.str);
        free(l_dup_str.str);
        l_miss_str.str = l_dup_str.str = NULL;
    }
};

TEST_F(StatFileTest, EmptyJournalsGiveSummaryAndTwoLabels)
{
    EXPECT_EQ(l_miss_str.size, 1);
    EXPECT_EQ(l_miss_str.cap, 1024);
    ::testing::internal::CaptureStdout();
    write_stat_file();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ere_match(out, "^\\[[0-9]+\\]src/diagferry_main\\([0-9]+\\) write_stat_file\\(\\): "
                               "detect:0 pull:0 send:0 miss:0 dup:0\n$"))
        << out;
    EXPECT_EQ(read_file(dir + "/stat.txt"), "detect:0 pull:0 send:0 miss:0 dup:0\n[miss]\n\n[dup]\n");
    EXPECT_EQ(l_miss_str.str, nullptr);
    EXPECT_EQ(l_dup_str.str, nullptr);
}

TEST_F(StatFileTest, FilledJournalsAreWrittenVerbatimBetweenTheLabels)
{
    l_detect = 12;
    l_pull = 10;
    l_send = 9;
    l_dup = 1;
    l_miss = 4;
    const char *miss1 = "[2026-12-05 19:30:01.001]\tsequence check\tmiss 03 from a to b\n";
    const char *miss2 = "[2026-12-05 19:30:02.002]\tsend\tc\n";
    const char *dup1 = "[2026-12-05 19:30:03.003] d\n";
    print_to_stat_str(&l_miss_str, miss1);
    print_to_stat_str(&l_miss_str, miss2);
    print_to_stat_str(&l_dup_str, dup1);
    ::testing::internal::CaptureStdout();
    write_stat_file();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_file(dir + "/stat.txt"), std::string("detect:12 pull:10 send:9 miss:4 dup:1") +
                                            "\n[miss]\n" + miss1 + miss2 + "\n[dup]\n" + dup1);
}

TEST_F(StatFileTest, JournalDoublesOnlyWhenTheTextNoLongerFits)
{
    /* 1023 characters and the NUL fill the 1024 bytes exactly: no growth. */
    std::string fill(1023, 'a');
    print_to_stat_str(&l_miss_str, fill.c_str());
    EXPECT_EQ(l_miss_str.size, 1024);
    EXPECT_EQ(l_miss_str.cap, 1024);

    /* size == cap now: one more character doubles before the copy. */
    print_to_stat_str(&l_miss_str, "b");
    EXPECT_EQ(l_miss_str.size, 1025);
    EXPECT_EQ(l_miss_str.cap, 2048);
    EXPECT_EQ(std::string(l_miss_str.str), fill + "b");

    /* A text longer than the capacity doubles as often as needed. */
    std::string big(5000, 'c');
    print_to_stat_str(&l_miss_str, big.c_str());
    EXPECT_EQ(l_miss_str.cap, 8192);
    EXPECT_EQ(l_miss_str.size, 6025);
    EXPECT_EQ(std::string(l_miss_str.str), fill + "b" + big);
}

TEST_F(StatFileTest, ConcurrentMissesAndAppendsLoseNothing)
{
    const int THREADS = 8, PER_THREAD = 400;
    std::vector<pthread_t> tids(THREADS);
    auto body = [](void *arg) -> void * {
        long t = (long)arg;
        char name[LOG_NAME_SIZE], line[64];
        for (int i = 0; i < PER_THREAD; i++) {
            snprintf(name, sizeof(name), "t%ld-%d", t, i);
            journal_miss("send", name);
            snprintf(line, sizeof(line), "[x] t%ld-%d\n", t, i);
            print_to_stat_str(&l_dup_str, line);
        }
        return NULL;
    };
    for (long t = 0; t < THREADS; t++)
        ASSERT_EQ(pthread_create(&tids[t], NULL, body, (void *)t), 0);
    for (pthread_t tid : tids)
        pthread_join(tid, NULL);

    EXPECT_EQ(l_miss.load(), THREADS * PER_THREAD);
    /* Every line whole, every thread's lines all there and in its order. */
    std::string miss = l_miss_str.str, dup = l_dup_str.str;
    EXPECT_EQ((int)miss.size(), l_miss_str.size - 1);
    EXPECT_EQ((int)dup.size(), l_dup_str.size - 1);
    /* Each line is LINE_RE with "t<thread>-<i>" after TAG; every thread's
     * lines must come in its own order. */
    auto check_journal = [&](const std::string &text, const std::string &line_re, char tag) {
        std::vector<int> next(THREADS, 0);
        int lines = 0;
        for (size_t start = 0, end; start < text.size(); start = end + 1) {
            end = text.find('\n', start);
            ASSERT_NE(end, std::string::npos);
            std::string line = text.substr(start, end - start);
            ASSERT_TRUE(ere_match(line, line_re)) << line;
            int t = -1, i = -1;
            ASSERT_EQ(sscanf(strrchr(line.c_str(), tag), "%*ct%d-%d", &t, &i), 2) << line;
            ASSERT_TRUE(t >= 0 && t < THREADS) << line;
            EXPECT_EQ(i, next[t]++);
            lines++;
        }
        EXPECT_EQ(lines, THREADS * PER_THREAD);
    };
    check_journal(miss,
                  "^\\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"
                  "\\.[0-9]{3}\\]\tsend\tt[0-9]+-[0-9]+$",
                  '\t');
    check_journal(dup, "^\\[x\\] t[0-9]+-[0-9]+$", ' ');
}

/* A working directory that is missing or full: a CHECK line, the whole
 * statistics in the log as the file would read, nothing left behind. */
TEST_F(StatFileTest, UnwritableFileGoesToTheLogInstead)
{
    const std::string summary = "write_stat_file(): detect:0 pull:0 send:2 miss:1 dup:0";
    const struct {
        std::string workdir, first, second;
    } cases[] = {
        {"/nonexistent-diagferry-test/gone/",
         "write_stat_file(): CHECK(fd >= 0) failed. cannot create statistic file. errno:2", summary},
        {dir + "/full/", summary,
         "write_stat_file(): CHECK(write(fd, buff, strlen(buff)) == strlen(buff)) failed. write err"},
    };
    ASSERT_EQ(mkdir((dir + "/full").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/dev/full", (dir + "/full/stat.txt").c_str()), 0);
    for (const auto &c : cases) {
        snprintf(l_workdir, sizeof(l_workdir), "%s", c.workdir.c_str());
        TearDown(); /* fresh journals: SetUp's or NULL after the last case */
        init_stat_str(&l_miss_str);
        init_stat_str(&l_dup_str);
        l_send = 2;
        l_miss = 1;
        print_to_stat_str(&l_miss_str, "[t]\tsend\ta\n");
        print_to_stat_str(&l_dup_str, "[t] b\n");
        int ok = -1;
        auto lines = log_entries(capture_stdout([&] { ok = write_stat_file(); }));
        EXPECT_EQ(ok, FALSE);
        EXPECT_EQ(lines, (std::vector<std::string>{
                             c.first, c.second,
                             "log_stat_file(): detect:0 pull:0 send:2 miss:1 dup:0",
                             "log_stat_file(): [miss]", "log_stat_file(): [t]\tsend\ta",
                             "log_stat_file(): ", "log_stat_file(): [dup]",
                             "log_stat_file(): [t] b"}));
        EXPECT_FALSE(exists(c.workdir + "stat.txt"));
    }
}

TEST_F(StatFileTest, LongestWorkingDirectoriesAreWrittenWhereConfigured)
{
    /* 4000 characters with the trailing "/", built from 200-character
     * components (a component may not exceed 255). */
    std::string path = dir;
    while (path.size() + 201 < 4000) {
        path += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path.size();
    }
    path += "/" + std::string(4000 - path.size() - 2, 'e');
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    path += "/";
    ASSERT_EQ(path.size(), 4000u);
    snprintf(l_workdir, sizeof(l_workdir), "%s", path.c_str());
    l_detect = 1;
    ::testing::internal::CaptureStdout();
    write_stat_file();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_file(path + "stat.txt"), "detect:1 pull:0 send:0 miss:0 dup:0\n[miss]\n\n[dup]\n");
}

} // namespace
