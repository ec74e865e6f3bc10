/*
 * pc_ip: the PC's address, read once from the router's telnet connection
 * table. Owns l_pc_ip, written by main before the threads start and read
 * by the keep-alive and send stages.
 */
#ifndef DIAGFERRY_PC_IP_H
#define DIAGFERRY_PC_IP_H

#define PC_IP_SIZE 16
extern char l_pc_ip[PC_IP_SIZE];
int get_pc_ip(char *pc_ip);
/* The connection-table parser of get_pc_ip, on text already captured. */
int parse_pc_ip(const char *table, char *pc_ip);

#endif
