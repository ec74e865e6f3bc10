/*
 * cli: stand-in for the router's command shell, the program a telnet
 * session runs. It prints a prompt, swallows whatever the peer types and
 * ends when the connection does. Its start is recorded in
 * $EMU_LOG_DIR/cli.log; a kill shows up in emu_init's reap log.
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

int main(void)
{
    const char *dir = getenv("EMU_LOG_DIR");
    char buf[512];

    if (dir) {
        char path[4096];
        FILE *f;

        snprintf(path, sizeof(path), "%s/cli.log", dir);
        f = fopen(path, "a");
        if (f) {
            fprintf(f, "[%ld] started pid %d\n", (long)time(NULL), (int)getpid());
            fclose(f);
        }
    }
    if (write(1, "router> ", 8) < 0)
        return 1;
    while (read(0, buf, sizeof(buf)) > 0) {
        /* Commands are not interpreted: the session only has to exist. */
    }
    return 0;
}
