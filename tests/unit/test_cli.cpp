/*
 * The command line of the built daemon, run as a child process.
 *
 * Only forms that end before the start-up are run here: usage errors, -h,
 * and configuration files that fail. The daemon is never started on the
 * host with a usable configuration, without arguments or with -k alone;
 * those belong to the end-to-end tests in the emulated router. As a second
 * guard the child gets a PATH with nothing on it, so that even a start-up
 * reached by mistake could run none of the router's programs.
 */
#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "diagferry_main/config.h"

#ifndef DIAGFERRY_BIN
#error "DIAGFERRY_BIN must name the built daemon"
#endif

namespace {

const char USAGE[] = "Usage:\ndiagferry -k\ndiagferry -f <file>\n\nDetail:\n"
                     "-k, --kill:\t stop diagferry\n-f  --conf-file:\t config file\n"
                     "-h, --help:\t show this help\n";

struct DaemonRun {
    pid_t pid = -1;
    int status = -1; /* wait status */
    std::string out, err;
    bool timed_out = false;
};

/* Runs the daemon with args, in dir, and waits for it (10 s at most). */
DaemonRun run_daemon(const std::vector<std::string> &args, const TempDir &dir)
{
    DaemonRun r;
    std::string out_path = dir.path + "/stdout", err_path = dir.path + "/stderr";
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(DIAGFERRY_BIN));
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(NULL);
    char path_env[] = "PATH=/nonexistent-diagferry-test-path";
    char lang_env[] = "LC_ALL=C";
    char *envp[] = {path_env, lang_env, NULL};

    fflush(stdout);
    fflush(stderr);
    r.pid = fork();
    if (r.pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || chdir(dir.path.c_str()) != 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(DIAGFERRY_BIN, argv.data(), envp);
        _exit(127);
    }
    if (r.pid < 0)
        return r;
    for (int waited_ms = 0;; waited_ms += 10) {
        pid_t done = waitpid(r.pid, &r.status, WNOHANG);
        if (done == r.pid)
            break;
        if (waited_ms >= 10000) {
            r.timed_out = true;
            kill(r.pid, SIGKILL);
            waitpid(r.pid, &r.status, 0);
            break;
        }
        usleep(10000);
    }
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

/* The banner every invocation starts with, for the child's own pid. */
std::string banner_re(pid_t pid)
{
    return "\\[[0-9]+\\]src/diagferry_main\\([0-9]+\\) main\\(\\): main thread start: pid " +
           std::to_string(pid) + " tid 0x[0-9a-f]+\n";
}

/* Splits off the first line (with its newline). */
std::string first_line(const std::string &text)
{
    size_t nl = text.find('\n');
    return nl == std::string::npos ? text : text.substr(0, nl + 1);
}

class CommandLine : public ::testing::Test {
protected:
    TempDir dir;

    DaemonRun run(const std::vector<std::string> &args)
    {
        DaemonRun r = run_daemon(args, dir);
        EXPECT_FALSE(r.timed_out) << "the daemon went on past its command line";
        EXPECT_TRUE(WIFEXITED(r.status)) << "wait status " << r.status;
        EXPECT_TRUE(ere_match(first_line(r.out), "^" + banner_re(r.pid) + "$"))
            << r.out;
        return r;
    }

    /* The banner, then exactly the usage text, then the given status. */
    void expect_usage(const std::vector<std::string> &args, int status)
    {
        DaemonRun r = run(args);
        std::string what = args.empty() ? "" : args[0].substr(0, 40);
        EXPECT_EQ(WEXITSTATUS(r.status), status) << what;
        EXPECT_EQ(r.out.substr(first_line(r.out).size()), USAGE) << what;
    }

    /* The banner, then one log line matching line_re, status 1. */
    void expect_fatal(const std::vector<std::string> &args, const std::string &line_re)
    {
        DaemonRun r = run(args);
        EXPECT_EQ(WEXITSTATUS(r.status), 1);
        EXPECT_TRUE(ere_match(r.out, "^" + banner_re(r.pid) + line_re + "\n$"))
            << r.out;
    }
};

} // namespace

TEST_F(CommandLine, UsageForms)
{
    /* A valid file, so that only the form of the line can refuse it. */
    std::string conf = dir.write("conf.json", "{}");
    struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"-h"}, 0},
        {{"--help"}, 0},
        /* -h and -k stand alone: the pid file is never looked at. */
        {{"-h", "x"}, 1},
        {{"--help", "-h"}, 1},
        {{"x", "-h"}, 1},
        {{"-k", "x"}, 1},
        {{"--kill", "-h"}, 1},
        /* The configuration file takes two separate words and no more. */
        {{"-f" + conf}, 1},
        {{"--conf-file=" + conf}, 1},
        {{"-f", conf, "extra"}, 1},
        {{"--conf-file", conf, "extra"}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[0] + " " + c.args[1] : c.args[0]);
        expect_usage(c.args, c.status);
    }
}

TEST_F(CommandLine, UnknownOptionOrMissingArgumentShowsUsageAndFails)
{
    for (const char *arg : {"-x", "--bogus", "-f", "--conf-file", "--kil=1"}) {
        DaemonRun r = run({arg});
        EXPECT_EQ(WEXITSTATUS(r.status), 1) << arg;
        EXPECT_EQ(r.out.substr(first_line(r.out).size()), USAGE) << arg;
        /* getopt's own complaint stays on standard error. */
        EXPECT_NE(r.err.find("diagferry"), std::string::npos) << arg << ": " << r.err;
    }
}

TEST_F(CommandLine, ConfFileThatIsNotJsonIsFatal)
{
    std::string conf = dir.write("bad.json", "this is not json\n");
    expect_fatal({"-f", conf},
                 "\\[[0-9]+\\]src/diagferry_main\\([0-9]+\\) parse_args\\(\\): "
                 "\\[PROTOCOL\\]ASSERT\\(parse_conf_file\\(optarg\\) == TRUE\\) failed\\. "
                 "failed to parse conf file");
    expect_fatal({"--conf-file", conf},
                 "\\[[0-9]+\\]src/diagferry_main\\([0-9]+\\) parse_args\\(\\): "
                 "\\[PROTOCOL\\]ASSERT\\(parse_conf_file\\(optarg\\) == TRUE\\) failed\\. "
                 "failed to parse conf file");
}

TEST_F(CommandLine, HugeArgumentsEndCleanly)
{
    std::string huge(100000, 'A');
    /* As a file name: too long to open (ENAMETOOLONG). */
    expect_fatal({"-f", huge},
                 "\\[[0-9]+\\]src/diagferry_main\\([0-9]+\\) parse_conf_file\\(\\): "
                 "\\[PROTOCOL\\]ASSERT\\(fd >= 0\\) failed\\. Unable to open conf file\\. "
                 "errno:" + std::to_string(ENAMETOOLONG));
    /* As an unknown long option, glued to -f, and as the extra word of -h. */
    expect_usage({"--" + huge}, 1);
    expect_usage({"-f" + huge}, 1);
    expect_usage({"-h", huge}, 1);
}
