/*
 * The daemon's settings and the configuration file that may override them.
 * parse_conf_file runs once, in the main thread, before any other thread
 * exists; afterwards the settings are only read, without locks.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/config.h"

#include <cjson/cJSON.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/statvfs.h>

#include "utils.h"

#define ZIP_LEVEL_MAX 19
/* Files in the working directory at once: two queued for the upload, one
 * being sent, one just pulled. */
#define WORKDIR_FILES 4
#define LOG_SIZE_UNIT 1048576.0 /* the diag tool's MB, taken as the larger MiB */

double l_log_size = 1.0;                        /* diag_mdlog -s, MB per file */
int l_log_number = 3;                           /* diag_mdlog -n, files kept */
int l_zip_level = 9;                            /* diag_mdlog -z, 0 leaves it out */
char l_modem_log_dir[PATH_BUF_SIZE] = "/run/diag_logs/"; /* on the modem, with its "/" */
char l_workdir[PATH_BUF_SIZE] = "/tmp/mdlog/";  /* on the router, with its "/" */
int8_t l_router_mode = ROUTER_MODE_MANUAL;      /* test scenario */
int l_mobile_debug = 0;                         /* relay the mobile manager's debug output */
int l_status_interval = STATUS_INTERVAL_DEFAULT; /* s between heartbeats, 0: none */

/* Copies a string member into a directory setting; the bound always leaves
 * the setting NUL-terminated. */
static void take_dir(const cJSON *item, char *dir)
{
    if (!cJSON_IsString(item))
        return;
    strncpy(dir, item->valuestring, PATH_BUF_SIZE - 1);
    dir[PATH_BUF_SIZE - 1] = '\0';
}

/* Sets the router mode when item names one exactly; returns that name for
 * parse_conf_file to log, or NULL when the mode stays as it was. */
static const char *take_mode(const cJSON *item)
{
    if (!cJSON_IsString(item))
        return NULL;
    if (strcmp(item->valuestring, "dial once") == 0) {
        l_router_mode = ROUTER_MODE_DIAL_ONCE;
        return "dial once";
    }
    if (strcmp(item->valuestring, "net monitor") == 0) {
        l_router_mode = ROUTER_MODE_NET_MONITOR;
        return "net monitor";
    }
    if (strcmp(item->valuestring, "manual") == 0) {
        l_router_mode = ROUTER_MODE_MANUAL;
        return "manual";
    }
    return NULL;
}

int parse_conf_file(const char *path)
{
    char buf[JSON_MAX_SIZE];
    cJSON *root, *item;
    const char *mode;
    ssize_t n;
    int fd;

    memset(buf, 0, sizeof(buf));
    fd = open(path, O_RDONLY | O_CLOEXEC);
    ASSERT(fd >= 0, "Unable to open conf file. errno:%d", errno);
    n = read(fd, buf, JSON_MAX_SIZE);
    ASSERT(n > 0, "read conf file error. errno:%d", errno);
    ASSERT(n < JSON_MAX_SIZE, "conf file has too large size");
    close(fd);

    root = cJSON_Parse(buf);
    if (!root) {
        cJSON_Delete(root);
        return FALSE;
    }
    item = cJSON_GetObjectItem(root, "modem.log.size");
    if (cJSON_IsNumber(item))
        l_log_size = item->valuedouble;
    item = cJSON_GetObjectItem(root, "modem.log.number");
    if (cJSON_IsNumber(item))
        l_log_number = item->valueint;
    item = cJSON_GetObjectItem(root, "modem.log.zip_level");
    if (cJSON_IsNumber(item)) {
        l_zip_level = item->valueint;
        if (l_zip_level < 0 || l_zip_level > ZIP_LEVEL_MAX)
            l_zip_level = 0;
    }
    take_dir(cJSON_GetObjectItem(root, "modem.log.dir"), l_modem_log_dir);
    take_dir(cJSON_GetObjectItem(root, "router.workdir"), l_workdir);
    mode = take_mode(cJSON_GetObjectItem(root, "router.mode"));
    if (mode)
        LOG("mode: %s", mode);
    item = cJSON_GetObjectItem(root, "router.mobiledebug");
    if (cJSON_IsBool(item))
        l_mobile_debug = cJSON_IsTrue(item) ? 1 : 0;
    /* Like the zip level: the integer value, and 0 (none) outside the
     * range, negative ones included. */
    item = cJSON_GetObjectItem(root, "router.status_interval");
    if (cJSON_IsNumber(item)) {
        l_status_interval = item->valueint;
        if (l_status_interval < 0 || l_status_interval > STATUS_INTERVAL_MAX)
            l_status_interval = 0;
    }
    cJSON_Delete(root);
    return TRUE;
}

/* How deep a directory setting must be at least: the modem log directory
 * is removed with "rm -rf" and the working directory's files are deleted,
 * so a top directory such as "/run/" or "/tmp/" would take everything
 * else in it along. */
#define SAFE_DIR_DEPTH_MIN 2
#define SAFE_DIR_RULE                                                                       \
    "must be an absolute path of letters, digits and _ . / - ending in /, two directories " \
    "deep or more, without . or .."

int is_safe_dir(const char *dir)
{
    size_t len = strlen(dir), n;
    int depth = 0;

    if (len == 0 || dir[0] != '/' || dir[len - 1] != '/' ||
        strspn(dir, SAFE_NAME_CHARS "/") != len)
        return 0;
    for (const char *p = dir + strspn(dir, "/"); *p; p += n + strspn(p + n, "/")) {
        n = strcspn(p, "/");
        /* "." and ".." would name another directory than the text says. */
        if (n <= 2 && strspn(p, ".") >= n)
            return 0;
        depth++;
    }
    return depth >= SAFE_DIR_DEPTH_MIN;
}

/* The working directory is RAM on a router: a file size it cannot hold
 * four times over loses pulls later. Only a warning, since the user may
 * know that the diag tool's files stay smaller. */
static void warn_low_space(void)
{
    struct statvfs vfs;
    double need = WORKDIR_FILES * l_log_size * LOG_SIZE_UNIT, avail;

    if (statvfs(l_workdir, &vfs) != 0)
        return; /* a missing directory fails the DIAG.cfg push with its own line */
    avail = (double)vfs.f_bavail * (double)vfs.f_frsize;
    if (avail < need)
        LOG("warning: %s has %.0f bytes free, less than %d log files of %f MB (%.0f bytes)",
            l_workdir, avail, WORKDIR_FILES, l_log_size, need);
}

void check_settings_orDie(void)
{
    /* Both are pasted into shell command lines on the router and the
     * modem ("rm -rf DIR"): a blank or a shell character would change
     * what runs, and "/", "/run/" or a ".." would remove far more. */
    ASSERT(is_safe_dir(l_modem_log_dir), "modem.log.dir " SAFE_DIR_RULE);
    ASSERT(is_safe_dir(l_workdir), "router.workdir " SAFE_DIR_RULE);
    warn_low_space();
}
