/*
 * Small helpers shared by the unit tests: temporary files and directories,
 * and capturing what the code under test writes on standard output.
 */
#ifndef DIAGFERRY_TEST_SUPPORT_H
#define DIAGFERRY_TEST_SUPPORT_H

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>

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

/* Runs fn with file descriptor 1 (and so stdout and every child started by
 * fn) sent to a temporary file; returns what was written there. */
inline std::string capture_stdout(const std::function<void()> &fn)
{
    char tmpl[] = "/tmp/diagferry-out.XXXXXX";
    int fd = mkstemp(tmpl);
    int saved;

    if (fd < 0)
        return "<mkstemp failed>";
    fflush(stdout);
    saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text = read_file(tmpl);
    unlink(tmpl);
    return text;
}

#endif
