/* The floor: a raw TCP ping-pong on loopback, each side sending one message and waiting for the
 * other's, over one connection or many at once.
 *
 *   qdo_pingpong COUNT [PAIRS] [SIZE]
 *       PAIRS connections (default 1), each between a thread of this process and an echoing
 *       process of its own (as every session of the server has a job process of its own), all
 *       started together; messages of SIZE bytes (default 20) both ways. The run ends when the
 *       pairs together have made COUNT exchanges, so every pair runs for the whole window.
 *       Prints: pingpong EXCHANGES_PER_SECOND, and with SIZE given also
 *               bytes BYTES_PER_SECOND (one way: exchanges times SIZE)
 *
 * Pin it with taskset to compare with a pinned client and server; unpinned, pairs use every CPU.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* One exchange: the sending side sends `size` bytes and then waits for `size` back; the echoing
 * side waits for them and sends them back. 0 on success, -1 when the peer is gone. */
static int exchange(int fd, char* buffer, size_t size, int send_first) {
    size_t got = 0;
    if (send_first && send(fd, buffer, size, 0) != (ssize_t)size)
        return -1;
    while (got < size) {
        ssize_t n = recv(fd, buffer + got, size - got, 0);
        if (n <= 0)
            return -1;
        got += (size_t)n;
    }
    if (!send_first && send(fd, buffer, size, 0) != (ssize_t)size)
        return -1;
    return 0;
}

struct run {
    struct sockaddr_in address;
    size_t size;
    long count; /* exchanges of all pairs together */
    atomic_long done;
    atomic_int failed;
    pthread_barrier_t start;
    struct timespec end; /* written by the thread whose exchange was the COUNTth */
};

static int connect_to(const struct sockaddr_in* address) {
    int one = 1, fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (const struct sockaddr*)address, sizeof *address) != 0)
        return -1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

/* A sending side: connects before the barrier, then exchanges until the pairs together have
 * made COUNT exchanges. */
static void* send_side(void* argument) {
    struct run* run = argument;
    int fd = connect_to(&run->address);
    char* buffer = calloc(run->size, 1);
    pthread_barrier_wait(&run->start);
    if (fd < 0 || buffer == NULL) {
        atomic_store(&run->failed, 1);
    } else {
        for (;;) {
            if (atomic_load_explicit(&run->done, memory_order_relaxed) >= run->count)
                break;
            if (exchange(fd, buffer, run->size, 1) != 0) {
                atomic_store(&run->failed, 1);
                break;
            }
            if (atomic_fetch_add_explicit(&run->done, 1, memory_order_relaxed) + 1 == run->count)
                clock_gettime(CLOCK_MONOTONIC, &run->end);
        }
    }
    if (fd >= 0)
        close(fd);
    free(buffer);
    return NULL;
}

int main(int argc, char** argv) {
    struct run run = {0};
    run.count = argc > 1 ? atol(argv[1]) : 100000;
    const long pairs = argc > 2 ? atol(argv[2]) : 1;
    run.size = argc > 3 ? (size_t)atol(argv[3]) : 20;
    if (run.count < 1 || pairs < 1 || run.size < 1) {
        fprintf(stderr, "usage: qdo_pingpong COUNT [PAIRS] [SIZE]\n");
        return 2;
    }
    int listener = socket(AF_INET, SOCK_STREAM, 0), one = 1;
    socklen_t length = sizeof run.address;
    run.address.sin_family = AF_INET;
    run.address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, (struct sockaddr*)&run.address, sizeof run.address) != 0 ||
        listen(listener, (int)(pairs < 4096 ? pairs : 4096)) != 0 ||
        getsockname(listener, (struct sockaddr*)&run.address, &length) != 0) {
        perror("qdo_pingpong: listen");
        return 1;
    }

    for (long i = 0; i < pairs; i++) {
        if (fork() == 0) { /* an echoing side: one connection, until the sender closes it */
            int fd = accept(listener, NULL, NULL);
            char* buffer = malloc(run.size);
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            while (buffer != NULL && exchange(fd, buffer, run.size, 0) == 0) {
            }
            _exit(0);
        }
    }
    close(listener);

    pthread_t* threads = calloc((size_t)pairs, sizeof *threads);
    pthread_barrier_init(&run.start, NULL, (unsigned)pairs + 1);
    for (long i = 0; i < pairs; i++)
        if (pthread_create(&threads[i], NULL, send_side, &run) != 0) {
            perror("qdo_pingpong: thread");
            return 1;
        }
    struct timespec start;
    pthread_barrier_wait(&run.start);
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < pairs; i++)
        pthread_join(threads[i], NULL);
    while (wait(NULL) > 0) {
    }
    free(threads);
    if (atomic_load(&run.failed)) {
        fprintf(stderr, "qdo_pingpong: a connection failed\n");
        return 1;
    }
    double seconds =
        (double)(run.end.tv_sec - start.tv_sec) + (double)(run.end.tv_nsec - start.tv_nsec) / 1e9;
    printf("pingpong %.0f\n", (double)run.count / seconds);
    if (argc > 3)
        printf("bytes %.0f\n", (double)run.count * (double)run.size / seconds);
    return 0;
}
