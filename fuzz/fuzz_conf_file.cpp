/*
 * parse_conf_file on arbitrary file contents. The parser reads a path, so
 * each input is written to one temporary file first. Only sizes 1 to
 * JSON_MAX_SIZE - 1 are fed: an empty file and one of JSON_MAX_SIZE bytes or
 * more end the process on purpose (ASSERT).
 *
 * Checked after every input: both directory settings are NUL-terminated
 * within their buffers, the zip level, the router mode and the debug flag
 * hold values the rest of the daemon can use, and the result is TRUE or
 * FALSE. Which texts are JSON is cJSON's business, not checked here.
 */
#define LOG_SRC "fuzz"
#include "fuzz_check.h"
#include "diagferry_main/config.h"
#include "../tests/unit/settings_support.h"

#include <stdint.h>
#include <string.h>
#include <unistd.h>

#define ZIP_LEVEL_MAX 19

/* The temporary file every input is written to; created once, in memory
 * (/dev/shm) where there is such a file system, else in /tmp. */
static char l_conf_path[64];
static int l_conf_fd = -1;

static void remove_conf_file(void)
{
    if (l_conf_fd >= 0)
        unlink(l_conf_path);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    snprintf(l_conf_path, sizeof(l_conf_path), "/dev/shm/diagferry-fuzz-conf-XXXXXX");
    l_conf_fd = mkstemp(l_conf_path);
    if (l_conf_fd < 0) {
        snprintf(l_conf_path, sizeof(l_conf_path), "/tmp/diagferry-fuzz-conf-XXXXXX");
        l_conf_fd = mkstemp(l_conf_path);
    }
    FUZZ_CHECK(l_conf_fd >= 0, "cannot create %s", l_conf_path);
    atexit(remove_conf_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int result;

    if (size < 1 || size >= JSON_MAX_SIZE)
        return -1; /* not added to the corpus */
    /* Overwrite, then cut to size: the file never drops to 0 bytes, so its
     * block is not freed and allocated again on every input (slow). */
    FUZZ_CHECK(pwrite(l_conf_fd, data, size, 0) == (ssize_t)size, "pwrite");
    FUZZ_CHECK(ftruncate(l_conf_fd, (off_t)size) == 0, "ftruncate");
    /* Inputs must not depend on each other. */
    reset_settings();

    result = parse_conf_file(l_conf_path);

    FUZZ_CHECK(result == TRUE || result == FALSE, "result %d", result);
    FUZZ_CHECK(memchr(l_modem_log_dir, '\0', PATH_BUF_SIZE) != NULL,
               "modem log dir not NUL-terminated");
    FUZZ_CHECK(memchr(l_workdir, '\0', PATH_BUF_SIZE) != NULL, "workdir not NUL-terminated");
    FUZZ_CHECK(l_zip_level >= 0 && l_zip_level <= ZIP_LEVEL_MAX, "zip level %d", l_zip_level);
    FUZZ_CHECK(l_router_mode == ROUTER_MODE_MANUAL || l_router_mode == ROUTER_MODE_DIAL_ONCE ||
                   l_router_mode == ROUTER_MODE_NET_MONITOR,
               "router mode %d", l_router_mode);
    FUZZ_CHECK(l_mobile_debug == 0 || l_mobile_debug == 1, "mobile debug %d", l_mobile_debug);
    return 0;
}
