/*
 * Transfer statistics: five counters, the miss and dup journals, and
 * stat.txt, written at the end of every run: with the LAN sound the
 * shutdown then sends it to the PC like any log file, with the LAN broken
 * it stays in the working directory for the engineer; when it cannot be
 * written, its lines go to the log instead. While the daemon runs, the
 * send stage writes the same text now and then as a snapshot
 * (stat.snapshot.txt) for the PC.
 *
 * The counters are atomic: each stage counts, and the status line and the
 * snapshot read them from other threads while the run goes on.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/stat.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "utils.h"
#include "diagferry_main/config.h"

#define STAT_STR_INIT_CAP 1024

stat_str l_miss_str; /* miss journal: one line per lost file or sequence gap */
stat_str l_dup_str;  /* dup journal: one line per repeated log id */
pthread_mutex_t l_stat_mutex = PTHREAD_MUTEX_INITIALIZER; /* guards both journals */

std::atomic<int> l_detect(0); /* new names taken by the query stage (query thread) */
std::atomic<int> l_pull(0);   /* files copied to the router (pull thread) */
std::atomic<int> l_send(0);   /* files uploaded to the PC (send thread) */
std::atomic<int> l_miss(0);   /* files lost, from the query, pull and send threads */
std::atomic<int> l_dup(0);    /* names repeating the last accepted id (query thread) */

static const char miss_label[] = "\n[miss]\n";
static const char dup_label[] = "\n[dup]\n";
static const size_t miss_label_len = sizeof(miss_label) - 1;
static const size_t dup_label_len = sizeof(dup_label) - 1;

void init_stat_str(stat_str *s)
{
    ASSERT((s->str = (char *)malloc(STAT_STR_INIT_CAP)) != NULL, "malloc error, errno %d", errno);
    s->cap = STAT_STR_INIT_CAP;
    s->size = 1;
    s->str[0] = '\0';
}

/* Appends text to a journal; the caller holds l_stat_mutex. */
static void append_locked(stat_str *des, const char *text)
{
    size_t len = strlen(text);

    if (des->cap < des->size + (int)len) {
        while (des->cap < des->size + (int)len)
            des->cap *= 2;
        ASSERT_TEXT("(des->str = realloc(des->str, des->cap)) != NULL",
                    (des->str = (char *)realloc(des->str, des->cap)) != NULL,
                    "realloc error, errno %d", errno);
    }
    memcpy(des->str + des->size - 1, text, len + 1);
    des->size += (int)len;
}

void print_to_stat_str(stat_str *des, const char *text)
{
    pthread_mutex_lock(&l_stat_mutex);
    append_locked(des, text);
    pthread_mutex_unlock(&l_stat_mutex);
}

void journal_miss(const char *reason, const char *name)
{
    char line[JOURNAL_LINE_SIZE];
    char stamp[TIMESTAMP_SIZE];

    snprintf(line, sizeof(line), "[%s]\t%s\t%s\n", getstimeval(stamp), reason, name);
    /* Line and count together, so that a snapshot taken meanwhile never
     * holds the one without the other. */
    pthread_mutex_lock(&l_stat_mutex);
    append_locked(&l_miss_str, line);
    l_miss++;
    pthread_mutex_unlock(&l_stat_mutex);
}

void format_stat_summary(char *buf, size_t size)
{
    snprintf(buf, size, "detect:%d pull:%d send:%d miss:%d dup:%d", l_detect.load(),
             l_pull.load(), l_send.load(), l_miss.load(), l_dup.load());
}

/* Writes the five pieces of the statistics file to fd, without freeing
 * the journals; the caller holds l_stat_mutex. FALSE when a write fell
 * short, *failed then the condition text of that piece for the log. */
static int write_stat_pieces_locked(int fd, const char *summary, const char **failed)
{
    size_t miss_len = (size_t)l_miss_str.size - 1, dup_len = (size_t)l_dup_str.size - 1;
    const struct {
        const char *cond, *text;
        size_t len;
    } pieces[] = {
        {"write(fd, buff, strlen(buff)) == strlen(buff)", summary, strlen(summary)},
        {"write(fd, miss_label, miss_label_len) == miss_label_len", miss_label, miss_label_len},
        {"write(fd, l_miss_str.str, l_miss_str.size - 1) == l_miss_str.size - 1", l_miss_str.str,
         miss_len},
        {"write(fd, dup_label, dup_label_len) == dup_label_len", dup_label, dup_label_len},
        {"write(fd, l_dup_str.str, l_dup_str.size - 1) == l_dup_str.size - 1", l_dup_str.str,
         dup_len},
    };
    for (const auto &p : pieces) {
        if (write(fd, p.text, p.len) != (ssize_t)p.len) {
            *failed = p.cond;
            return FALSE;
        }
    }
    return TRUE;
}

/* Logs the statistics line by line, exactly as stat.txt would hold them
 * (summary, "[miss]", the miss journal, an empty line, "[dup]", the dup
 * journal): when the file cannot be written, the log is their only copy.
 * Runs at the end, when nothing appends any more. */
static void log_stat_file(const char *summary)
{
    const struct {
        const char *label;
        const char *text;
    } parts[] = {{"[miss]", l_miss_str.str}, {"[dup]", l_dup_str.str}};

    LOG("%s", summary);
    for (size_t i = 0; i < sizeof(parts) / sizeof(parts[0]); i++) {
        if (i > 0)
            LOG("%s", "");
        LOG("%s", parts[i].label);
        const char *line = parts[i].text, *end;
        for (; (end = strchr(line, '\n')) != NULL; line = end + 1)
            LOG("%.*s", (int)(end - line), line);
        if (*line) /* a line without its newline, which no journal writes */
            LOG("%s", line);
    }
}

int write_stat_file(void)
{
    char path[PATH_BUF_SIZE + sizeof(STAT_FILE)];
    char buff[SUMMARY_SIZE];
    const char *failed = NULL;
    int fd, written = FALSE;

    /* Room for the longest working directory: a shorter buffer would cut
     * the path and write the statistics somewhere else. */
    snprintf(path, sizeof(path), "%s%s", l_workdir, STAT_FILE);
    fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    CHECK(fd >= 0, "cannot create statistic file. errno:%d", errno);
    format_stat_summary(buff, sizeof(buff));
    LOG("%s", buff);
    if (fd >= 0) {
        pthread_mutex_lock(&l_stat_mutex);
        written = write_stat_pieces_locked(fd, buff, &failed);
        pthread_mutex_unlock(&l_stat_mutex);
        CHECK_TEXT(failed, written, "write err");
        close(fd);
    }
    /* A full or missing working directory must not lose the run's
     * accounting, nor end the shutdown: the statistics go to the log, and
     * a file cut short is removed so that nobody takes it for whole. */
    if (!written) {
        if (fd >= 0)
            unlink(path);
        log_stat_file(buff);
    }
    free(l_miss_str.str);
    free(l_dup_str.str);
    l_miss_str.str = NULL;
    l_dup_str.str = NULL;
    return written;
}

int write_stat_snapshot(char *summary, size_t size)
{
    char path[PATH_BUF_SIZE + sizeof(SNAPSHOT_FILE)];
    const char *failed;
    int fd, written;

    snprintf(path, sizeof(path), "%s%s", l_workdir, SNAPSHOT_FILE);
    fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        LOG("cannot create %s, errno:%d", path, errno);
        return FALSE;
    }
    /* The journals still grow: counters and journals are read under one
     * hold of the lock, as one moment of the run. */
    pthread_mutex_lock(&l_stat_mutex);
    format_stat_summary(summary, size);
    written = write_stat_pieces_locked(fd, summary, &failed);
    pthread_mutex_unlock(&l_stat_mutex);
    int err = errno;
    close(fd);
    if (!written) {
        LOG("cannot write %s, errno:%d", path, err);
        unlink(path);
    }
    return written;
}
