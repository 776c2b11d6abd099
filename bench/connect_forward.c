/* A CONNECT forwarder for bench/h2load_bench.sh, since h2load has no proxy option:
 * every TCP connection accepted on 127.0.0.1:LISTEN-PORT gets a connection of its own
 * to the proxy on 127.0.0.1:PROXY-PORT, which is asked
 *   CONNECT HOST:PORT HTTP/1.1
 * and whose answer head is read up to its blank line; on "200" the bytes are copied
 * both ways until each side has ended, an end of one side passed on as a half-close
 * of the other. On any other answer the accepted connection is closed. The script
 * builds it with
 *   cc -O2 -o connect_forward connect_forward.c -lpthread
 *
 *   connect_forward LISTEN-PORT PROXY-PORT HOST:PORT
 *
 * Two threads per connection pair, one per direction, each a blocking read and write
 * loop: the benchmark uses at most a few dozen connections, and a copy costs one
 * read and one write either way. Refused CONNECTs and broken pairs are counted on
 * standard error. Everything goes to 127.0.0.1.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static int proxy_port;
static const char* target; /* HOST:PORT */

struct pair {
    int client, proxy;
    int ended; /* directions finished, under lock */
    pthread_mutex_t lock;
};

static int loopback_socket(int port, int listening) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons(port)};
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    if (listening) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, (struct sockaddr*)&a, sizeof a) < 0 || listen(fd, 128) < 0) {
            close(fd);
            return -1;
        }
    } else {
        if (connect(fd, (struct sockaddr*)&a, sizeof a) < 0) {
            close(fd);
            return -1;
        }
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

static int write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

/* Asks the proxy for the tunnel and reads its answer head. Bytes that came after the
 * blank line (none from a proxy that waits for the client's TLS) go to the client.
 * Returns 0 on "200". */
static int open_tunnel(int proxy, int client) {
    char req[600];
    int n = snprintf(req, sizeof req, "CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n", target, target);
    if (write_all(proxy, req, (size_t)n) < 0)
        return -1;
    /* A proxy that never answers must not hold the pair for ever. */
    struct timeval tv = {.tv_sec = 10};
    setsockopt(proxy, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char head[8192];
    size_t got = 0;
    char* end = NULL;
    while (!end) {
        if (got == sizeof head)
            return -1;
        ssize_t r = recv(proxy, head + got, sizeof head - got, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        got += (size_t)r;
        end = memmem(head, got, "\r\n\r\n", 4);
    }
    tv.tv_sec = 0;
    setsockopt(proxy, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    /* "HTTP/1.x 200" */
    if (got < 12 || memcmp(head, "HTTP/1.", 7) != 0 || memcmp(head + 8, " 200", 4) != 0) {
        char* eol = memchr(head, '\r', got);
        fprintf(stderr, "connect_forward: the proxy answered %.*s\n",
                (int)(eol ? eol - head : (got < 80 ? (long)got : 80)), head);
        return -1;
    }
    size_t rest = got - (size_t)(end + 4 - head);
    return rest ? write_all(client, end + 4, rest) : 0;
}

static void finish(struct pair* p) {
    pthread_mutex_lock(&p->lock);
    int last = ++p->ended == 2;
    pthread_mutex_unlock(&p->lock);
    if (last) {
        close(p->client);
        close(p->proxy);
        pthread_mutex_destroy(&p->lock);
        free(p);
    }
}

/* Copies FROM to TO until FROM ends, then passes the end on. */
static void copy(int from, int to) {
    char buf[65536];
    for (;;) {
        ssize_t r = recv(from, buf, sizeof buf, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || write_all(to, buf, (size_t)r) < 0)
            break;
    }
    shutdown(to, SHUT_WR);
    /* A broken side stops the other direction too. */
    shutdown(from, SHUT_RD);
}

static void* upstream(void* arg) {
    struct pair* p = arg;
    copy(p->client, p->proxy);
    finish(p);
    return NULL;
}

static void* serve(void* arg) {
    struct pair* p = arg;
    p->proxy = loopback_socket(proxy_port, 0);
    if (p->proxy < 0 || open_tunnel(p->proxy, p->client) < 0) {
        if (p->proxy < 0)
            fprintf(stderr, "connect_forward: cannot reach the proxy: %s\n", strerror(errno));
        close(p->client);
        if (p->proxy >= 0)
            close(p->proxy);
        free(p);
        return NULL;
    }
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    if (pthread_create(&t, &attr, upstream, p) != 0) {
        close(p->client);
        close(p->proxy);
        free(p);
        pthread_attr_destroy(&attr);
        return NULL;
    }
    pthread_attr_destroy(&attr);
    copy(p->proxy, p->client);
    finish(p);
    return NULL;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: connect_forward LISTEN-PORT PROXY-PORT HOST:PORT\n");
        return 2;
    }
    proxy_port = atoi(argv[2]);
    target = argv[3];
    if (strlen(target) > 255) {
        fprintf(stderr, "connect_forward: the target is too long\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int lfd = loopback_socket(atoi(argv[1]), 1);
    if (lfd < 0) {
        perror("connect_forward: listen");
        return 1;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    for (;;) {
        int c = accept4(lfd, NULL, NULL, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            /* Out of descriptors: wait for pairs to end rather than spin. */
            if (errno == EMFILE || errno == ENFILE) {
                usleep(10000);
                continue;
            }
            perror("connect_forward: accept");
            return 1;
        }
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        struct pair* p = calloc(1, sizeof *p);
        if (!p) {
            close(c);
            continue;
        }
        p->client = c;
        p->proxy = -1;
        pthread_mutex_init(&p->lock, NULL);
        pthread_t t;
        if (pthread_create(&t, &attr, serve, p) != 0) {
            close(c);
            free(p);
        }
    }
}
