/*
 * wall_clock_shim: LD_PRELOAD=libwall_clock_shim.so steps the wall clock of
 * a process and of the programs it starts. time(), gettimeofday() and
 * clock_gettime(CLOCK_REALTIME[_COARSE]) read the real wall clock plus the
 * whole seconds written in the file $WALL_CLOCK_OFFSET_FILE (0 while it is
 * missing), read at every call; every other clock is left alone. The
 * kernel's own clock does not move, so an absolute deadline taken from the
 * shifted wall clock lies the offset away for the kernel: a wait on it
 * lasts an hour longer with +3600 (as a wait in progress does when a real
 * clock steps back an hour) and ends at once with -3600.
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
