/*
 * Transfer statistics: five counters, the miss and dup journals, and
 * stat.txt, written at the end of a run with the LAN sound and then sent to
 * the PC like any log file.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define STAT_STR_INIT_CAP 1024
#define SUMMARY_SIZE 100

stat_str l_miss_str; /* miss journal: one line per lost file or sequence gap */
stat_str l_dup_str;  /* dup journal: one line per repeated log id */
pthread_mutex_t l_stat_mutex = PTHREAD_MUTEX_INITIALIZER; /* guards both journals */

int l_detect;              /* new names taken by the query stage (query thread) */
int l_pull;                /* files copied to the router (pull thread) */
int l_send;                /* files uploaded to the PC (send thread) */
std::atomic<int> l_miss(0); /* files lost, from the query, pull and send threads */
int l_dup;                 /* names repeating the last accepted id (query thread) */

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

void print_to_stat_str(stat_str *des, const char *text)
{
    size_t len = strlen(text);

    pthread_mutex_lock(&l_stat_mutex);
    if (des->cap < des->size + (int)len) {
        while (des->cap < des->size + (int)len)
            des->cap *= 2;
        ASSERT_TEXT("(des->str = realloc(des->str, des->cap)) != NULL",
                    (des->str = (char *)realloc(des->str, des->cap)) != NULL,
                    "realloc error, errno %d", errno);
    }
    memcpy(des->str + des->size - 1, text, len + 1);
    des->size += (int)len;
    pthread_mutex_unlock(&l_stat_mutex);
}

void journal_miss(const char *reason, const char *name)
{
    char line[JOURNAL_LINE_SIZE];
    char stamp[TIMESTAMP_SIZE];

    l_miss++;
    snprintf(line, sizeof(line), "[%s]\t%s\t%s\n", getstimeval(stamp), reason, name);
    print_to_stat_str(&l_miss_str, line);
}

void write_stat_file(void)
{
    char path[PATH_BUF_SIZE + sizeof(STAT_FILE)];
    char buff[SUMMARY_SIZE];
    size_t miss_len = (size_t)l_miss_str.size - 1, dup_len = (size_t)l_dup_str.size - 1;
    int fd;

    /* Room for the longest working directory: a shorter buffer would cut
     * the path and write the statistics somewhere else. */
    snprintf(path, sizeof(path), "%s%s", l_workdir, STAT_FILE);
    fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    ASSERT(fd >= 0, "cannot create statistic file. errno:%d", errno);
    snprintf(buff, sizeof(buff), "detect:%d pull:%d send:%d miss:%d dup:%d", l_detect, l_pull,
             l_send, l_miss.load(), l_dup);
    LOG("%s", buff);
    ASSERT_TEXT("write(fd, buff, strlen(buff)) == strlen(buff)",
                write(fd, buff, strlen(buff)) == (ssize_t)strlen(buff), "write err");
    ASSERT_TEXT("write(fd, miss_label, miss_label_len) == miss_label_len",
                write(fd, miss_label, miss_label_len) == (ssize_t)miss_label_len, "write err");
    ASSERT_TEXT("write(fd, l_miss_str.str, l_miss_str.size - 1) == l_miss_str.size - 1",
                write(fd, l_miss_str.str, miss_len) == (ssize_t)miss_len, "write err");
    ASSERT_TEXT("write(fd, dup_label, dup_label_len) == dup_label_len",
                write(fd, dup_label, dup_label_len) == (ssize_t)dup_label_len, "write err");
    ASSERT_TEXT("write(fd, l_dup_str.str, l_dup_str.size - 1) == l_dup_str.size - 1",
                write(fd, l_dup_str.str, dup_len) == (ssize_t)dup_len, "write err");
    close(fd);
    free(l_miss_str.str);
    free(l_dup_str.str);
    l_miss_str.str = NULL;
    l_dup_str.str = NULL;
}
