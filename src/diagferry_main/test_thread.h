/*
 * test_thread: the optional test scenario on the LTE modem chosen by
 * "router.mode" (dial once, net monitor). Started by main; stopped by the
 * shutdown through l_test_running.
 */
#ifndef DIAGFERRY_TEST_THREAD_H
#define DIAGFERRY_TEST_THREAD_H

void *test_thread(void *arg);

#endif
