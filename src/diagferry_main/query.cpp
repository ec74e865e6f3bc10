/*
 * Query stage: lists the modem's log directory once a second, takes the
 * names that are new and complete, checks their sequence ids and queues them
 * for the pull stage.
 *
 * A file is complete once a newer one exists, so the newest listed name is
 * held back while the diag tool runs; the final listing of the shutdown,
 * made after the tool has been stopped, takes it too.
 *
 * A modem reset shows as listings that fail or hold no log name (the
 * modem's /run is wiped) and then, once adb answers again, a diag tool that
 * no longer runs. The query thread notices it, journals it as a miss line
 * of its own and restarts the tool with the start-up's commands, with a
 * growing pause between failed attempts; the new tool counts from id 00.
 *
 * Lock discipline: the thread holds l_mutex only around its one-second
 * wait on l_query_cond (signalled by the shutdown) and its pauses between
 * restart attempts; it pushes onto l_need_pull_queue under
 * l_pull_queue_mutex and never waits for room.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/query.h"

#include <errno.h>
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
/* Listings in a row without a log name before the modem is looked at, and
 * again every as many listings after: a tool filling a large first file
 * lists nothing for a while too, so only the probe can tell. */
#define RESET_QUIET_LISTINGS 5
/* Probes in a row that must find no tool for a reset, and the pause
 * between them: one garbled probe is no reset. */
#define RESET_PROBES 2
#define RESET_PROBE_PAUSE_S 1
/* Pauses between restart attempts: 1, 2, 4 ... up to this. */
#define RESTART_PAUSE_MAX_S 30

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
static int l_quiet_listings;               /* listings in a row without a log name */
static char l_quiet_since[TIMESTAMP_SIZE]; /* time stamp of the first of them */

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
        return 0;
    }
    memset(listed, 0, sizeof(listed));
    count = parse_log_list(out, listed);
    if (count < 0) {
        LOG("parse query ret failed, omit! ret: %s", out);
        return 0;
    }
    status_listing_ok();
    /* Before anything else looks at them: a refused line must not hold
     * back the real newest file either. */
    count = keep_log_names(listed, count);
    l_listed_logs = count;
    /* The newest file may still be written while the tool runs. */
    newest = l_query_running ? count - 2 : count - 1;
    if (newest < 0)
        return 1;
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
    return 1;
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
        sleep(FINAL_QUERY_PAUSE_S); /* relative: a wall clock step does not stretch it */
    }
}

int final_query_budget_s(void)
{
    /* Each try a healthy listing (milliseconds; a second on a loaded
     * router), and the pauses between the tries. */
    return FINAL_QUERY_TRIES + (FINAL_QUERY_TRIES - 1) * FINAL_QUERY_PAUSE_S;
}

/* Sleeps seconds on l_query_cond; the shutdown's signal ends it early. */
static void pause_query(int seconds)
{
    struct timespec deadline;

    pthread_mutex_lock(&l_mutex);
    maketimeout_s(&deadline, seconds);
    while (l_query_running && !l_exiting &&
           pthread_cond_timedwait(&l_query_cond, &l_mutex, &deadline) != ETIMEDOUT)
        ;
    pthread_mutex_unlock(&l_mutex);
}

/* Restarts the tool until it runs, pausing 1, 2, 4 ... 30 s between
 * failed attempts so that a modem that keeps failing is not hammered.
 * Gives up when the shutdown begins: it stops the tool and must not find a
 * new one started behind its back. */
static void restart_after_reset(void)
{
    int pause_s = 1;

    while (l_query_running && !l_exiting) {
        LOG("restart modem...");
        if (restart_modem()) {
            LOG("modem up again!");
            /* A fresh directory and a tool that counts from 00 again: the
             * selection and the sequence check start afresh too, so that
             * neither the modem's clock nor the old ids hide a new file. */
            l_first_query = 1;
            memset(l_last_listed, 0, sizeof(l_last_listed));
            l_last_id = -1;
            snprintf(l_last_log, sizeof(l_last_log), "init");
            /* A shutdown that began during the attempt may have probed
             * before the tool came up: stop it here, as its step would. */
            if (l_exiting && is_modem_logging())
                stop_modem_orDie();
            return;
        }
        LOG("modem restart failed, next attempt in %d s", pause_s);
        pause_query(pause_s);
        pause_s = pause_s * 2 > RESTART_PAUSE_MAX_S ? RESTART_PAUSE_MAX_S : pause_s * 2;
    }
}

/* True when RESET_PROBES probes in a row, a pause apart, find no tool
 * while no shutdown has begun. l_exiting is read after each probe: the
 * shutdown sets it before it stops the tool, so a probe that saw that
 * stop sees it set. */
static int tool_gone(void)
{
    for (int probe = 1; probe <= RESET_PROBES; probe++) {
        if (probe > 1)
            pause_query(RESET_PROBE_PAUSE_S);
        if (is_modem_logging() || l_exiting || !l_query_running)
            return FALSE;
    }
    return TRUE;
}

/* After each listing: a run of listings without a log name, an adb that
 * answers again and a tool that no longer runs make a modem reset. The
 * files written after the last one listed died with the modem's /run: one
 * miss line says so, counted as one file (at least the one being written).
 * Once a shutdown has begun nothing is decided: its own stop of the tool
 * (and a listing that does not parse) would read as a reset. */
static void watch_modem(void)
{
    char after[LOG_NAME_SIZE + 8];

    if (l_exiting || !l_query_running)
        return;
    if (l_listed_logs > 0) {
        l_quiet_listings = 0;
        return;
    }
    if (l_quiet_listings++ == 0)
        getstimeval(l_quiet_since);
    if (l_quiet_listings % RESET_QUIET_LISTINGS != 0)
        return;
    if (!wait_for_modem()) {
        LOG("modem not reachable through adb, no log listed since %s", l_quiet_since);
        return;
    }
    if (!tool_gone())
        return;
    LOG("modem reset: no log listed since %s and %s not running; last log before it: %s",
        l_quiet_since, MODEM_APP_NAME, l_last_log);
    snprintf(after, sizeof(after), "after %s", l_last_log);
    journal_miss("modem reset", after);
    l_quiet_listings = 0;
    restart_after_reset();
}

void *query_thread(void *)
{
    struct timespec deadline;

    LOG_BANNER("query thread start");
    while (l_query_running) {
        do_query();
        if (!l_query_running)
            break;
        watch_modem();
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
