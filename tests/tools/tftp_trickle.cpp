/*
 * tftp_trickle: a TFTP server for write requests that keeps every transfer
 * alive but slow: each DATA block is acknowledged only after a pause, so a
 * client never times out and never finishes a file of many blocks (a PC
 * whose link or disk crawls). Blocks of 512 bytes (options are ignored, so
 * the client falls back to the plain size).
 *
 *   tftp_trickle DIR ADDR PAUSE_MS
 *
 * Binds ADDR:69, serves one transfer at a time and writes what arrived to
 * DIR/NAME when the transfer ends (a last block shorter than 512 bytes), so
 * a small file such as stat.txt still arrives. Runs until killed.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#define BLOCK 512
#define IDLE_MS 3000 /* busybox tftp repeats within 2 s: silent this long, it has gone */

static void put16(unsigned char *p, int v)
{
    p[0] = (unsigned char)(v >> 8);
    p[1] = (unsigned char)v;
}

static int get16(const unsigned char *p)
{
    return (p[0] << 8) | p[1];
}

static void serve(const std::string &dir, const char *name, const sockaddr_in *peer, int pause_ms)
{
    unsigned char buf[4 + BLOCK], ack[4];
    std::string data;
    int fd = socket(AF_INET, SOCK_DGRAM, 0), expect = 1;

    put16(ack, 4);
    put16(ack + 2, 0);
    sendto(fd, ack, 4, 0, (const sockaddr *)peer, sizeof(*peer));
    for (;;) {
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, IDLE_MS) <= 0)
            break;
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 4 || get16(buf) != 3)
            continue;
        int blk = get16(buf + 2);
        if (blk != expect)
            continue; /* a repeat sent while we paused: the ACK below answers it */
        data.append((const char *)buf + 4, (size_t)n - 4);
        expect = (expect + 1) & 0xffff;
        usleep((useconds_t)pause_ms * 1000);
        while (recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
        }
        put16(ack + 2, blk);
        sendto(fd, ack, 4, 0, (const sockaddr *)peer, sizeof(*peer));
        if (n < 4 + BLOCK) {
            /* Never a path: only the last component of the name. */
            const char *base = strrchr(name, '/');
            std::string path = dir + "/" + (base ? base + 1 : name);
            FILE *f = fopen(path.c_str(), "wb");
            if (f) {
                fwrite(data.data(), 1, data.size(), f);
                fclose(f);
            }
            break;
        }
    }
    close(fd);
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: tftp_trickle DIR ADDR PAUSE_MS\n");
        return 2;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0), one = 1;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(69);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (inet_pton(AF_INET, argv[2], &addr.sin_addr) != 1 ||
        bind(fd, (sockaddr *)&addr, sizeof(addr)) != 0) {
        perror("tftp_trickle: bind");
        return 1;
    }
    printf("tftp_trickle: listening\n");
    fflush(stdout);
    for (;;) {
        unsigned char req[1024];
        sockaddr_in peer;
        socklen_t len = sizeof(peer);
        ssize_t n = recvfrom(fd, req, sizeof(req) - 1, 0, (sockaddr *)&peer, &len);
        if (n < 4 || get16(req) != 2)
            continue;
        req[n] = 0;
        printf("tftp_trickle: write request %s\n", (const char *)req + 2);
        fflush(stdout);
        serve(argv[1], (const char *)req + 2, &peer, atoi(argv[3]));
        /* Requests repeated while that transfer ran are stale (their
         * clients have gone or will repeat): dropped, so that each costs
         * no idle wait. */
        while (recv(fd, req, sizeof(req), MSG_DONTWAIT) > 0) {
        }
    }
}
