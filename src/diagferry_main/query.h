/*
 * query: the first stage. Lists the modem's log directory, selects the new
 * complete names, checks their sequence ids and queues them for the pull.
 * Owns the log name's shape (the sizes below, used by every stage) and the
 * pull queue with its mutex and condition, which the pull stage consumes.
 * Its thread is started by main; the shutdown runs its final listing.
 */
#ifndef DIAGFERRY_QUERY_H
#define DIAGFERRY_QUERY_H

#include <pthread.h>

#include "queue.h"

#define LOG_NAME_MAX 40
#define LOG_NAME_SIZE (LOG_NAME_MAX + 1)
#define LOG_NAME_PREFIX_LEN 9 /* "diag_log_" */
#define LOG_ID_POS 29
#define LOG_ID_MAX 99
#define LOG_LIST_MAX 20
#define PULL_QUEUE_SLOTS 5
/* The longest log name quoted for the shell, with its NUL. */
#define QUOTED_NAME_SIZE (LOG_NAME_MAX * 4 + 3)
/* A listed name made printable for the log, with its NUL. */
#define PRINTABLE_NAME_SIZE (LOG_NAME_MAX * 4 + 1)

extern queue_t l_need_pull_queue;
extern pthread_mutex_t l_pull_queue_mutex;
extern pthread_cond_t l_pull_queue_cond;

void *query_thread(void *arg);
/* One listing and its selection; FALSE when the listing could not be read
 * or parsed (nothing changed). */
int do_query(void);
void check_log_id(const char *name);
/* The longest the shutdown's final listing takes when healthy, in
 * seconds: its share of the shutdown's time budget. */
int final_query_budget_s(void);
/* Splits a listing into at most LOG_LIST_MAX names; the count, or -1 when
 * the listing is refused. */
int parse_log_list(const char *out, char names[][LOG_NAME_SIZE]);
/* True for a name an honest listing of "diag_log_*.qmdl*" can print. */
int is_log_name(const char *name);
/* name with control, non-ASCII and backslash bytes as "\xNN". */
void printable_name(const char *name, char out[PRINTABLE_NAME_SIZE]);

#endif
