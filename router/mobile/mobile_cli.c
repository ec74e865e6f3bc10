/*
 * Stand-in for the mobile manager's client, the program "mobile_cli".
 *
 * "mobile_cli opendebug N" switches the running manager's debug output on
 * (N non-zero) or off by writing N to the file "mobile_debug" of the state
 * directory ($ROUTER_SIM_DIR, else /tmp/router_sim), which the manager
 * polls. Every run appends "mobile_cli ARGS" to the call log.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "sim.h"

#define DEFAULT_SIM_DIR "/tmp/router_sim"

int main(int argc, char **argv)
{
    char line[512] = "mobile_cli";
    size_t len = strlen(line);
    int i;

    if (!sim_dir()) {
        mkdir(DEFAULT_SIM_DIR, 0755);
        setenv(SIM_DIR_ENV, DEFAULT_SIM_DIR, 1);
    }
    for (i = 1; i < argc && len < sizeof(line); i++)
        len += (size_t)snprintf(line + len, sizeof(line) - len, " %s", argv[i]);
    sim_log("%s", line);
    if (argc == 3 && strcmp(argv[1], "opendebug") == 0) {
        char value[16];

        snprintf(value, sizeof(value), "%d", atoi(argv[2]) != 0);
        return sim_write_text("mobile_debug", value) ? 0 : 1;
    }
    fprintf(stderr, "usage: mobile_cli opendebug 0|1\n");
    return 1;
}
