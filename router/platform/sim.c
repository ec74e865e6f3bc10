/* sim: state files and call log of the stand-ins (see sim.h). */
#include "sim.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define SIM_LINE_SIZE 512

const char *sim_dir(void)
{
    const char *dir = getenv(SIM_DIR_ENV);

    return (dir && *dir) ? dir : NULL;
}

/* dir/name into path; 0 when there is no directory or the path is too long. */
static int sim_path(const char *name, char *path, size_t size)
{
    const char *dir = sim_dir();

    if (!dir)
        return 0;
    return snprintf(path, size, "%s/%s", dir, name) < (int)size;
}

int sim_read_text(const char *name, char *buf, size_t size)
{
    char path[PATH_MAX];
    size_t got = 0;
    ssize_t n;
    int fd;

    if (size == 0 || !sim_path(name, path, sizeof(path)))
        return 0;
    fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    while (got < size - 1) {
        n = read(fd, buf + got, size - 1 - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    close(fd);
    buf[got] = '\0';
    if (got > 0 && buf[got - 1] == '\n')
        buf[got - 1] = '\0';
    return 1;
}

int sim_read_int(const char *name, int def)
{
    char text[64], *end;
    long v;

    if (!sim_read_text(name, text, sizeof(text)))
        return def;
    errno = 0;
    v = strtol(text, &end, 0);
    if (end == text || errno != 0 || v < INT_MIN || v > INT_MAX)
        return def;
    return (int)v;
}

int sim_write_text(const char *name, const char *text)
{
    char path[PATH_MAX], tmp[PATH_MAX + 32];
    size_t len = strlen(text);
    int fd, ok;

    if (!sim_path(name, path, sizeof(path)))
        return 0;
    snprintf(tmp, sizeof(tmp), "%s.%ld.tmp", path, (long)getpid());
    fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    ok = write(fd, text, len) == (ssize_t)len;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp, path) == 0)
        return 1;
    unlink(tmp);
    return 0;
}

void sim_log(const char *fmt, ...)
{
    char path[PATH_MAX], line[SIM_LINE_SIZE];
    va_list ap;
    int len, fd;

    if (!sim_path(SIM_CALL_LOG, path, sizeof(path)))
        return;
    va_start(ap, fmt);
    len = vsnprintf(line, sizeof(line) - 1, fmt, ap);
    va_end(ap);
    if (len < 0)
        return;
    if (len > (int)sizeof(line) - 2)
        len = (int)sizeof(line) - 2;
    line[len++] = '\n';
    /* O_APPEND and one write: lines of concurrent callers never mix. */
    fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, line, (size_t)len) < 0) {
        /* A lost log line only makes a test fail; nothing to do here. */
    }
    close(fd);
}
