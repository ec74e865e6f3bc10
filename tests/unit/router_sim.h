/*
 * Helpers for unit tests that drive the stand-ins of the router's libraries
 * and mobile manager: a private state directory (ROUTER_SIM_DIR), its files
 * and call log.
 */
#ifndef TESTS_ROUTER_SIM_H
#define TESTS_ROUTER_SIM_H

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

/* A fresh state directory, exported as ROUTER_SIM_DIR while it lives. */
class SimDir
{
  public:
    SimDir() : dir_(tmp_.path) { setenv("ROUTER_SIM_DIR", dir_.c_str(), 1); }
    ~SimDir() { unsetenv("ROUTER_SIM_DIR"); }
    const std::string &path() const { return dir_; }
    std::string file(const std::string &name) const { return dir_ + "/" + name; }
    /* Replaces a file whole (temporary file and rename), so that a stand-in
     * reading it meanwhile never sees it half written. */
    void write(const std::string &name, const std::string &text) const
    {
        std::string tmp = file(name) + ".test.tmp";
        ASSERT_TRUE(write_file(tmp, text));
        ASSERT_EQ(rename(tmp.c_str(), file(name).c_str()), 0);
    }
    std::string read(const std::string &name) const { return read_file(file(name)); }
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
    TempDir tmp_;
    std::string dir_;
};

#endif
