/*
 * Query stage: lists the modem's log directory once a second, takes the
 * names that are new and complete, checks their sequence ids and queues them
 * for the pull stage.
 *
 * A file is complete once a newer one exists, so the newest listed name is
 * held back while the diag tool runs; the final listing of the shutdown,
 * made after the tool has been stopped, takes it too.
 *
 * After each listing the thread tells the modem's lifecycle (watch_modem,
 * modem.cpp) whether it held a log name; that decides on a modem reset and
 * restarts the tool on this thread. A restarted tool writes into a fresh
 * directory and counts from id 00, so the selection and the sequence check
 * then start afresh.
 *
 * Lock discipline: the thread holds l_mutex only around its one-second
 * wait on l_query_cond (signalled by the shutdown) and watch_modem's
 * pauses; it pushes onto l_need_pull_queue under l_pull_queue_mutex and
 * never waits for room.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/query.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "commands.h"
#include "queue.h"
#include "utils.h"
#include "diagferry_main/config.h"
#include "diagferry_main/modem.h"
#include "diagferry_main/shutdown.h"
#include "diagferry_main/stat.h"
#include "diagferry_main/status.h"

#define LOG_ID_RANGE (LOG_ID_MAX + 1)
#define FINAL_QUERY_TRIES 3
#define FINAL_QUERY_PAUSE_S 1
#define LOG_NAME_PREFIX "diag_log_"
#define LOG_NAME_MARK ".qmdl"  /* every name the listing's glob matches holds it */

queue_t l_need_pull_queue;                                    /* query -> pull, 5 names */
pthread_mutex_t l_pull_queue_mutex = PTHREAD_MUTEX_INITIALIZER; /* compound use of that queue */
pthread_cond_t l_pull_queue_cond = PTHREAD_COND_INITIALIZER;  /* a name was pushed */

/* The stage's own state, touched by the query thread only. */
static char l_query_cmd[CMD_BUF_SIZE];     /* the listing command, built once */
static int l_build_query_cmd = 1;          /* l_query_cmd still has to be built */
static int l_first_query = 1;              /* no listing has been selected from yet */
static char l_last_listed[LOG_NAME_SIZE];  /* newest name the last selection considered */
static int l_last_id = -1;                 /* id of the last log accepted in sequence */
static char l_last_log[LOG_NAME_SIZE] = "init"; /* name of that log */
static int l_listed_logs;                  /* log names the last listing held (0: failed) */
/* Seconds between the final listing's tries: FINAL_QUERY_PAUSE_S; the
 * unit tests set 0, nothing else writes it. */
static int l_final_query_pause_s = FINAL_QUERY_PAUSE_S;

int parse_log_list(const char *out, char names[][LOG_NAME_SIZE])
{
    int count = 0, len = 0, seen_char = 0;

    for (const char *p = out;; p++) {
        if (*p == '\r')
            continue;
        if (*p == '\n' || *p == '\0') {
            names[count][len] = '\0';
            count++;
            len = 0;
            if (*p == '\0')
                return seen_char ? count : -1;
            if (count == LOG_LIST_MAX)
                return -1;
            continue;
        }
        if (len == LOG_NAME_MAX)
            return -1;
        names[count][len++] = *p;
        seen_char = 1;
    }
}

/* True for a name that an honest listing of the glob can print: the
 * "diag_log_" prefix, ".qmdl" after it, and only letters, digits and
 * "_ . -" (so no "/", and never "." or ".."). The names become paths on
 * the router and on the modem; a lying listing ("../../etc/passwd") must
 * not reach outside the two log directories, and quoting cannot stop
 * that: only this check does. Nor does a control byte reach the terminal
 * through the lines that show a taken name. */
int is_log_name(const char *name)
{
    return strncmp(name, LOG_NAME_PREFIX, LOG_NAME_PREFIX_LEN) == 0 &&
           strstr(name + LOG_NAME_PREFIX_LEN, LOG_NAME_MARK) != NULL &&
           strspn(name, SAFE_NAME_CHARS) == strlen(name);
}

/* Copies name into out with every byte that is not printable ASCII, and
 * the backslash, written as "\xNN": the log shows a hostile name without
 * letting its control bytes act on a terminal. out holds
 * PRINTABLE_NAME_SIZE bytes. */
void printable_name(const char *name, char *out)
{
    static const char hex[] = "0123456789abcdef";
    size_t n = 0;

    for (const unsigned char *p = (const unsigned char *)name; *p && n < LOG_NAME_MAX * 4;
         p++) {
        if (*p < 0x20 || *p >= 0x7f || *p == '\\') {
            out[n++] = '\\';
            out[n++] = 'x';
            out[n++] = hex[*p >> 4];
            out[n++] = hex[*p & 0xf];
        } else {
            out[n++] = (char)*p;
        }
    }
    out[n] = '\0';
}

/* Drops the names that are no log names, each logged once for this
 * listing, and keeps the others in their order; returns how many stay.
 * A dropped line is noise, not a file the diag tool wrote: it is neither
 * counted nor remembered as the newest name. */
static int keep_log_names(char names[][LOG_NAME_SIZE], int count)
{
    char shown[PRINTABLE_NAME_SIZE];
    int kept = 0;

    for (int i = 0; i < count; i++) {
        if (!is_log_name(names[i])) {
            printable_name(names[i], shown);
            LOG("ignore listed name [%s]: not a diag log name", shown);
            continue;
        }
        if (kept != i)
            memcpy(names[kept], names[i], LOG_NAME_SIZE);
        kept++;
    }
    return kept;
}

/* The two characters at the id's place, read as atoi reads them. */
static int read_log_id(const char *name)
{
    char digits[3] = {0, 0, 0};
    int id;

    if (strlen(name) > LOG_ID_POS) {
        digits[0] = name[LOG_ID_POS];
        digits[1] = name[LOG_ID_POS + 1];
    }
    id = atoi(digits);
    return (id >= 0 && id <= LOG_ID_MAX) ? id : -1;
}

void check_log_id(const char *name)
{
    char line[JOURNAL_LINE_SIZE];
    char stamp[TIMESTAMP_SIZE];
    int now_id = read_log_id(name), d;

    LOG("detect log: [%s]", name);
    CHECK(now_id >= 0 && now_id <= LOG_ID_MAX, "bad log id");
    if (now_id == l_last_id) {
        LOG("dup log! [%s]", name);
        snprintf(line, sizeof(line), "[%s] %s\n", getstimeval(stamp), name);
        print_to_stat_str(&l_dup_str, line);
        l_dup++;
        return;
    }
    d = now_id - l_last_id;
    if (d < 0)
        d += LOG_ID_RANGE;
    if (d >= 2 && d <= LOG_ID_MAX) {
        LOG("miss %d log(s) between %s and %s", d - 1, l_last_log, name);
        snprintf(line, sizeof(line), "[%s]\tsequence check\tmiss %02d from %s to %s\n",
                 getstimeval(stamp), d - 1, l_last_log, name);
        print_to_stat_str(&l_miss_str, line);
        l_miss += d - 1;
    } else if (d != 1) {
        LOG("check log id fatal failed. nowid=%d, lastid=%d", now_id, l_last_id);
    }
    l_last_id = now_id;
    snprintf(l_last_log, sizeof(l_last_log), "%s", name);
}

int do_query(void)
{
    char out[CMD_BUF_SIZE];
    char listed[LOG_LIST_MAX][LOG_NAME_SIZE];
    char taken[LOG_LIST_MAX][LOG_NAME_SIZE];
    int count, newest, ntaken = 0;

    if (l_build_query_cmd) {
        FORMAT_COMMAND(l_query_cmd, CMD_LIST_LOGS, l_modem_log_dir);
        l_build_query_cmd = 0;
    }
    l_listed_logs = 0;
    if (l_query_cmd[0] == '\0' || !exe_command(l_query_cmd, out, sizeof(out))) {
        LOG("Error: exe query cmd (ls) failed!");
        return FALSE;
    }
    memset(listed, 0, sizeof(listed));
    count = parse_log_list(out, listed);
    if (count < 0) {
        LOG("parse query ret failed, omit! ret: %s", out);
        return FALSE;
    }
    status_listing_ok();
    /* Before anything else looks at them: a refused line must not hold
     * back the real newest file either. */
    count = keep_log_names(listed, count);
    l_listed_logs = count;
    /* The newest file may still be written while the tool runs. */
    newest = l_query_running ? count - 2 : count - 1;
    if (newest < 0)
        return TRUE;
    for (int i = newest; i >= 0; i--) {
        if (!l_first_query &&
            strncmp(listed[i] + LOG_NAME_PREFIX_LEN, l_last_listed + LOG_NAME_PREFIX_LEN,
                    LOG_NAME_SIZE) <= 0)
            break;
        memcpy(taken[ntaken++], listed[i], LOG_NAME_SIZE);
    }
    memcpy(l_last_listed, listed[newest], LOG_NAME_SIZE);
    l_first_query = 0;
    for (int i = ntaken - 1; i >= 0; i--) {
        l_detect++;
        check_log_id(taken[i]);
        /* Never waits for room: a full queue loses the name, counted and
         * journalled (the push logs under do_query, so it stays here). */
        pthread_mutex_lock(&l_pull_queue_mutex);
        if (queue_push(&l_need_pull_queue, taken[i])) {
            pthread_cond_signal(&l_pull_queue_cond);
        } else {
            LOG("failed to add [%s] to need_pull_queue: queue full", taken[i]);
            journal_miss("push to pull queue", taken[i]);
        }
        pthread_mutex_unlock(&l_pull_queue_mutex);
    }
    return TRUE;
}

/* The final listing, after the diag tool has stopped, is the only one that
 * sees the newest files; step 7 of the shutdown then removes them from the
 * modem. A listing that fails here would lose them without a trace, so it
 * is tried again a few times. */
static void do_final_query(void)
{
    for (int tries = 1; !do_query(); tries++) {
        if (tries == FINAL_QUERY_TRIES) {
            LOG("final query failed %d times: files written since the last listing stay on the modem",
                tries);
            return;
        }
        sleep(l_final_query_pause_s); /* relative: a wall clock step does not stretch it */
    }
}

int final_query_budget_s(void)
{
    /* Each try a healthy listing (milliseconds; a second on a loaded
     * router), and the pauses between the tries. */
    return FINAL_QUERY_TRIES + (FINAL_QUERY_TRIES - 1) * FINAL_QUERY_PAUSE_S;
}

/* After the tool was restarted: a fresh directory and a tool that counts
 * from 00 again, so that neither the modem's clock nor the old ids hide a
 * new file. */
static void restart_selection(void)
{
    l_first_query = 1;
    memset(l_last_listed, 0, sizeof(l_last_listed));
    l_last_id = -1;
    snprintf(l_last_log, sizeof(l_last_log), "init");
}

void *query_thread(void *)
{
    struct timespec deadline;

    LOG_BANNER("query thread start");
    while (l_query_running) {
        do_query();
        if (!l_query_running)
            break;
        if (watch_modem(l_listed_logs > 0, l_last_log))
            restart_selection();
        /* One wait, whatever ends it; the flag is tested again under the
         * mutex so that a stop signalled just now is not slept through. */
        pthread_mutex_lock(&l_mutex);
        maketimeout_s(&deadline, 1);
        if (l_query_running)
            pthread_cond_timedwait(&l_query_cond, &l_mutex, &deadline);
        pthread_mutex_unlock(&l_mutex);
    }
    if (!l_lan_broken)
        do_final_query();
    LOG_BANNER("query thread exited");
    return NULL;
}
