/*
 * stat: the transfer statistics. Owns the five counters (each stage counts
 * its own), the miss and dup journals under l_stat_mutex, stat.txt (written
 * by the shutdown) and the snapshot (written by the send stage).
 */
#ifndef DIAGFERRY_STAT_H
#define DIAGFERRY_STAT_H

#include <pthread.h>
#include <stddef.h>

#include <atomic>

#define STAT_FILE "stat.txt"
/* The statistics as they stood at a moment of the run, sent while the
 * daemon runs; never a log name (no "diag_log_"), never stat.txt. */
#define SNAPSHOT_FILE "stat.snapshot.txt"
#define SUMMARY_SIZE 100
#define JOURNAL_LINE_SIZE 256

typedef struct {
    char *str; /* NUL-terminated text on the heap */
    int size;  /* bytes in use including the NUL */
    int cap;   /* bytes allocated */
} stat_str;

extern stat_str l_miss_str;
extern stat_str l_dup_str;
extern pthread_mutex_t l_stat_mutex;
extern std::atomic<int> l_detect;
extern std::atomic<int> l_pull;
extern std::atomic<int> l_send;
extern std::atomic<int> l_miss;
extern std::atomic<int> l_dup;

void init_stat_str(stat_str *s);
void print_to_stat_str(stat_str *des, const char *text);
/* Writes stat.txt and frees the journals. On failure (a CHECK line) the
 * statistics go to the log line by line instead and the result is FALSE:
 * there is no file to send. */
int write_stat_file(void);
/* "detect:%d pull:%d send:%d miss:%d dup:%d" with the counters now. */
void format_stat_summary(char *buf, size_t size);
/* Writes the statistics as they stand into the snapshot file, its summary
 * also into summary; FALSE (logged) when it could not be written. */
int write_stat_snapshot(char *summary, size_t size);
/* Counts one lost file and journals it: "[time]\t<reason>\t<name>\n". */
void journal_miss(const char *reason, const char *name);

#endif
