/* wan_status: placeholder until the WAN probes land. */
#define LOG_SRC "src/wan_status"
#include "wan_status.h"
#include "utils.h"
const char conn_state_names[7][16] = {"invalid", "disabled", "disconnected", "connecting",
                                      "disconnecting", "connected", "enabled"};
const char reg_state_names[6][40] = {"invalid", "not registered", "registered",
                                     "not registered but now searching",
                                     "denied by the network", "unknown"};
const char *conn_state_name(int code) { return (code >= -1 && code <= 5) ? conn_state_names[code + 1] : "unknown code"; }
const char *reg_state_name(int code) { return (code >= -1 && code <= 4) ? reg_state_names[code + 1] : "unknown code"; }
int check_modem_connection(void) { return 0; }
int dns_diag(void) { return 0; }
