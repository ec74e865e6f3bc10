/*
 * Helpers for the tests that read configuration files: the settings back
 * at their built-in defaults, and a parse whose log line a death test sees.
 */
#ifndef DIAGFERRY_SETTINGS_SUPPORT_H
#define DIAGFERRY_SETTINGS_SUPPORT_H

#include <stdio.h>
#include <unistd.h>

#include <string>

#include "diagferry_main/config.h"

/* Puts every setting back to its built-in default. */
inline void reset_settings(void)
{
    l_log_size = 1.0;
    l_log_number = 3;
    l_zip_level = 9;
    snprintf(l_modem_log_dir, sizeof(l_modem_log_dir), "%s", "/run/diag_logs/");
    snprintf(l_workdir, sizeof(l_workdir), "%s", "/tmp/mdlog/");
    l_router_mode = ROUTER_MODE_MANUAL;
    l_mobile_debug = 0;
    l_status_interval = STATUS_INTERVAL_DEFAULT;
}

/* Sends standard output to standard error inside a death test's child, so
 * that the log line is what the matcher reads. */
inline int parse_to_stderr(const std::string &path)
{
    dup2(2, 1);
    return parse_conf_file(path.c_str());
}

#endif
