/*
 * Transfer statistics: the journals (growth by doubling, appends from many
 * threads at once) and the exact bytes of stat.txt.
 */
#include <gtest/gtest.h>

#include "diagferry_main.h"

#include <fcntl.h>
#include <regex.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

/* Whole-text match against a POSIX extended regular expression. */
bool ere_match(const std::string &text, const std::string &pattern)
{
    regex_t re;
    if (regcomp(&re, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
        return false;
    bool ok = regexec(&re, text.c_str(), 0, NULL, 0) == 0;
    regfree(&re);
    return ok;
}

std::string slurp(const std::string &path)
{
    std::string text;
    char buf[4096];
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "<cannot open " + path + ">";
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        text.append(buf, (size_t)n);
    close(fd);
    return text;
}

class StatFileTest : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/dfstat.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
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
        std::string rm = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(rm.c_str()), 0);
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
    EXPECT_EQ(slurp(dir + "/stat.txt"), "detect:0 pull:0 send:0 miss:0 dup:0\n[miss]\n\n[dup]\n");
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
    EXPECT_EQ(slurp(dir + "/stat.txt"), std::string("detect:12 pull:10 send:9 miss:4 dup:1") +
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
    std::vector<int> next_miss(THREADS, 0), next_dup(THREADS, 0);
    size_t start = 0;
    int lines = 0;
    while (start < miss.size()) {
        size_t end = miss.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        std::string line = miss.substr(start, end - start);
        ASSERT_TRUE(ere_match(line, "^\\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"
                                    "\\.[0-9]{3}\\]\tsend\tt[0-9]+-[0-9]+$"))
            << line;
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(strrchr(line.c_str(), '\t'), "\tt%d-%d", &t, &i), 2);
        ASSERT_TRUE(t >= 0 && t < THREADS) << line;
        EXPECT_EQ(i, next_miss[t]++);
        lines++;
        start = end + 1;
    }
    EXPECT_EQ(lines, THREADS * PER_THREAD);
    start = 0;
    lines = 0;
    while (start < dup.size()) {
        size_t end = dup.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        int t, i;
        ASSERT_EQ(sscanf(dup.c_str() + start, "[x] t%d-%d\n", &t, &i), 2);
        ASSERT_TRUE(t >= 0 && t < THREADS);
        EXPECT_EQ(i, next_dup[t]++);
        lines++;
        start = end + 1;
    }
    EXPECT_EQ(lines, THREADS * PER_THREAD);
}

TEST_F(StatFileTest, MissingWorkingDirectoryIsFatal)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    snprintf(l_workdir, sizeof(l_workdir), "%s/gone/", dir.c_str());
    /* Log lines go to standard output; the child sends them to stderr for
     * the matcher. */
    /* The threadsafe style runs SetUp again in the child, which then dies
     * before TearDown: the child removes its own directory first. */
    EXPECT_EXIT(
        {
            rmdir(dir.c_str());
            dup2(STDERR_FILENO, STDOUT_FILENO);
            write_stat_file();
        },
        ::testing::ExitedWithCode(1),
        R"(write_stat_file\(\): \[PROTOCOL\]ASSERT\(fd >= 0\) failed\. cannot create statistic file\. errno:2)");
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
    EXPECT_EQ(slurp(path + "stat.txt"), "detect:1 pull:0 send:0 miss:0 dup:0\n[miss]\n\n[dup]\n");
}

} // namespace
