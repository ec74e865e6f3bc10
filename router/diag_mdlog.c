/*
 * diag_mdlog: simulator of the modem's diag logging tool.
 *
 *   diag_mdlog -f CFG -o DIR -s SIZE_MB -n COUNT [-z LEVEL]   log until stopped
 *   diag_mdlog -k                                             stop the running one
 *
 * Logging: refuses to start (status 1) when CFG does not exist, when DIR is
 * not a directory or when an instance already runs. Writes its pid to
 * /run/diag_mdlog_pid, then writes rolling log files into DIR:
 *
 *   diag_log_YYYYMMDD_HHMMSS_mmm_NN.qmdl[.gz]
 *
 * 9 characters of prefix, 20 characters of time stamp (UTC, milliseconds,
 * strictly increasing so that the names sort in creation order), the
 * two-digit id NN at positions 29-30 (00 to 99, wrapping), then ".qmdl", and
 * ".gz" when LEVEL is given and not 0 (the content is not compressed). Each
 * file is written under a hidden temporary name and renamed into place, so a
 * visible file is always complete. Beyond COUNT files the oldest is deleted
 * (COUNT < 1: none is). SIZE_MB may be fractional (1 MB = 1048576 bytes).
 * Content: the name and a newline, then pseudo-random bytes seeded by the
 * name. Every file written is recorded as "NAME SHA256" in
 * $EMU_LOG_DIR/manifest; events go to $EMU_LOG_DIR/diag_mdlog.log.
 *
 * Stopping: SIGTERM or SIGINT ends the tool (SIGHUP is ignored). It unblocks
 * those signals itself, whatever mask it was started with. "-k" sends
 * SIGTERM to the pid in the pid file, waits up to 5 s until that process
 * has gone, removes the pid file and exits 0; it exits 1 when no instance
 * runs or it did not stop.
 *
 * Test controls, files in $EMU_CTL_DIR read at every file written (see
 * router/README.md): mdlog_interval_ms, mdlog_size_bytes, mdlog_skip,
 * mdlog_repeat, mdlog_burst, mdlog_first_id, mdlog_max_files, mdlog_pause,
 * mdlog_nostart, mdlog_kill_fail, mdlog_linger_s, name_next.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "sha256.h"

#define PID_FILE "/run/diag_mdlog_pid"
#define APP_NAME "diag_mdlog"
#define NAME_MAX_LEN 40           /* longest log name the daemon handles */
#define NAME_PATTERN "diag_log_*.qmdl*"
#define ID_COUNT 100              /* ids 00..99 */
#define TMP_PREFIX ".diag_mdlog.tmp."
#define CHUNK 65536
#define KILL_WAIT_MS 5000
#define DEFAULT_INTERVAL_MS 1000
#define MAX_BURST 200

/* Settings from the command line, fixed after start. */
static char l_dir[4096];          /* output directory, no trailing '/' */
static long l_size;               /* file size in bytes from -s */
static int l_count;               /* files kept, < 1 for all */
static int l_zip;                 /* -z level, 0 for none */
/* Control and log directories, from the environment. */
static const char *l_ctl_dir;
static const char *l_log_dir;

/* Naming state, touched by the writing loop only. */
static int l_next_id;             /* id of the next file */
static int l_last_id = -1;        /* id of the last file, -1 before the first */
static int l_repeat;              /* files still to write with l_last_id */
static long long l_last_ms;       /* time stamp of the last name, ms */
static long l_written;            /* files written by this instance */

/* Names currently kept in the directory, oldest first (a ring). */
static char (*l_kept)[NAME_MAX_LEN + 1];
static int l_kept_first, l_kept_n;

/* Set by the signal handler: 0 running, else the stop signal. */
static volatile sig_atomic_t l_stop;

static uint8_t l_chunk[CHUNK];

static void say(const char *fmt, ...)
{
    char path[4096];
    va_list ap;
    FILE *f;

    snprintf(path, sizeof(path), "%s/diag_mdlog.log", l_log_dir);
    f = fopen(path, "a");
    if (!f)
        return;
    fprintf(f, "[%ld] pid %d: ", (long)time(NULL), (int)getpid());
    va_start(ap, fmt);
    vfprintf(f, fmt, ap);
    va_end(ap);
    fputc('\n', f);
    fclose(f);
}

/* DIR/NAME into OUT; 0 when it does not fit. Not inlined: the size check
 * is done here, at run time. */
__attribute__((noinline)) static int join(char *out, size_t size, const char *dir,
                                          const char *name)
{
    int n = snprintf(out, size, "%s/%s", dir, name);

    return n >= 0 && (size_t)n < size;
}

static void ctl_path(char *out, size_t size, const char *name)
{
    snprintf(out, size, "%s/%s", l_ctl_dir, name);
}

static int ctl_exists(const char *name)
{
    char path[4096];

    ctl_path(path, sizeof(path), name);
    return access(path, F_OK) == 0;
}

/* Reads a control file's text; 0 when it does not exist. */
static int ctl_text(const char *name, char *out, size_t size)
{
    char path[4096];
    size_t n;
    FILE *f;

    ctl_path(path, sizeof(path), name);
    f = fopen(path, "r");
    if (!f)
        return 0;
    n = fread(out, 1, size - 1, f);
    out[n] = '\0';
    fclose(f);
    return 1;
}

static long ctl_long(const char *name, long def)
{
    char text[64];

    if (!ctl_text(name, text, sizeof(text)))
        return def;
    return strtol(text, NULL, 10);
}

/* Reads a one-shot control file and removes it; 0 when absent. */
static long ctl_take(const char *name)
{
    char path[4096];
    long value = ctl_long(name, 0);

    ctl_path(path, sizeof(path), name);
    unlink(path);
    return value;
}

/* Takes the first line of name_next, if any, and keeps the rest. */
static int take_literal_name(char *out, size_t size)
{
    char path[4096], text[8192], *nl;
    FILE *f;

    if (!ctl_text("name_next", text, sizeof(text)))
        return 0;
    ctl_path(path, sizeof(path), "name_next");
    nl = strchr(text, '\n');
    if (nl)
        *nl++ = '\0';
    if (!nl || *nl == '\0') {
        unlink(path);
    } else {
        f = fopen(path, "w");
        if (f) {
            fputs(nl, f);
            fclose(f);
        }
    }
    if (text[0] == '\0')
        return 0;
    if (strlen(text) > NAME_MAX_LEN || strchr(text, '/') ||
        fnmatch(NAME_PATTERN, text, 0) != 0) {
        say("rejected name_next [%s]: must match %s and be at most %d characters", text,
            NAME_PATTERN, NAME_MAX_LEN);
        return 0;
    }
    snprintf(out, size, "%s", text);
    return 1;
}

static long long now_ms(void)
{
    struct timeval tv;

    gettimeofday(&tv, NULL);
    return (long long)tv.tv_sec * 1000 + tv.tv_usec / 1000;
}

/* Picks the id of the next file, applying the skip and repeat controls. */
static int next_id(void)
{
    long skip = ctl_take("mdlog_skip");
    int id;

    l_repeat += (int)ctl_take("mdlog_repeat");
    if (l_repeat > 0 && l_last_id >= 0) {
        l_repeat--;
        return l_last_id;
    }
    if (skip > 0)
        l_next_id = (int)((l_next_id + skip) % ID_COUNT);
    id = l_next_id;
    l_next_id = (id + 1) % ID_COUNT;
    return id;
}

/* Builds the next name: a literal one from name_next, else the regular one. */
static void make_name(char *out, size_t size)
{
    long long ms = now_ms();
    struct tm tm;
    time_t sec;
    int id = next_id();

    l_last_id = id;
    if (take_literal_name(out, size))
        return;
    /* Strictly increasing, so that names sort in creation order. */
    if (ms <= l_last_ms)
        ms = l_last_ms + 1;
    l_last_ms = ms;
    sec = (time_t)(ms / 1000);
    gmtime_r(&sec, &tm);
    if (snprintf(out, size, "diag_log_%04d%02d%02d_%02d%02d%02d_%03d_%02d.qmdl%s",
                 tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                 (int)(ms % 1000), id, l_zip ? ".gz" : "") >= (int)size)
        say("name truncated: %s", out);
}

/* Writes one file's content to PATH; fills HEX with its SHA-256. */
static int write_content(const char *path, const char *name, long size, char hex[65])
{
    uint64_t x = 1469598103934665603ULL; /* FNV-1a of the name seeds the bytes */
    struct sha256 sha;
    long done = 0;
    int fd;

    for (const char *p = name; *p; p++)
        x = (x ^ (uint8_t)*p) * 1099511628211ULL;
    fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    sha256_init(&sha);
    while (done < size) {
        size_t n = size - done > CHUNK ? CHUNK : (size_t)(size - done);
        size_t i = 0;

        if (done == 0) {
            size_t hl = strlen(name);

            for (; i < hl && i < n; i++)
                l_chunk[i] = (uint8_t)name[i];
            if (i < n)
                l_chunk[i++] = '\n';
        }
        for (; i < n; i++) {
            x ^= x >> 12;
            x ^= x << 25;
            x ^= x >> 27;
            l_chunk[i] = (uint8_t)((x * 2685821657736338717ULL) >> 56);
        }
        if (write(fd, l_chunk, n) != (ssize_t)n) {
            close(fd);
            unlink(path);
            return -1;
        }
        sha256_update(&sha, l_chunk, n);
        done += (long)n;
    }
    close(fd);
    sha256_hex(&sha, hex);
    return 0;
}

static void record(const char *name, const char *hex)
{
    char path[4096], line[256];
    int fd, len;

    snprintf(path, sizeof(path), "%s/manifest", l_log_dir);
    fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    len = snprintf(line, sizeof(line), "%s %s\n", name, hex);
    if (write(fd, line, len) != len)
        say("manifest write failed: errno %d", errno);
    close(fd);
}

/* Remembers a published name and deletes the oldest beyond COUNT. */
static void keep_and_roll(const char *name)
{
    char path[8192];

    if (l_count < 1)
        return;
    if (l_kept_n == l_count) {
        join(path, sizeof(path), l_dir, l_kept[l_kept_first]);
        if (unlink(path) == 0)
            say("deleted %s", l_kept[l_kept_first]);
        else
            say("delete %s failed: errno %d", l_kept[l_kept_first], errno);
        l_kept_first = (l_kept_first + 1) % l_count;
        l_kept_n--;
    }
    snprintf(l_kept[(l_kept_first + l_kept_n) % l_count], NAME_MAX_LEN + 1, "%s", name);
    l_kept_n++;
}

/* Path of the hidden sibling directory used for bursts. */
static void sibling(char *out, size_t size, const char *what)
{
    const char *slash = strrchr(l_dir, '/');
    int plen = slash ? (int)(slash - l_dir) + 1 : 0;

    snprintf(out, size, "%.*s.diag_mdlog.%s", plen, l_dir, what);
}

static void remove_tree(const char *dir)
{
    char path[8192];
    struct dirent *e;
    DIR *d = opendir(dir);

    if (!d)
        return;
    while ((e = readdir(d)) != NULL) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        join(path, sizeof(path), dir, e->d_name);
        unlink(path);
    }
    closedir(d);
    rmdir(dir);
}

/*
 * Publishes a burst: the new files are written into a staging directory
 * that also gets hard links of everything already in DIR, and the two
 * directories are swapped in one step (RENAME_EXCHANGE), so that a listing
 * sees either none or all of the burst. The old directory is removed at the
 * next burst, not at once: a listing that entered it just before the swap
 * must still see a consistent set. Falls back to renames one by one.
 */
static void write_burst(int n)
{
    char stage[4096], old[4096], path[8192], target[8192], hex[65];
    char names[MAX_BURST][NAME_MAX_LEN + 1];
    long size = ctl_long("mdlog_size_bytes", l_size);
    struct dirent *e;
    struct stat st;
    int i, swapped = 0;
    DIR *d;

    sibling(stage, sizeof(stage), "burst");
    sibling(old, sizeof(old), "old");
    remove_tree(old);
    remove_tree(stage);
    if (stat(l_dir, &st) != 0 || mkdir(stage, st.st_mode & 07777) != 0) {
        say("burst: cannot prepare %s: errno %d", stage, errno);
        return;
    }
    chmod(stage, st.st_mode & 07777);
    for (i = 0; i < n; i++) {
        make_name(names[i], sizeof(names[i]));
        join(path, sizeof(path), stage, names[i]);
        if (write_content(path, names[i], size, hex) != 0) {
            say("burst: write %s failed: errno %d", names[i], errno);
            n = i;
            break;
        }
        record(names[i], hex);
    }
    d = opendir(l_dir);
    while (d && (e = readdir(d)) != NULL) {
        if (e->d_name[0] == '.')
            continue;
        join(path, sizeof(path), l_dir, e->d_name);
        join(target, sizeof(target), stage, e->d_name);
        if (link(path, target) != 0)
            say("burst: link %s failed: errno %d", e->d_name, errno);
    }
    if (d)
        closedir(d);
    if (renameat2(AT_FDCWD, stage, AT_FDCWD, l_dir, RENAME_EXCHANGE) == 0) {
        swapped = 1;
        rename(stage, old);
    } else {
        say("burst: exchange failed (errno %d), renaming one by one", errno);
        for (i = 0; i < n; i++) {
            join(path, sizeof(path), stage, names[i]);
            join(target, sizeof(target), l_dir, names[i]);
            rename(path, target);
        }
        remove_tree(stage);
    }
    for (i = 0; i < n; i++) {
        say("wrote %s (%ld bytes, burst of %d%s)", names[i], size, n, swapped ? "" : ", renamed");
        keep_and_roll(names[i]);
        l_written++;
    }
}

static void write_one(void)
{
    char name[NAME_MAX_LEN + 1], tmp[8192], path[8192], hex[65];
    long size = ctl_long("mdlog_size_bytes", l_size);

    make_name(name, sizeof(name));
    snprintf(tmp, sizeof(tmp), "%s/" TMP_PREFIX "%d", l_dir, (int)getpid());
    join(path, sizeof(path), l_dir, name);
    if (write_content(tmp, name, size, hex) != 0 || rename(tmp, path) != 0) {
        say("write %s failed: errno %d", name, errno);
        unlink(tmp);
        return;
    }
    record(name, hex);
    say("wrote %s (%ld bytes)", name, size);
    keep_and_roll(name);
    l_written++;
}

static void sleep_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};

    /* A stop signal cuts the sleep short. */
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR && !l_stop) {
    }
}

static void on_stop(int sig)
{
    l_stop = sig;
}

/* Linger control: seconds to survive a stop signal, -1 for ever, 0 none. */
static long linger_seconds(void)
{
    char text[64];

    if (!ctl_text("mdlog_linger_s", text, sizeof(text)))
        return 0;
    if (strncmp(text, "forever", 7) == 0)
        return -1;
    return strtol(text, NULL, 10);
}

/* 1 when PID is a live (not zombie) process named diag_mdlog. */
static int is_instance(pid_t pid)
{
    char path[64], buf[512], *paren;
    ssize_t n;
    int fd;

    snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
    fd = open(path, O_RDONLY);
    if (fd < 0)
        return 0;
    n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0)
        return 0;
    buf[n] = '\0';
    paren = strrchr(buf, ')');
    if (!paren || paren[1] == '\0' || paren[2] == 'Z')
        return 0;
    return strncmp(strchr(buf, '(') + 1, APP_NAME ")", strlen(APP_NAME) + 1) == 0;
}

static pid_t read_pid_file(void)
{
    char text[32] = "";
    ssize_t n;
    int fd = open(PID_FILE, O_RDONLY);

    if (fd < 0)
        return -1;
    n = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (n <= 0)
        return -1;
    text[n] = '\0';
    return (pid_t)atoi(text);
}

static int do_kill(void)
{
    pid_t pid;
    int waited;

    if (ctl_exists("mdlog_kill_fail")) {
        say("-k: failing on purpose (mdlog_kill_fail)");
        fprintf(stderr, APP_NAME ": stop failed\n");
        return 1;
    }
    pid = read_pid_file();
    if (pid <= 0 || !is_instance(pid)) {
        say("-k: no running instance (pid file %s)", pid > 0 ? "stale" : "missing");
        fprintf(stderr, APP_NAME ": not running\n");
        return 1;
    }
    if (kill(pid, SIGTERM) != 0) {
        fprintf(stderr, APP_NAME ": cannot signal %d: %s\n", (int)pid, strerror(errno));
        return 1;
    }
    say("-k: sent SIGTERM to %d", (int)pid);
    if (linger_seconds() != 0)
        return 0; /* the instance will linger: report success at once */
    for (waited = 0; waited < KILL_WAIT_MS && is_instance(pid); waited += 20)
        sleep_ms(20);
    if (is_instance(pid)) {
        say("-k: %d still running after %d ms", (int)pid, KILL_WAIT_MS);
        fprintf(stderr, APP_NAME ": %d did not stop\n", (int)pid);
        return 1;
    }
    unlink(PID_FILE);
    say("-k: %d stopped", (int)pid);
    return 0;
}

static int write_pid_file(void)
{
    char text[32];
    int fd = open(PID_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int len = snprintf(text, sizeof(text), "%d\n", (int)getpid());

    if (fd < 0)
        return -1;
    if (write(fd, text, len) != len) {
        close(fd);
        return -1;
    }
    return close(fd);
}

/* The logging loop; returns when stopped. */
static void run(void)
{
    long linger = 0;
    long long stop_at = 0; /* ms time of the stop signal, 0 before it */

    for (;;) {
        long interval;
        int burst;

        if (l_stop && stop_at == 0) {
            linger = linger_seconds();
            if (linger == 0)
                return;
            say("stop signal %d: lingering %ld s", (int)l_stop, linger);
            stop_at = now_ms();
        }
        if (stop_at && linger > 0 && now_ms() - stop_at >= linger * 1000)
            return;
        interval = ctl_long("mdlog_interval_ms", DEFAULT_INTERVAL_MS);
        if (!ctl_exists("mdlog_pause") && l_written < ctl_long("mdlog_max_files", LONG_MAX)) {
            burst = (int)ctl_take("mdlog_burst");
            if (burst > MAX_BURST)
                burst = MAX_BURST;
            if (burst > 1)
                write_burst(burst);
            else
                write_one();
        }
        if (interval < 1)
            interval = 1;
        if (stop_at && linger > 0 && stop_at + linger * 1000 - now_ms() < interval)
            interval = (long)(stop_at + linger * 1000 - now_ms());
        sleep_ms(interval > 0 ? interval : 1);
    }
}

static void clean_up(void)
{
    char path[8192];

    snprintf(path, sizeof(path), "%s/" TMP_PREFIX "%d", l_dir, (int)getpid());
    unlink(path);
    sibling(path, sizeof(path), "old");
    remove_tree(path);
    sibling(path, sizeof(path), "burst");
    remove_tree(path);
    if (read_pid_file() == getpid())
        unlink(PID_FILE);
}

static int usage(void)
{
    fprintf(stderr, "usage: " APP_NAME " -f CFG -o DIR -s SIZE_MB -n COUNT [-z LEVEL]\n"
                    "       " APP_NAME " -k\n");
    return 2;
}

int main(int argc, char **argv)
{
    const char *cfg = NULL, *dir = NULL;
    double size_mb = 1.0;
    struct sigaction sa;
    struct stat st;
    sigset_t stops;
    int opt, kill_mode = 0;
    pid_t other;

    l_ctl_dir = getenv("EMU_CTL_DIR") ? getenv("EMU_CTL_DIR") : "/emu/ctl";
    l_log_dir = getenv("EMU_LOG_DIR") ? getenv("EMU_LOG_DIR") : "/emu/log";
    l_count = 3;
    while ((opt = getopt(argc, argv, "kf:o:s:n:z:")) != -1) {
        switch (opt) {
        case 'k': kill_mode = 1; break;
        case 'f': cfg = optarg; break;
        case 'o': dir = optarg; break;
        case 's': size_mb = atof(optarg); break;
        case 'n': l_count = atoi(optarg); break;
        case 'z': l_zip = atoi(optarg); break;
        default: return usage();
        }
    }
    if (kill_mode)
        return do_kill();
    if (!cfg || !dir)
        return usage();
    if (ctl_exists("mdlog_nostart")) {
        say("not starting on purpose (mdlog_nostart)");
        return 1;
    }
    if (stat(cfg, &st) != 0) {
        fprintf(stderr, APP_NAME ": cannot open config %s: %s\n", cfg, strerror(errno));
        say("refused: config %s missing", cfg);
        return 1;
    }
    snprintf(l_dir, sizeof(l_dir), "%s", dir);
    while (strlen(l_dir) > 1 && l_dir[strlen(l_dir) - 1] == '/')
        l_dir[strlen(l_dir) - 1] = '\0';
    if (stat(l_dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, APP_NAME ": no output directory %s\n", dir);
        say("refused: output directory %s missing", dir);
        return 1;
    }
    other = read_pid_file();
    if (other > 0 && other != getpid() && is_instance(other)) {
        fprintf(stderr, APP_NAME ": already running as %d\n", (int)other);
        say("refused: already running as %d", (int)other);
        return 1;
    }
    l_size = (long)(size_mb * 1048576.0 + 0.5);
    if (l_size < 1)
        l_size = 1;
    if (l_count > 0)
        l_kept = calloc((size_t)l_count, sizeof(*l_kept));
    if (l_count > 0 && !l_kept)
        return 1;
    l_next_id = (int)(ctl_long("mdlog_first_id", 0) % ID_COUNT);

    /* Stoppable whatever mask and dispositions we inherited. */
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    signal(SIGHUP, SIG_IGN);
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_UNBLOCK, &stops, NULL);

    if (write_pid_file() != 0) {
        fprintf(stderr, APP_NAME ": cannot write " PID_FILE ": %s\n", strerror(errno));
        return 1;
    }
    say("started: -f %s -o %s -s %f (%ld bytes) -n %d -z %d", cfg, dir, size_mb, l_size, l_count,
        l_zip);
    run();
    clean_up();
    say("stopped by signal %d after %ld files", (int)l_stop, l_written);
    return 0;
}
