/* placeholder stand-in */
#include "cfgstore.h"
int cfgstore_attach(int flags) { (void)flags; return 0; }
int cfgstore_run_action(const char *a, cfgstore_selector *s) { (void)a; (void)s; return -1; }
int cfgstore_get_object(int o, cfgstore_selector *s, int l, void *b) { (void)o; (void)s; (void)l; (void)b; return -1; }
