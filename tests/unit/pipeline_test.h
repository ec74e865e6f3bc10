/*
 * What the pipeline stages' unit tests share: the illustrative log names,
 * journal checks, fake "adb" and "busybox" programs first on PATH (they
 * print a prepared listing, copy "log data" for a pull and record their
 * arguments), and a fixture that sets the pipeline's state as at start-up
 * in a scratch directory that is also the working directory, so that a
 * command that got out of its quotes would act there.
 */
#ifndef PIPELINE_TEST_H
#define PIPELINE_TEST_H

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "queue.h"
#include "test_support.h"
#include "diagferry_main/config.h"
#include "diagferry_main/pc_ip.h"
#include "diagferry_main/query.h"
#include "diagferry_main/send.h"
#include "diagferry_main/shutdown.h"
#include "diagferry_main/stat.h"

/* The illustrative names: prefix, 19 date characters and "_" (9..28), the
 * id at 29 and 30, then ".qmdl". */
inline std::string log_name(int second, int id)
{
    char buf[64];
    snprintf(buf, sizeof(buf), "diag_log_2026_12_05_19_30_%02d_%02d.qmdl", second, id);
    return buf;
}

/* 36 characters that would create files P and Q in the working directory
 * if a shell ran them. The query stage never takes such a name; the pull
 * and send stages, handed it directly, show that quoting guards too. */
const char HOSTILE[] = "diag_log_$(touch P)';touch Q;'.qmdl";

/* The stages move names in 41-byte buffers and copy them whole. */
struct Slot {
    char name[LOG_NAME_SIZE];
};
inline Slot slot(const std::string &name)
{
    Slot s;
    memset(s.name, 0, sizeof(s.name));
    snprintf(s.name, sizeof(s.name), "%s", name.c_str());
    return s;
}

const char *const STAMP = "\\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}\\]";

/* A journal must read exactly these lines, each after its own time stamp. */
inline void expect_journal(const char *journal, const std::vector<std::string> &tails)
{
    std::string want = "^";
    for (const std::string &t : tails)
        want += STAMP + ere_escape(t) + "\n";
    want += "$";
    EXPECT_TRUE(ere_match(journal, want)) << "journal:\n" << journal;
}

inline std::vector<std::string> drain_pull_queue_names()
{
    std::vector<std::string> names;
    char name[LOG_NAME_SIZE];
    while (queue_pop(&l_need_pull_queue, name))
        names.push_back(name);
    return names;
}

/* Bodies of the fake programs (FakeBin records their calls). */
const char FAKE_ADB[] = R"(
case "$1" in
shell)
    # a probe prints the next line of "probes" (none left: no tool)
    [ "$2 $3" = "busybox pgrep" ] && head -n 1 "$D/probes" 2>/dev/null && sed -i 1d "$D/probes"
    case "$2" in busybox | diag_mdlog | nohup) exit 0 ;; esac
    [ -e "$D/listing_fails" ] && exit 1
    rm "$D/listing_fails_once" 2>/dev/null && exit 1
    cat "$D/listing"
    ;;
pull)
    [ -e "$D/pull_fails" ] && { echo "adb: error: remote object does not exist"; exit 1; }
    printf 'log data' > "$3" || exit 1
    echo "$2: 1 file pulled."
    ;;
esac
exit 0
)";

const char FAKE_BUSYBOX[] = R"(
[ -e "$D/tftp_fails" ] && exit 1
exit 0
)";

class PipelineTest : public ::testing::Test {
protected:
    FakeBin bin;
    std::string dir = bin.dir.path, saved_cwd;

    void SetUp() override
    {
        ASSERT_TRUE(bin.add("adb", FAKE_ADB));
        ASSERT_TRUE(bin.add("busybox", FAKE_BUSYBOX));
        ASSERT_TRUE(write_file(dir + "/listing", ""));
        mkdir((dir + "/work").c_str(), 0755);
        char cwd[PATH_BUF_SIZE];
        ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
        saved_cwd = cwd;
        /* A command that got out of its quotes would act here. */
        ASSERT_EQ(chdir(dir.c_str()), 0);

        /* The pipeline's shared state as at start-up. */
        l_query_running = 1;
        l_pull_running = 1;
        l_lan_broken = 0;
        l_detect = l_pull = l_send = l_dup = 0;
        l_miss = 0;
        init_stat_str(&l_miss_str);
        init_stat_str(&l_dup_str);
        ASSERT_TRUE(queue_create(&l_need_pull_queue, LOG_NAME_SIZE, PULL_QUEUE_SLOTS));
        ASSERT_TRUE(queue_create(&l_need_send_queue, LOG_NAME_SIZE, SEND_QUEUE_SLOTS));
        snprintf(l_modem_log_dir, sizeof(l_modem_log_dir), "/run/diag_logs/");
        snprintf(l_workdir, sizeof(l_workdir), "%s/work/", dir.c_str());
        snprintf(l_pc_ip, sizeof(l_pc_ip), "192.0.2.100");
    }

    void TearDown() override
    {
        queue_destory(&l_need_pull_queue);
        queue_destory(&l_need_send_queue);
        free(l_miss_str.str);
        free(l_dup_str.str);
        l_miss_str.str = l_dup_str.str = NULL;
        EXPECT_EQ(chdir(saved_cwd.c_str()), 0);
    }

    void set_listing(const std::vector<std::string> &names)
    {
        std::string text;
        for (const std::string &n : names)
            text += n + "\n";
        ASSERT_TRUE(write_file(dir + "/listing", text));
    }

    /* Runs one do_query and returns its log lines. */
    std::vector<std::string> query()
    {
        ::testing::internal::CaptureStdout();
        do_query();
        return log_entries(::testing::internal::GetCapturedStdout());
    }

    std::vector<std::vector<std::string>> calls() { return bin.calls(); }
};

#endif
