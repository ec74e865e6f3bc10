/*
 * Helpers for unit tests that drive the stand-ins of the router's libraries
 * and mobile manager: a private state directory (ROUTER_SIM_DIR), its files
 * and call log, and the log lines of captured standard output.
 */
#ifndef TESTS_ROUTER_SIM_H
#define TESTS_ROUTER_SIM_H

#include <gtest/gtest.h>

#include <fstream>
#include <ctype.h>
#include <stdio.h>
#include <sstream>
#include <stdlib.h>
#include <string>
#include <vector>

/* A fresh state directory, exported as ROUTER_SIM_DIR while it lives. */
class SimDir
{
  public:
    SimDir()
    {
        char tmpl[] = "/tmp/diagferry_sim.XXXXXX";
        dir_ = mkdtemp(tmpl);
        setenv("ROUTER_SIM_DIR", dir_.c_str(), 1);
    }
    ~SimDir()
    {
        unsetenv("ROUTER_SIM_DIR");
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (system(cmd.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << dir_;
    }
    const std::string &path() const { return dir_; }
    std::string file(const std::string &name) const { return dir_ + "/" + name; }
    /* Replaces a file whole (temporary file and rename), so that a stand-in
     * reading it meanwhile never sees it half written. */
    void write(const std::string &name, const std::string &text) const
    {
        std::string tmp = file(name) + ".test.tmp";
        std::ofstream(tmp, std::ios::binary) << text;
        ASSERT_EQ(rename(tmp.c_str(), file(name).c_str()), 0);
    }
    std::string read(const std::string &name) const
    {
        std::ifstream in(file(name), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    /* The call log, one entry per call. */
    std::vector<std::string> calls() const
    {
        std::vector<std::string> out;
        std::istringstream in(read("calls.log"));
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    /* Calls whose line starts with prefix. */
    int count_calls(const std::string &prefix) const
    {
        int n = 0;
        for (const auto &c : calls())
            n += c.compare(0, prefix.size(), prefix) == 0;
        return n;
    }

  private:
    std::string dir_;
};

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

#endif
