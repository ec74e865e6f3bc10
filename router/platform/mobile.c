/* placeholder stand-in */
#include <string.h>
#include "mobile.h"
int mobile_get_conn_state(int32_t *s) { *s = -1; return 0; }
int mobile_get_reg_state(int32_t *s) { *s = -1; return 0; }
int mobile_get_wan_params(wan_params *p) { memset(p, 0, sizeof(*p)); return 0; }
int mobile_get_all_status(mobile_all_status *s) { memset(s, 0, sizeof(*s)); return 0; }
int mobile_set_modem_mode(int m, int32_t *r) { (void)m; *r = 0; return 0; }
