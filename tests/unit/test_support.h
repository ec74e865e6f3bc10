/*
 * Small helpers shared by the unit tests: temporary files and directories,
 * reading and writing whole files, POSIX regular expressions, a monotonic
 * clock, the daemon's timed-wait set-up, and capturing what the code under
 * test writes on a descriptor.
 */
#ifndef DIAGFERRY_TEST_SUPPORT_H
#define DIAGFERRY_TEST_SUPPORT_H

#include <ctype.h>
#include <fcntl.h>
#include <regex.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "utils.h"
#include "diagferry_main/shutdown.h"

/* A fresh directory under /tmp, removed with everything in it on scope exit. */
struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/diagferry-test.XXXXXX";
        const char *p = mkdtemp(tmpl);
        path = p ? p : "";
    }
    ~TempDir()
    {
        if (!path.empty()) {
            std::string cmd = "rm -rf '" + path + "'";
            if (system(cmd.c_str()) != 0)
                fprintf(stderr, "could not remove %s\n", path.c_str());
        }
    }
    /* Writes content (any bytes) to NAME in the directory; returns its path. */
    std::string write(const std::string &name, const std::string &content) const
    {
        std::string file = path + "/" + name;
        FILE *f = fopen(file.c_str(), "wb");
        if (f) {
            fwrite(content.data(), 1, content.size(), f);
            fclose(f);
        }
        return file;
    }
};

/* Reads a whole file; empty when it cannot be read. */
inline std::string read_file(const std::string &path)
{
    std::string text;
    char buf[4096];
    FILE *f = fopen(path.c_str(), "rb");
    size_t n;

    if (!f)
        return text;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

/* Writes text (any bytes) to path with the given mode; false when it could
 * not be written whole. */
inline bool write_file(const std::string &path, const std::string &text, mode_t mode = 0644)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    bool ok;

    if (fd < 0)
        return false;
    ok = write(fd, text.data(), text.size()) == (ssize_t)text.size();
    close(fd);
    /* open() leaves an existing file's mode and applies the umask. */
    return chmod(path.c_str(), mode) == 0 && ok;
}

/* True when something (even a dangling link) is at path. */
inline bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

/* Whole-text match against a POSIX extended regular expression (anchor it
 * with ^ and $); the daemon's patterns are ERE as grep -E reads them. */
inline bool ere_match(const std::string &text, const std::string &pattern)
{
    regex_t re;
    if (regcomp(&re, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
        return false;
    bool ok = regexec(&re, text.c_str(), 0, NULL, 0) == 0;
    regfree(&re);
    return ok;
}

/* text as an ERE that matches it literally. */
inline std::string ere_escape(const std::string &text)
{
    std::string escaped;
    for (char c : text) {
        if (strchr("\\^$.|?*+()[]{}", c))
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

/* Seconds on the monotonic clock, for measuring waits. */
inline double mono_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* The daemon's timed-wait conditions, created as main does before any
 * thread: call this in every test that waits on one (once per process). */
/* True once process pid has ended: gone, or a zombie that nobody has reaped
 * yet (the parent of an orphan may reap it only seconds later). */
inline bool process_ended(pid_t pid)
{
    if (kill(pid, 0) != 0)
        return true;
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && stat.compare(paren, 3, ") Z") == 0;
}

inline void init_timed_conds_once(void)
{
    static const bool done = (init_timed_conds(), true);
    (void)done;
}

/* Runs fn with file descriptor fd (and so every child started by fn) sent to
 * a temporary file; returns what was written there. */
inline std::string capture_fd(int fd, const std::function<void()> &fn)
{
    char tmpl[] = "/tmp/diagferry-out.XXXXXX";
    int tmp = mkstemp(tmpl);
    int saved;

    if (tmp < 0)
        return "<mkstemp failed>";
    fflush(stdout);
    fflush(stderr);
    saved = dup(fd);
    dup2(tmp, fd);
    close(tmp);
    fn();
    fflush(stdout);
    fflush(stderr);
    dup2(saved, fd);
    close(saved);
    std::string text = read_file(tmpl);
    unlink(tmpl);
    return text;
}

inline std::string capture_stdout(const std::function<void()> &fn)
{
    return capture_fd(STDOUT_FILENO, fn);
}

/* A directory of fake programs put first on PATH while it lives. Each
 * program records its call in DIR/calls ("== name", then its arguments one
 * per line) and then runs its body, in which $D is the directory. */
struct FakeBin {
    TempDir dir;
    std::string saved_path;

    FakeBin()
    {
        const char *path = getenv("PATH");
        saved_path = path ? path : "";
        setenv("PATH", (dir.path + ":" + saved_path).c_str(), 1);
    }
    ~FakeBin() { setenv("PATH", saved_path.c_str(), 1); }

    bool add(const std::string &name, const std::string &body) const
    {
        return write_file(dir.path + "/" + name,
                          "#!/bin/sh\nD='" + dir.path + "'\n{ echo '== " + name +
                              "'; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } >> \"$D/calls\"\n" +
                              body,
                          0755);
    }

    /* The recorded calls in order, each as the program's name followed by
     * its arguments. */
    std::vector<std::vector<std::string>> calls() const
    {
        std::vector<std::vector<std::string>> out;
        std::istringstream in(read_file(dir.path + "/calls"));
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("== ", 0) == 0)
                out.push_back({line.substr(3)});
            else if (!out.empty())
                out.back().push_back(line);
        }
        return out;
    }
};

/* ---- the daemon's log lines */

/* One parsed log line: "[time]src(line) func(): message". */
struct LogLine {
    std::string src, func, msg;
};

/* Parses "[digits]src(digits) func(): msg"; false for any other line. */
inline bool parse_log_line(const std::string &line, LogLine *out)
{
    size_t p = 1, q;

    if (line.empty() || line[0] != '[')
        return false;
    while (p < line.size() && isdigit((unsigned char)line[p]))
        p++;
    if (p == 1 || p >= line.size() || line[p] != ']')
        return false;
    q = line.find('(', ++p);
    if (q == std::string::npos || q == p)
        return false;
    out->src = line.substr(p, q - p);
    p = ++q;
    while (q < line.size() && isdigit((unsigned char)line[q]))
        q++;
    if (q == p || line.compare(q, 2, ") ") != 0)
        return false;
    p = q + 2;
    q = line.find("(): ", p);
    if (q == std::string::npos || q == p)
        return false;
    out->func = line.substr(p, q - p);
    for (char c : out->func)
        if (!isalnum((unsigned char)c) && c != '_')
            return false;
    out->msg = line.substr(q + 4);
    return true;
}

/* The log lines of captured output, in order; other lines are skipped. */
inline std::vector<LogLine> log_lines(const std::string &out)
{
    std::vector<LogLine> lines;
    std::istringstream in(out);
    LogLine l;

    for (std::string line; std::getline(in, line);)
        if (parse_log_line(line, &l))
            lines.push_back(l);
    return lines;
}

/* Just the messages of the log lines. */
inline std::vector<std::string> messages(const std::string &out)
{
    std::vector<std::string> msgs;
    for (const auto &l : log_lines(out))
        msgs.push_back(l.msg);
    return msgs;
}

/* Messages that start with prefix, in order. */
inline std::vector<std::string> messages_with(const std::string &out, const std::string &prefix)
{
    std::vector<std::string> msgs;
    for (const auto &m : messages(out))
        if (m.compare(0, prefix.size(), prefix) == 0)
            msgs.push_back(m);
    return msgs;
}

/* Every line of captured output as "func(): msg"; a line that is not a log
 * line is kept as "UNPREFIXED line", so that a stray print shows. */
inline std::vector<std::string> log_entries(const std::string &out)
{
    std::vector<std::string> entries;
    std::istringstream in(out);
    LogLine l;

    for (std::string line; std::getline(in, line);)
        entries.push_back(parse_log_line(line, &l) ? l.func + "(): " + l.msg
                                                   : "UNPREFIXED " + line);
    return entries;
}

#endif
