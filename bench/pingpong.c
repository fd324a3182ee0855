/* The floor: a raw TCP ping-pong of 20-byte messages on loopback, one connection, each side
 * sending one message and waiting for the other's.
 *
 *   pingpong COUNT      prints: pingpong OPS_PER_SECOND
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int exchange(int fd, char* buffer, int send_first) {
    size_t got = 0;
    if (send_first && send(fd, buffer, 20, 0) != 20)
        return -1;
    while (got < 20) {
        ssize_t n = recv(fd, buffer + got, 20 - got, 0);
        if (n <= 0)
            return -1;
        got += (size_t)n;
    }
    if (!send_first && send(fd, buffer, 20, 0) != 20)
        return -1;
    return 0;
}

int main(int argc, char** argv) {
    long count = argc > 1 ? atol(argv[1]) : 100000;
    int listener = socket(AF_INET, SOCK_STREAM, 0), one = 1;
    struct sockaddr_in address = {0};
    socklen_t length = sizeof address;
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, (struct sockaddr*)&address, sizeof address);
    listen(listener, 1);
    getsockname(listener, (struct sockaddr*)&address, &length);

    pid_t child = fork();
    if (child == 0) { /* the echoing side */
        int fd = accept(listener, NULL, NULL);
        char buffer[20];
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        while (exchange(fd, buffer, 0) == 0) {
        }
        _exit(0);
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, (struct sockaddr*)&address, sizeof address) != 0)
        return 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char buffer[20] = "0123456789012345678";
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < count; i++)
        if (exchange(fd, buffer, 1) != 0)
            return 1;
    clock_gettime(CLOCK_MONOTONIC, &end);
    close(fd);
    waitpid(child, NULL, 0);
    double seconds =
        (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    printf("pingpong %.0f\n", (double)count / seconds);
    return 0;
}
