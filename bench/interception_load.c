/* HTTPS client for bench/interception_bench.sh: every request is a new TCP connection,
 * through a proxy's CONNECT (or straight to the origin), a new TLS handshake that
 * verifies the certificate against one CA file and the host's name, one GET with
 * "Connection: close", and the answer read to its end. The script builds it with
 *   cc -O2 -o interception_load interception_load.c -lssl -lcrypto -lpthread
 *
 *   interception_load load [OPTIONS] TARGET
 *       CLIENTS threads make requests back to back for SECONDS, then finish the ones
 *       under way; prints one line
 *         RESULT answers=N failed=N duration_us=N resumed=N latency_us=N p50_us=N
 *                p99_us=N connect=N proxy=N tls=N io=N answer=N issuer=...
 *   interception_load ttfb [OPTIONS] TARGET...
 *       ROUNDS rounds of one request to each target in turn, one at a time (the
 *       first round warms up and is not counted); prints one line per target
 *         TTFB name=NAME n=N failed=N resumed=N connected_us=N established_us=N
 *              secured_us=N first_us=N done_us=N issuer=...
 *       each a median of the times from the start of the TCP connect to: the
 *       connection made, the CONNECT's "200" read, the TLS handshake done, the first
 *       byte of the answer read, the answer's end (the whole length it announced).
 * TARGET is NAME,PROXY-PORT,HOST,PORT,CA-FILE; PROXY-PORT 0 goes straight to the
 * origin. Options: -c CLIENTS (16), -s SECONDS (5), -r ROUNDS (30), -p PATH
 * (/page.html), -b BODY-BYTES the answer's body must have (-1: any), -R resume TLS
 * sessions (each client keeps the last session it was given, per target).
 * Everything goes to 127.0.0.1.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

struct target {
    char name[64];
    int proxy_port; /* 0: straight to the origin */
    char host[256];
    int port;
    SSL_CTX *ctx;
    char issuer[512];
    pthread_mutex_t lock;
};

struct timing {
    double connected, established, secured, first, done; /* µs from the connect's start */
};

enum outcome { OK, E_CONNECT, E_PROXY, E_TLS, E_IO, E_ANSWER, OUTCOMES };

static const char *path = "/page.html";
static long body_bytes = -1;
static int resume;
static int complaints; /* the first few failures are told on stderr */
static pthread_mutex_t complaint_lock = PTHREAD_MUTEX_INITIALIZER;

static double now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static void complain(const char *what, const struct target *t) {
    pthread_mutex_lock(&complaint_lock);
    if (complaints++ < 5) {
        unsigned long e = ERR_peek_error();
        fprintf(stderr, "interception_load: %s: %s%s%s\n", t->name, what, e ? ": " : "",
                e ? ERR_error_string(e, NULL) : (errno ? strerror(errno) : ""));
    }
    pthread_mutex_unlock(&complaint_lock);
    ERR_clear_error();
}

static int dial(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons(port)};
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static int send_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return -1;
        p += w;
        n -= w;
    }
    return 0;
}

/* Reads the CONNECT's answer head and nothing past it: the TLS bytes that follow
 * belong to the handshake. */
static int proxy_answer(int fd) {
    char head[4096];
    size_t have = 0;
    for (;;) {
        ssize_t n = recv(fd, head + have, sizeof head - 1 - have, MSG_PEEK);
        if (n <= 0)
            return -1;
        head[have + n] = 0;
        char *end = strstr(head, "\r\n\r\n");
        size_t take = end ? (size_t)(end + 4 - head) - have : (size_t)n;
        if (recv(fd, head + have, take, 0) != (ssize_t)take)
            return -1;
        have += take;
        if (end)
            break;
        if (have >= sizeof head - 1)
            return -1;
    }
    head[have] = 0;
    return strncmp(head, "HTTP/1.", 7) == 0 && strncmp(head + 8, " 200", 4) == 0 ? 0 : -1;
}

/* The body's length from an answer head, -1 when it names none. */
static long content_length(const char *head) {
    for (const char *p = strstr(head, "\r\n"); p; p = strstr(p + 2, "\r\n")) {
        if (strncasecmp(p + 2, "content-length:", 15) == 0)
            return strtol(p + 17, NULL, 10);
    }
    return -1;
}

/* One request on a new connection. `session` is this client's last session for the
 * target (kept when resuming). */
static enum outcome exchange(struct target *t, SSL_SESSION **session, struct timing *tm,
                             int *resumed) {
    double t0 = now_us();
    *resumed = 0;
    int fd = dial(t->proxy_port ? t->proxy_port : t->port);
    if (fd < 0) {
        complain("connect", t);
        return E_CONNECT;
    }
    tm->connected = now_us() - t0;
    char line[1024];
    if (t->proxy_port) {
        int n = snprintf(line, sizeof line, "CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n\r\n", t->host,
                         t->port, t->host, t->port);
        if (send_all(fd, line, n) != 0 || proxy_answer(fd) != 0) {
            complain("CONNECT not answered 200", t);
            close(fd);
            return E_PROXY;
        }
    }
    tm->established = now_us() - t0;

    SSL *ssl = SSL_new(t->ctx);
    SSL_set_fd(ssl, fd);
    unsigned char ip[16];
    if (inet_pton(AF_INET, t->host, ip) == 1) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), t->host);
    } else {
        SSL_set_tlsext_host_name(ssl, t->host);
        SSL_set1_host(ssl, t->host);
    }
    if (resume && *session)
        SSL_set_session(ssl, *session);
    enum outcome result = E_TLS;
    if (SSL_connect(ssl) != 1) {
        complain("TLS handshake", t);
        goto out;
    }
    tm->secured = now_us() - t0;
    *resumed = SSL_session_reused(ssl);
    if (!t->issuer[0]) {
        pthread_mutex_lock(&t->lock);
        X509 *peer = SSL_get0_peer_certificate(ssl);
        if (peer && !t->issuer[0])
            X509_NAME_oneline(X509_get_issuer_name(peer), t->issuer, sizeof t->issuer);
        pthread_mutex_unlock(&t->lock);
    }

    int n = snprintf(line, sizeof line, "GET %s HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n\r\n",
                     path, t->host, t->port);
    result = E_IO;
    if (SSL_write(ssl, line, n) != n) {
        complain("request", t);
        goto out;
    }
    static __thread char buf[256 * 1024];
    char head[8192];
    size_t head_len = 0;
    long body = 0, expected = -2; /* -2: the head is not whole yet */
    int status = 0;
    for (;;) {
        int got = SSL_read(ssl, buf, sizeof buf);
        if (got <= 0) {
            int e = SSL_get_error(ssl, got);
            if (e == SSL_ERROR_ZERO_RETURN)
                break;
            complain("answer cut short", t);
            goto out;
        }
        if (tm->first == 0)
            tm->first = now_us() - t0;
        if (expected == -2) {
            size_t take = (size_t)got < sizeof head - 1 - head_len ? (size_t)got : sizeof head - 1 - head_len;
            memcpy(head + head_len, buf, take);
            head_len += take;
            head[head_len] = 0;
            char *end = strstr(head, "\r\n\r\n");
            if (end) {
                size_t head_size = end + 4 - head;
                sscanf(head, "HTTP/1.%*d %d", &status);
                expected = content_length(head);
                /* what came past the head in this read */
                body += got - (long)(head_size - (head_len - take));
            } else if (head_len >= sizeof head - 1) {
                result = E_ANSWER;
                goto out;
            }
        } else {
            body += got;
        }
        /* Whole once the length it announced is in, as browsers take it: a proxy
         * may close a while later. */
        if (expected >= 0 && body >= expected)
            break;
    }
    tm->done = now_us() - t0;
    result = status == 200 && (expected < 0 || body == expected) && (body_bytes < 0 || body == body_bytes)
                 ? OK
                 : E_ANSWER;
    if (result != OK) {
        pthread_mutex_lock(&complaint_lock);
        if (complaints++ < 5)
            fprintf(stderr, "interception_load: %s: status %d, body %ld bytes of %ld\n", t->name, status,
                    body, expected);
        pthread_mutex_unlock(&complaint_lock);
    }
    /* Freed without a shutdown, a session could not be resumed again. */
    SSL_set_quiet_shutdown(ssl, 1);
    SSL_shutdown(ssl);
    if (resume) {
        /* TLS 1.3 tickets come after the handshake: the session read last is the newest. */
        SSL_SESSION *s = SSL_get1_session(ssl);
        if (s && SSL_SESSION_is_resumable(s)) {
            SSL_SESSION_free(*session);
            *session = s;
        } else {
            SSL_SESSION_free(s);
        }
    }
out:
    SSL_free(ssl);
    close(fd);
    return result;
}

static SSL_CTX *client_context(const char *ca_file) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, NULL);
    /* A proxy that closes without close_notify has still sent the whole answer:
     * the length check says whether it did. */
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    if (SSL_CTX_load_verify_locations(ctx, ca_file, NULL) != 1) {
        fprintf(stderr, "interception_load: cannot read %s\n", ca_file);
        exit(2);
    }
    return ctx;
}

static void parse_target(const char *text, struct target *t) {
    char ca[1024];
    memset(t, 0, sizeof *t);
    if (sscanf(text, "%63[^,],%d,%255[^,],%d,%1023s", t->name, &t->proxy_port, t->host, &t->port, ca) != 5) {
        fprintf(stderr, "interception_load: bad target %s (NAME,PROXY-PORT,HOST,PORT,CA-FILE)\n", text);
        exit(2);
    }
    t->ctx = client_context(ca);
    pthread_mutex_init(&t->lock, NULL);
}

static int cmp_double(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

static double percentile(double *v, long n, double p) {
    if (n == 0)
        return 0;
    qsort(v, n, sizeof *v, cmp_double);
    long i = (long)(p * (n - 1) + 0.5);
    return v[i];
}

/* ---- load ---- */

struct client {
    pthread_t thread;
    struct target *t;
    double deadline;
    long outcomes[OUTCOMES], resumed;
    double *latency;
    long latencies, capacity;
};

static void *client_run(void *arg) {
    struct client *c = arg;
    SSL_SESSION *session = NULL;
    while (now_us() < c->deadline) {
        struct timing tm = {0};
        int resumed;
        enum outcome o = exchange(c->t, &session, &tm, &resumed);
        c->outcomes[o]++;
        if (o != OK)
            continue;
        c->resumed += resumed;
        if (c->latencies == c->capacity) {
            c->capacity = c->capacity ? 2 * c->capacity : 4096;
            c->latency = realloc(c->latency, c->capacity * sizeof *c->latency);
        }
        c->latency[c->latencies++] = tm.done;
    }
    SSL_SESSION_free(session);
    return NULL;
}

static int run_load(struct target *t, int clients, double seconds) {
    struct client *cs = calloc(clients, sizeof *cs);
    double start = now_us();
    for (int i = 0; i < clients; i++) {
        cs[i].t = t;
        cs[i].deadline = start + seconds * 1e6;
        if (pthread_create(&cs[i].thread, NULL, client_run, &cs[i]) != 0) {
            fprintf(stderr, "interception_load: cannot start client %d\n", i);
            exit(2);
        }
    }
    long outcomes[OUTCOMES] = {0}, resumed = 0, n = 0;
    for (int i = 0; i < clients; i++) {
        pthread_join(cs[i].thread, NULL);
        for (int k = 0; k < OUTCOMES; k++)
            outcomes[k] += cs[i].outcomes[k];
        resumed += cs[i].resumed;
        n += cs[i].latencies;
    }
    double duration = now_us() - start;
    double *all = malloc((n ? n : 1) * sizeof *all), sum = 0;
    long k = 0;
    for (int i = 0; i < clients; i++)
        for (long j = 0; j < cs[i].latencies; j++)
            sum += all[k++] = cs[i].latency[j];
    long failed = 0;
    for (int o = 1; o < OUTCOMES; o++)
        failed += outcomes[o];
    printf("RESULT answers=%ld failed=%ld duration_us=%.0f resumed=%ld latency_us=%.0f p50_us=%.0f "
           "p99_us=%.0f connect=%ld proxy=%ld tls=%ld io=%ld answer=%ld issuer=%s\n",
           outcomes[OK], failed, duration, resumed, n ? sum / n : 0, percentile(all, n, 0.5),
           percentile(all, n, 0.99), outcomes[E_CONNECT], outcomes[E_PROXY], outcomes[E_TLS], outcomes[E_IO],
           outcomes[E_ANSWER], t->issuer[0] ? t->issuer : "-");
    return 0;
}

/* ---- time to the first byte ---- */

static int run_ttfb(struct target *ts, int count, int rounds) {
    struct timing *tm = calloc((size_t)count * rounds, sizeof *tm);
    long *failed = calloc(count, sizeof *failed), *resumed = calloc(count, sizeof *resumed);
    long *good = calloc(count, sizeof *good);
    SSL_SESSION **sessions = calloc(count, sizeof *sessions);
    for (int r = 0; r < rounds; r++) {
        for (int k = 0; k < count; k++) {
            /* each round starts with another target, so none is always first */
            int i = (k + r) % count;
            struct timing one = {0};
            int reused;
            enum outcome o = exchange(&ts[i], &sessions[i], &one, &reused);
            if (r == 0)
                continue;
            if (o != OK) {
                failed[i]++;
                continue;
            }
            resumed[i] += reused;
            tm[(size_t)i * rounds + good[i]++] = one;
            usleep(2000); /* let the proxy finish with the connection just closed */
        }
    }
    double *v = malloc(rounds * sizeof *v);
    for (int i = 0; i < count; i++) {
        long n = good[i];
        struct timing *a = tm + (size_t)i * rounds;
        double med[5];
        for (int f = 0; f < 5; f++) {
            for (long j = 0; j < n; j++)
                v[j] = f == 0 ? a[j].connected : f == 1 ? a[j].established : f == 2 ? a[j].secured
                     : f == 3 ? a[j].first : a[j].done;
            med[f] = percentile(v, n, 0.5);
        }
        printf("TTFB name=%s n=%ld failed=%ld resumed=%ld connected_us=%.0f established_us=%.0f "
               "secured_us=%.0f first_us=%.0f done_us=%.0f issuer=%s\n",
               ts[i].name, n, failed[i], resumed[i], med[0], med[1], med[2], med[3], med[4],
               ts[i].issuer[0] ? ts[i].issuer : "-");
    }
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: interception_load load|ttfb [OPTIONS] TARGET...\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const char *mode = argv[1];
    int clients = 16, rounds = 30, opt;
    double seconds = 5;
    optind = 2;
    while ((opt = getopt(argc, argv, "c:s:r:p:b:R")) != -1) {
        switch (opt) {
        case 'c': clients = atoi(optarg); break;
        case 's': seconds = atof(optarg); break;
        case 'r': rounds = atoi(optarg); break;
        case 'p': path = optarg; break;
        case 'b': body_bytes = atol(optarg); break;
        case 'R': resume = 1; break;
        default: return 2;
        }
    }
    int count = argc - optind;
    if (count < 1) {
        fprintf(stderr, "interception_load: no target\n");
        return 2;
    }
    struct target *ts = calloc(count, sizeof *ts);
    for (int i = 0; i < count; i++)
        parse_target(argv[optind + i], &ts[i]);
    if (strcmp(mode, "load") == 0)
        return run_load(&ts[0], clients, seconds);
    if (strcmp(mode, "ttfb") == 0)
        return run_ttfb(ts, count, rounds < 2 ? 2 : rounds);
    fprintf(stderr, "interception_load: unknown mode %s\n", mode);
    return 2;
}
