/*
 * config: parse_conf_file on real files, and the settings it leaves.
 */
#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>

#include <string>

#include "settings_support.h"
#include "test_support.h"
#include "diagferry_main/config.h"

namespace {

class Config : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override { reset_settings(); }
    void TearDown() override { reset_settings(); }

    /* Writes text as a configuration file and parses it. */
    int parse(const std::string &text, std::string *log = NULL)
    {
        std::string path = dir.write("conf.json", text);
        int ret = -1;
        std::string out = capture_stdout([&] { ret = parse_conf_file(path.c_str()); });
        if (log)
            *log = out;
        return ret;
    }

    void expect_defaults(void)
    {
        EXPECT_DOUBLE_EQ(l_log_size, 1.0);
        EXPECT_EQ(l_log_number, 3);
        EXPECT_EQ(l_zip_level, 9);
        EXPECT_STREQ(l_modem_log_dir, "/run/diag_logs/");
        EXPECT_STREQ(l_workdir, "/tmp/mdlog/");
        EXPECT_EQ(l_router_mode, ROUTER_MODE_MANUAL);
        EXPECT_EQ(l_mobile_debug, 0);
    }
};

using ConfigDeathTest = Config;

/* Pads a JSON object with blanks after its "{" to exactly size bytes. */
std::string padded_object(const std::string &members, size_t size)
{
    std::string text = "{" + members + "}";
    if (text.size() < size)
        text.insert(1, size - text.size(), ' ');
    return text;
}

} // namespace

/* ---- the file itself ------------------------------------------------- */

TEST_F(Config, FileOf4095BytesIsReadWhole)
{
    /* The member sits at the very end, so it counts only if all was read. */
    std::string text = padded_object("\"modem.log.number\":7", 4095);
    ASSERT_EQ(text.size(), 4095u);
    EXPECT_EQ(parse(text), TRUE);
    EXPECT_EQ(l_log_number, 7);
}

TEST_F(ConfigDeathTest, FileOf4096BytesOrMoreIsTooLarge)
{
    for (size_t size : {(size_t)4096, (size_t)5000, (size_t)100000}) {
        std::string path = dir.write("big.json", padded_object("\"modem.log.number\":7", size));
        EXPECT_EXIT(parse_to_stderr(path), ::testing::ExitedWithCode(1),
                    "parse_conf_file\\(\\): \\[PROTOCOL\\]ASSERT\\(n < JSON_MAX_SIZE\\) failed\\. "
                    "conf file has too large size")
            << size;
    }
}

TEST_F(ConfigDeathTest, UnreadableFileFailsTheRead)
{
    std::string path = dir.write("empty.json", "");
    EXPECT_EXIT(parse_to_stderr(path), ::testing::ExitedWithCode(1),
                "parse_conf_file\\(\\): \\[PROTOCOL\\]ASSERT\\(n > 0\\) failed\\. "
                "read conf file error\\. errno:[0-9]+");
    /* open() succeeds on a directory; the read fails with EISDIR. */
    EXPECT_EXIT(parse_to_stderr(dir.path), ::testing::ExitedWithCode(1),
                "parse_conf_file\\(\\): \\[PROTOCOL\\]ASSERT\\(n > 0\\) failed\\. "
                "read conf file error\\. errno:" + std::to_string(EISDIR));
}

TEST_F(ConfigDeathTest, MissingFileCannotBeOpened)
{
    std::string path = dir.path + "/missing.json";
    EXPECT_EXIT(parse_to_stderr(path), ::testing::ExitedWithCode(1),
                "parse_conf_file\\(\\): \\[PROTOCOL\\]ASSERT\\(fd >= 0\\) failed\\. "
                "Unable to open conf file\\. errno:2");
}

TEST_F(Config, TextThatIsNotJsonGivesFalseAndChangesNothing)
{
    for (const char *text : {"not json", "{", "{\"modem.log.number\": 7", "{\"a\":}", "   ",
                             "{\"modem.log.size\":.5}"}) {
        EXPECT_EQ(parse(text), FALSE) << text;
        expect_defaults();
    }
}

TEST_F(Config, AnyValidJsonIsAcceptedEvenWithoutSettings)
{
    for (const char *text : {"{}", "[1,2,3]", "42", "\"modem.log.number\"", "null", "true",
                             "[{\"modem.log.number\":7}]", "{\"unknown.key\":1}"}) {
        EXPECT_EQ(parse(text), TRUE) << text;
        expect_defaults();
    }
}

TEST_F(Config, OnlyTheFirstJsonValueIsRead)
{
    /* A byte-order mark at the start (editors on the PC may write one) and
     * anything after the first complete value are passed over. */
    EXPECT_EQ(parse("\xEF\xBB\xBF{\"modem.log.number\": 5} {\"modem.log.number\": 6}"), TRUE);
    EXPECT_EQ(l_log_number, 5);
    /* The file is read as a C string: a NUL inside the object cuts it. */
    EXPECT_EQ(parse(std::string("{\"modem.log.number\": 9\0}", 25)), FALSE);
    EXPECT_EQ(l_log_number, 5);
}

/* ---- values and their types ------------------------------------------ */

TEST_F(Config, EveryKeyTakesItsValue)
{
    /* Member names are matched regardless of letter case. */
    std::string log;
    EXPECT_EQ(parse("{\"modem.log.size\":2.5,\"modem.log.number\":10,\"modem.log.zip_level\":3,"
                    "\"modem.log.dir\":\"/data/diag/\",\"Router.WorkDir\":\"/var/mdlog/\","
                    "\"router.mode\":\"net monitor\",\"router.mobiledebug\":true}",
                    &log),
              TRUE);
    EXPECT_DOUBLE_EQ(l_log_size, 2.5);
    EXPECT_EQ(l_log_number, 10);
    EXPECT_EQ(l_zip_level, 3);
    EXPECT_STREQ(l_modem_log_dir, "/data/diag/");
    EXPECT_STREQ(l_workdir, "/var/mdlog/");
    EXPECT_EQ(l_router_mode, ROUTER_MODE_NET_MONITOR);
    EXPECT_EQ(l_mobile_debug, 1);
    EXPECT_NE(log.find("parse_conf_file(): mode: net monitor\n"), std::string::npos) << log;
}

TEST_F(Config, ValuesOfTheWrongTypeAreIgnored)
{
    EXPECT_EQ(parse("{\"modem.log.size\":\"2\",\"modem.log.number\":\"7\","
                    "\"modem.log.zip_level\":\"5\",\"modem.log.dir\":5,\"router.workdir\":null,"
                    "\"router.mode\":1,\"router.mobiledebug\":1}"),
              TRUE);
    expect_defaults();
    EXPECT_EQ(parse("{\"modem.log.size\":[1],\"modem.log.number\":{\"v\":1},"
                    "\"modem.log.dir\":[\"/a/\"],\"router.mobiledebug\":\"true\"}"),
              TRUE);
    expect_defaults();
    /* Only the literals set the flag: false clears it, null leaves it. */
    l_mobile_debug = 1;
    EXPECT_EQ(parse("{\"router.mobiledebug\":null}"), TRUE);
    EXPECT_EQ(l_mobile_debug, 1);
    EXPECT_EQ(parse("{\"router.mobiledebug\":false}"), TRUE);
    EXPECT_EQ(l_mobile_debug, 0);
}

TEST_F(Config, ZipLevelOutside0To19BecomesZero)
{
    struct {
        const char *value;
        int want;
    } cases[] = {{"19", 19}, {"0", 0}, {"1", 1}, {"20", 0}, {"-1", 0}, {"5.9", 5},
                 {"1e10", 0}, {"-1e10", 0}};
    for (const auto &c : cases) {
        reset_settings();
        EXPECT_EQ(parse(std::string("{\"modem.log.zip_level\":") + c.value + "}"), TRUE);
        EXPECT_EQ(l_zip_level, c.want) << c.value;
    }
}

TEST_F(Config, StatusIntervalIsWholeSecondsAndNoneOutsideItsRange)
{
    struct {
        const char *value;
        int want;
    } cases[] = {{"2", 2}, {"2.9", 2}, {"0", 0}, {"86400", 86400}, {"86401", 0},
                 {"-5", 0}, {"1e10", 0}, {"\"30\"", 60}, {"null", 60}};
    for (const auto &c : cases) {
        reset_settings();
        EXPECT_EQ(parse(std::string("{\"router.status_interval\":") + c.value + "}"), TRUE);
        EXPECT_EQ(l_status_interval, c.want) << c.value;
    }
}

/* ---- directories ----------------------------------------------------- */

TEST_F(Config, DirectoriesAreTakenUnchanged)
{
    struct {
        const char *json, *want;
    } cases[] = {
        {"/data/logs", "/data/logs"}, /* no "/" is added */
        {"", ""},                     /* an empty prefix */
        {"relative", "relative"},
        {"/with space/$x/", "/with space/$x/"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(parse(std::string("{\"modem.log.dir\":\"") + c.json + "\",\"router.workdir\":\"" +
                        c.json + "\"}"),
                  TRUE);
        EXPECT_STREQ(l_modem_log_dir, c.want);
        EXPECT_STREQ(l_workdir, c.want);
    }
}

TEST_F(ConfigDeathTest, DirectorySettingsThatAreNotSafePathsAreRefused)
{
    /* Both settings are pasted into shell command lines and removed or
     * emptied: only absolute paths of letters, digits and "_ . / -" ending
     * in "/", two directories deep, without "." or "..", pass. */
    for (const char *good : {"/run/diag_logs/", "/tmp/My-logs_2.0/", "//a//...//", "/a/.b/"}) {
        snprintf(l_modem_log_dir, sizeof(l_modem_log_dir), "%s", good);
        snprintf(l_workdir, sizeof(l_workdir), "%s", good);
        EXPECT_TRUE(is_safe_dir(good)) << good;
        capture_stdout([] { check_settings_orDie(); });
    }
    reset_settings();
    struct {
        char *setting;
        const char *name;
    } settings[] = {{l_modem_log_dir, "modem.log.dir"}, {l_workdir, "router.workdir"}};
    for (const auto &s : settings) {
        for (const char *bad : {"", "relative/", "/data/logs", "/with space/", "/x;touch y;/",
                                "/$(id)/", "/a'b/", "/tab\t/", "/caf\xc3\xa9/", "/", "//",
                                "/run/", "//tmp//", "/run/../", "/a/b/../../", "/./run/"}) {
            snprintf(s.setting, PATH_BUF_SIZE, "%s", bad);
            EXPECT_EXIT((dup2(2, 1), check_settings_orDie()), ::testing::ExitedWithCode(1),
                        "check_settings_orDie\\(\\): \\[PROTOCOL\\]ASSERT\\(is_safe_dir\\(.*\\)\\) "
                        "failed\\. " +
                            std::string(s.name) + " must be an absolute path")
                << s.name << " [" << bad << "]";
        }
        reset_settings();
    }
}

TEST_F(Config, LongestDirectoryAFileCanHoldIsKeptWholeAndTerminated)
{
    /* A file is at most 4095 bytes, so no string in it reaches 4096 chars:
     * the longest possible one must be kept whole. */
    std::string frame = "{\"router.workdir\":\"\"}";
    std::string dirname(4095 - frame.size(), 'd');
    memset(l_workdir, 'X', sizeof(l_workdir)); /* no NUL anywhere before */
    EXPECT_EQ(parse("{\"router.workdir\":\"" + dirname + "\"}"), TRUE);
    EXPECT_EQ(l_workdir[sizeof(l_workdir) - 1], '\0');
    EXPECT_EQ(std::string(l_workdir), dirname);
}

TEST_F(Config, ShorterDirectoryAfterALongOneIsTerminated)
{
    memset(l_modem_log_dir, 'X', sizeof(l_modem_log_dir));
    EXPECT_EQ(parse("{\"modem.log.dir\":\"/a/\"}"), TRUE);
    EXPECT_STREQ(l_modem_log_dir, "/a/");
}

/* ---- router mode ----------------------------------------------------- */

TEST_F(Config, ModeNamesMatchExactly)
{
    struct {
        const char *name;
        int want;
        const char *log;
    } cases[] = {
        {"dial once", ROUTER_MODE_DIAL_ONCE, "mode: dial once"},
        {"net monitor", ROUTER_MODE_NET_MONITOR, "mode: net monitor"},
        {"manual", ROUTER_MODE_MANUAL, "mode: manual"},
    };
    for (const auto &c : cases) {
        std::string log;
        l_router_mode = 7; /* so that "manual" shows it is set */
        EXPECT_EQ(parse(std::string("{\"router.mode\":\"") + c.name + "\"}", &log), TRUE);
        EXPECT_EQ(l_router_mode, c.want) << c.name;
        EXPECT_TRUE(log.find(std::string("parse_conf_file(): ") + c.log + "\n") !=
                    std::string::npos)
            << log;
    }
}

TEST_F(Config, ModeNamesThatDifferAreIgnoredSilently)
{
    for (const char *name : {"Dial Once", "dial  once", "dial once ", " manual", "MANUAL",
                             "net-monitor", "", "dial"}) {
        std::string log;
        l_router_mode = ROUTER_MODE_DIAL_ONCE;
        EXPECT_EQ(parse(std::string("{\"router.mode\":\"") + name + "\"}", &log), TRUE);
        EXPECT_EQ(l_router_mode, ROUTER_MODE_DIAL_ONCE) << name;
        EXPECT_EQ(log, "") << name;
    }
}
