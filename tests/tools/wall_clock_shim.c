/*
 * wall_clock_shim (LD_PRELOAD): time(), gettimeofday() and the realtime
 * clock_gettime() of a process and of what it starts read the real wall
 * clock plus the seconds in $WALL_CLOCK_OFFSET_FILE (0 while it is missing),
 * read at every call; other clocks and the kernel's own stay. So an
 * absolute deadline on the shifted wall clock lies the offset away for the
 * kernel: with +3600 a wait lasts an hour longer (as one in progress does
 * when a real clock steps back an hour), with -3600 it ends at once.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static long offset_s(void)
{
    const char *path = getenv("WALL_CLOCK_OFFSET_FILE");
    char buf[32];
    ssize_t n = -1;
    int fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;

    if (fd >= 0) {
        n = read(fd, buf, sizeof(buf) - 1);
        close(fd);
    }
    if (n <= 0)
        return 0;
    buf[n] = '\0';
    return strtol(buf, NULL, 10);
}

int clock_gettime(clockid_t id, struct timespec *ts)
{
    int ret = (int)syscall(SYS_clock_gettime, id, ts);

    if (ret == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE))
        ts->tv_sec += offset_s();
    return ret;
}

int gettimeofday(struct timeval *restrict tv, void *restrict tz)
{
    struct timespec ts;

    (void)tz;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0)
        return -1;
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}

time_t time(time_t *t)
{
    struct timespec ts;

    clock_gettime(CLOCK_REALTIME, &ts);
    if (t)
        *t = ts.tv_sec;
    return ts.tv_sec;
}
