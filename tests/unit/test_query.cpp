/*
 * Query stage: listing parser, selection of new names, sequence check, the
 * pull queue and the shutdown's final listing.
 *
 * The stage's own state is file-static, so this file includes query.cpp
 * (its symbols then come from here, not from the library) and resets that
 * state before every test. Commands run for real through /bin/sh: a fake
 * "adb" and a fake "busybox" first on PATH print a prepared listing and
 * record their arguments, one per line, into a call log.
 */
#include <gtest/gtest.h>

#include "../../src/diagferry_main/query.cpp"
#include "pipeline_test.h"

#include <atomic>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <vector>

namespace {

class QueryStageTest : public PipelineTest {
protected:
    void SetUp() override
    {
        PipelineTest::SetUp();
        /* The stage's own state as at start-up. */
        l_build_query_cmd = 1;
        l_query_cmd[0] = '\0';
        l_first_query = 1;
        memset(l_last_listed, 0, sizeof(l_last_listed));
        l_last_id = -1;
        snprintf(l_last_log, sizeof(l_last_log), "init");
        l_listed_logs = 0;
        l_final_query_pause_s = 0;
    }

    /* Leaves the state of the worked example: last accepted id 5. */
    void after_id_5()
    {
        l_first_query = 0;
        l_last_id = 5;
        snprintf(l_last_log, sizeof(l_last_log), "%s", log_name(10, 5).c_str());
        snprintf(l_last_listed, sizeof(l_last_listed), "%s", log_name(10, 5).c_str());
    }
};

/* ---- the listing parser */

TEST_F(QueryStageTest, ParserSplitsLinesOldestFirstAndIgnoresCarriageReturns)
{
    char names[LOG_LIST_MAX][LOG_NAME_SIZE];
    memset(names, 0, sizeof(names));
    ASSERT_EQ(parse_log_list("a1\r\nb2\r\nc3", names), 3);
    EXPECT_STREQ(names[0], "a1");
    EXPECT_STREQ(names[1], "b2");
    EXPECT_STREQ(names[2], "c3");

    /* An empty line in the middle is an (empty) name of its own. */
    ASSERT_EQ(parse_log_list("a1\n\nc3", names), 3);
    EXPECT_STREQ(names[1], "");
}

TEST_F(QueryStageTest, ParserAcceptsTwentyNamesOfFortyCharactersAndNoMore)
{
    char names[LOG_LIST_MAX][LOG_NAME_SIZE];
    std::string forty(40, 'x'), listing;
    for (int i = 0; i < 20; i++)
        listing += (i ? "\n" : "") + forty;
    ASSERT_EQ(parse_log_list(listing.c_str(), names), 20);
    EXPECT_EQ(std::string(names[19]), forty);

    EXPECT_EQ(parse_log_list((listing + "\nx").c_str(), names), -1) << "21 names";
    EXPECT_EQ(parse_log_list((forty + "y").c_str(), names), -1) << "41 characters";
    EXPECT_EQ(parse_log_list((forty + "\r").c_str(), names), 1) << "CR does not count";
}

TEST_F(QueryStageTest, ParserRefusesListingsWithoutAnyName)
{
    char names[LOG_LIST_MAX][LOG_NAME_SIZE];
    EXPECT_EQ(parse_log_list("", names), -1);
    EXPECT_EQ(parse_log_list("\n", names), -1);
    EXPECT_EQ(parse_log_list("\r\n\r", names), -1);
}

/* ---- do_query: command, failures, selection */

TEST_F(QueryStageTest, ListsTheModemDirectoryWithOneCommandBuiltOnce)
{
    set_listing({log_name(0, 0), log_name(10, 1)});
    query();
    snprintf(l_modem_log_dir, sizeof(l_modem_log_dir), "/elsewhere/");
    query();
    auto c = calls();
    ASSERT_EQ(c.size(), 2u);
    for (auto &call : c)
        EXPECT_EQ(call, (std::vector<std::string>{
                            "adb", "shell",
                            "cd /run/diag_logs/ && ls -1 --color=never diag_log_*.qmdl*"}));
}

TEST_F(QueryStageTest, FailingOrEmptyOrOversizedListingChangesNothing)
{
    after_id_5();
    ASSERT_TRUE(write_file(dir + "/listing_fails", ""));
    set_listing({log_name(20, 6), log_name(30, 7)});
    EXPECT_EQ(query(), (std::vector<std::string>{"do_query(): Error: exe query cmd (ls) failed!"}));
    unlink((dir + "/listing_fails").c_str());

    set_listing({});
    EXPECT_EQ(query(), (std::vector<std::string>{"do_query(): parse query ret failed, omit! ret: "}));

    std::vector<std::string> many;
    for (int i = 0; i < 21; i++)
        many.push_back(log_name(20 + i, 6 + i));
    set_listing(many);
    ::testing::internal::CaptureStdout();
    do_query();
    std::string out = ::testing::internal::GetCapturedStdout();
    /* The whole output, its newlines included, follows on one log entry. */
    std::string all;
    for (const std::string &n : many)
        all += (all.empty() ? "" : "\n") + n;
    EXPECT_TRUE(ere_match(out, "^\\[[0-9]+\\]src/diagferry_main\\([0-9]+\\) do_query\\(\\): "
                               "parse query ret failed, omit! ret: " +
                                   ere_escape(all) + "\n$"))
        << out;

    EXPECT_EQ(l_detect, 0);
    EXPECT_EQ(l_last_id, 5);
    EXPECT_STREQ(l_last_listed, log_name(10, 5).c_str());
    EXPECT_TRUE(queue_is_empty(&l_need_pull_queue));
}

TEST_F(QueryStageTest, WorkedExampleStepByStep)
{
    after_id_5();
    std::vector<std::string> names = {log_name(0, 4), log_name(10, 5), log_name(20, 6),
                                      log_name(30, 8), log_name(40, 9)};
    set_listing(names);

    /* Name 4 is held back; names 2 and 3 are new, handled oldest first. */
    EXPECT_EQ(query(), (std::vector<std::string>{
                           "check_log_id(): detect log: [" + names[2] + "]",
                           "check_log_id(): detect log: [" + names[3] + "]",
                           "check_log_id(): miss 1 log(s) between " + names[2] + " and " +
                               names[3],
                       }));
    EXPECT_STREQ(l_last_listed, names[3].c_str());
    EXPECT_EQ(l_detect, 2);
    EXPECT_EQ(l_miss.load(), 1);
    EXPECT_EQ(l_dup, 0);
    EXPECT_EQ(l_last_id, 8);
    EXPECT_STREQ(l_last_log, names[3].c_str());
    expect_journal(l_miss_str.str,
                   {"\tsequence check\tmiss 01 from " + names[2] + " to " + names[3]});
    EXPECT_STREQ(l_dup_str.str, "");
    EXPECT_EQ(drain_pull_queue_names(), (std::vector<std::string>{names[2], names[3]}));

    /* The same listing a second later takes nothing. */
    EXPECT_TRUE(query().empty());
    EXPECT_EQ(l_detect, 2);

    /* A newer file makes name 4 complete. */
    names.push_back(log_name(50, 10));
    set_listing(names);
    EXPECT_EQ(query(), (std::vector<std::string>{"check_log_id(): detect log: [" + names[4] + "]"}));
    EXPECT_EQ(l_last_id, 9);

    /* The final listing of the shutdown takes the newest too. */
    l_query_running = 0;
    EXPECT_EQ(query(), (std::vector<std::string>{"check_log_id(): detect log: [" + names[5] + "]"}));
    EXPECT_EQ(l_last_id, 10);
    EXPECT_EQ(l_detect, 4);
    EXPECT_EQ(l_miss.load(), 1);
    EXPECT_EQ(drain_pull_queue_names(), (std::vector<std::string>{names[4], names[5]}));
}

TEST_F(QueryStageTest, FirstSelectionTakesEveryConsideredNameOldestFirst)
{
    /* One file while running: nothing is considered yet. */
    set_listing({log_name(0, 0)});
    EXPECT_TRUE(query().empty());
    EXPECT_EQ(l_first_query, 1);
    EXPECT_STREQ(l_last_listed, "");

    set_listing({log_name(0, 0), log_name(10, 1), log_name(20, 2), log_name(30, 3)});
    query();
    EXPECT_EQ(l_first_query, 0);
    EXPECT_EQ(l_detect, 3);
    EXPECT_EQ(l_miss.load(), 0) << "a first id 00 is in sequence";
    EXPECT_EQ(drain_pull_queue_names(),
              (std::vector<std::string>{log_name(0, 0), log_name(10, 1), log_name(20, 2)}));
}

TEST_F(QueryStageTest, ListingOlderThanTheLastOneTakesNothingButIsRemembered)
{
    after_id_5();
    snprintf(l_last_listed, sizeof(l_last_listed), "%s", log_name(30, 8).c_str());
    set_listing({log_name(0, 4), log_name(10, 5), log_name(20, 6)});
    EXPECT_TRUE(query().empty());
    EXPECT_STREQ(l_last_listed, log_name(10, 5).c_str());
    EXPECT_EQ(l_detect, 0);
}

TEST_F(QueryStageTest, SixNewNamesFillTheFiveSlotsAndLoseTheNewest)
{
    std::vector<std::string> names;
    for (int i = 0; i < 7; i++)
        names.push_back(log_name(i, i));
    set_listing(names);
    auto lines = query();
    EXPECT_EQ(lines.back(),
              "do_query(): failed to add [" + names[5] + "] to need_pull_queue: queue full");
    EXPECT_EQ(l_detect, 6);
    EXPECT_EQ(l_miss.load(), 1);
    expect_journal(l_miss_str.str, {"\tpush to pull queue\t" + names[5]});
    EXPECT_STREQ(l_last_listed, names[5].c_str());

    /* The lost name is never taken again, even with room in the queue. */
    EXPECT_EQ(drain_pull_queue_names(),
              (std::vector<std::string>{names[0], names[1], names[2], names[3], names[4]}));
    EXPECT_TRUE(query().empty());
    EXPECT_EQ(l_detect, 6);
}

TEST_F(QueryStageTest, DuplicateIdIsCountedJournalledAndStillQueued)
{
    after_id_5();
    std::string again = "diag_log_2026_12_05_19_30_15_05.qmdl";
    set_listing({log_name(10, 5), again, log_name(20, 6)});
    EXPECT_EQ(query(), (std::vector<std::string>{"check_log_id(): detect log: [" + again + "]",
                                                 "check_log_id(): dup log! [" + again + "]"}));
    EXPECT_EQ(l_dup, 1);
    EXPECT_EQ(l_detect, 1);
    EXPECT_EQ(l_miss.load(), 0);
    EXPECT_EQ(l_last_id, 5);
    EXPECT_STREQ(l_last_log, log_name(10, 5).c_str());
    /* The dup journal separates with a space, not a tab. */
    EXPECT_TRUE(ere_match(l_dup_str.str, std::string("^") + STAMP + " " + ere_escape(again) + "\n$"))
        << l_dup_str.str;
    EXPECT_STREQ(l_miss_str.str, "");
    EXPECT_EQ(drain_pull_queue_names(), (std::vector<std::string>{again}));
}

TEST_F(QueryStageTest, NamesNoHonestListingPrintsAreIgnoredBeforeAnythingElse)
{
    EXPECT_TRUE(is_log_name("diag_log_.qmdl"));
    EXPECT_TRUE(is_log_name("diag_log_a-B_09.qmdl.gz"));
    for (const char *bad : {"", ".", "..", "../../../etc/passwd", "diag_log_a", "x.qmdl",
                            "diag_log_/../../x.qmdl", "diag_log_a.qmdl/..", "Diag_log_a.qmdl",
                            HOSTILE, "diag_log_\x1b[2J.qmdl", "diag_log_a b.qmdl",
                            "diag_log_a.qmdl\x7f"})
        EXPECT_FALSE(is_log_name(bad)) << bad;

    /* Lies among real names and after the newest: each is logged, made
     * printable, and the real newest is still held back. */
    after_id_5();
    const std::string ctl = "\x1b[2J\x01\\\xff";
    set_listing({log_name(10, 5), "../../../etc/passwd", log_name(20, 6), "..",
                 "diag_log_/../x.qmdl", log_name(30, 7), ctl});
    EXPECT_EQ(query(), (std::vector<std::string>{
                           "keep_log_names(): ignore listed name [../../../etc/passwd]: not a diag log name",
                           "keep_log_names(): ignore listed name [..]: not a diag log name",
                           "keep_log_names(): ignore listed name [diag_log_/../x.qmdl]: not a diag log name",
                           "keep_log_names(): ignore listed name [\\x1b[2J\\x01\\x5c\\xff]: not a diag log name",
                           "check_log_id(): detect log: [" + log_name(20, 6) + "]",
                       }));
    EXPECT_STREQ(l_last_listed, log_name(20, 6).c_str());
    /* The final listing takes the real newest, never a lie. */
    l_query_running = 0;
    query();
    EXPECT_EQ(l_detect, 2);
    EXPECT_EQ(l_miss.load(), 0);
    EXPECT_STREQ(l_miss_str.str, "");
    EXPECT_STREQ(l_last_listed, log_name(30, 7).c_str());
    EXPECT_EQ(drain_pull_queue_names(), (std::vector<std::string>{log_name(20, 6), log_name(30, 7)}));
    /* A listing of lies alone takes nothing and forgets nothing. */
    set_listing({"../x", "."});
    query();
    EXPECT_STREQ(l_last_listed, log_name(30, 7).c_str());
    EXPECT_EQ(l_detect, 2);
    for (auto &call : calls())
        EXPECT_EQ(call[1], "shell") << "only listings ran";
}

/* ---- check_log_id */

TEST_F(QueryStageTest, FirstIdZeroIsInSequenceAndThreeCountsThreeMissed)
{
    check_log_id(log_name(0, 0).c_str());
    EXPECT_EQ(l_miss.load(), 0);
    EXPECT_STREQ(l_miss_str.str, "");

    l_last_id = -1;
    snprintf(l_last_log, sizeof(l_last_log), "init");
    ::testing::internal::CaptureStdout();
    check_log_id(log_name(0, 3).c_str());
    auto lines = log_entries(::testing::internal::GetCapturedStdout());
    EXPECT_EQ(lines.back(), "check_log_id(): miss 3 log(s) between init and " + log_name(0, 3));
    EXPECT_EQ(l_miss.load(), 3);
    expect_journal(l_miss_str.str, {"\tsequence check\tmiss 03 from init to " + log_name(0, 3)});
    EXPECT_EQ(l_last_id, 3);
}

TEST_F(QueryStageTest, IdsWrapFromNinetyNineToZero)
{
    l_last_id = 98;
    check_log_id(log_name(0, 99).c_str());
    check_log_id(log_name(1, 0).c_str());
    EXPECT_EQ(l_miss.load(), 0);
    EXPECT_EQ(l_last_id, 0);

    /* 97 then 01: 98, 99 and 00 are missing, one journal line. */
    l_last_id = 97;
    snprintf(l_last_log, sizeof(l_last_log), "%s", log_name(2, 97).c_str());
    check_log_id(log_name(3, 1).c_str());
    EXPECT_EQ(l_miss.load(), 3);
    expect_journal(l_miss_str.str,
                   {"\tsequence check\tmiss 03 from " + log_name(2, 97) + " to " + log_name(3, 1)});
}

TEST_F(QueryStageTest, IdsAreReadAsAtoiReadsThem)
{
    /* No digits read as 0; a blank before one digit is skipped. */
    l_last_id = 99;
    check_log_id("diag_log_2026_12_05_19_30_00_xx.qmdl");
    EXPECT_EQ(l_last_id, 0);
    check_log_id("diag_log_2026_12_05_19_30_00_ 1.qmdl");
    EXPECT_EQ(l_last_id, 1);
    check_log_id("diag_log_2026_12_05_19_30_00_2x.qmdl");
    EXPECT_EQ(l_last_id, 2);
    EXPECT_EQ(l_miss.load(), 0);
}

TEST_F(QueryStageTest, BadIdIsCheckedAndTreatedAsMinusOne)
{
    std::string bad = "diag_log_2026_12_05_19_30_00_-3.qmdl";
    l_last_id = 99;
    ::testing::internal::CaptureStdout();
    check_log_id(bad.c_str());
    auto lines = log_entries(::testing::internal::GetCapturedStdout());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "check_log_id(): detect log: [" + bad + "]",
                         "check_log_id(): CHECK(now_id >= 0 && now_id <= LOG_ID_MAX) failed. bad log id",
                         "check_log_id(): check log id fatal failed. nowid=-1, lastid=99",
                     }));
    EXPECT_EQ(l_miss.load(), 0);
    EXPECT_EQ(l_last_id, -1);
    EXPECT_STREQ(l_last_log, bad.c_str());
}

TEST_F(QueryStageTest, ShortNamesTakeTheirIdFromWhatIsThere)
{
    /* Valid listing names can be shorter than the illustrative ones. Up to
     * 29 characters: no id characters at all, id 0. */
    check_log_id("diag_log_x.qmdl");
    EXPECT_EQ(l_last_id, 0);
    EXPECT_EQ(l_miss.load(), 0);
    /* 30 characters: the last one alone. */
    l_last_id = 6;
    check_log_id("diag_log_2026_12_05.qmdl_____7");
    EXPECT_EQ(l_last_id, 7);
    EXPECT_EQ(l_miss.load(), 0);
}

/* ---- shutdown: the final listing */

TEST_F(QueryStageTest, FinalListingIsTriedAgainWhenItFails)
{
    l_query_running = 0;
    set_listing({log_name(0, 0), log_name(1, 1)});
    ASSERT_TRUE(write_file(dir + "/listing_fails_once", ""));
    ::testing::internal::CaptureStdout();
    do_final_query();
    auto lines = log_entries(::testing::internal::GetCapturedStdout());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "do_query(): Error: exe query cmd (ls) failed!");
    /* The second try sees both files, the newest included. */
    EXPECT_EQ(drain_pull_queue_names(), (std::vector<std::string>{log_name(0, 0), log_name(1, 1)}));

    /* A listing that keeps failing is given up after three tries, loudly. */
    ASSERT_TRUE(write_file(dir + "/listing_fails", ""));
    ::testing::internal::CaptureStdout();
    do_final_query();
    lines = log_entries(::testing::internal::GetCapturedStdout());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "do_query(): Error: exe query cmd (ls) failed!",
                         "do_query(): Error: exe query cmd (ls) failed!",
                         "do_query(): Error: exe query cmd (ls) failed!",
                         "do_final_query(): final query failed 3 times: files written since the "
                         "last listing stay on the modem"}));
}

} // namespace
