/* The C API as a C program uses it: wrong use of every kind ("wrong"), and a host with players
 * as processes over both families, one killed and started again on its address ("session"). */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "portnet/portnet_c.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

static int failures;
static void Eq(long long a, long long b, const char* what, int line) {
    if (a != b) fprintf(stderr, "line %d: %s is %lld, not %lld\n", line, what, a, b);
    failures += a != b;
}
#define EQ(a, b) Eq((long long)(a), (long long)(b), #a, __LINE__)
#define CHECK(c) EQ(!!(c), 1)

enum { kChat = 0, kBall = 1, kPorts = 2, kBallSize = 16 };

static int Ports(portnet_handle m, int host) {
    if (portnet_message_port(m, kChat) != PORTNET_OK ||
        portnet_state_port(m, kBall, kBallSize, 16) != PORTNET_OK)
        return -1;
    portnet_peer_ports(m, kChat, 1, 1);
    return portnet_peer_ports(m, kBall, !host, host);
}

/* Frames of a and b on the manual clock until m has an event of type (0: any; others are
 * passed over): the poll's status, PORTNET_NONE when none came. */
static int Next(portnet_handle a, portnet_handle b, portnet_handle m, int type, portnet_event* ev,
                void* buf, int32_t size) {
    static int32_t now = 0;
    int i, st;
    for (i = 0; i < 200; ++i) {
        while ((st = portnet_poll(m, ev, buf, size)) != PORTNET_NONE)
            if (st != PORTNET_OK || type == 0 || ev->type == type) return st;
        portnet_time_set(now += 16);
        portnet_time_update(NULL);
        portnet_frame(a);
        portnet_frame(b);
    }
    return PORTNET_NONE;
}

/* A server and a connection on a simulated network, connected. */
static int Pair(portnet_handle* srv, portnet_handle* conn, portnet_handle* x) {
    portnet_handle net, y;
    portnet_event ev;
    return portnet_time_manual(1) == PORTNET_OK && portnet_sim_network_create(1, 0, &net) == 0 &&
           portnet_sim_endpoint_create(net, 1, 0, x) == 0 &&
           portnet_sim_endpoint_create(net, 2, 0, &y) == 0 &&
           portnet_server_create(*x, kPorts, 4, srv) == 0 &&
           portnet_connection_create(y, kPorts, conn) == 0 && Ports(*srv, 1) == 0 &&
           Ports(*conn, 0) == 0 && portnet_connect(*conn, "LOCAL:1") == 0 &&
           Next(*srv, *conn, *srv, PORTNET_EVENT_JOINED, &ev, NULL, 0) == PORTNET_OK;
}

/* Each code of lo..hi in words of its own. */
static void Distinct(const char* (*text)(int32_t), int lo, int hi) {
    int i, j;
    for (i = lo; i <= hi; ++i)
        for (j = lo; j <= hi; ++j)
            CHECK(text(i) && text(i)[0] && (i == j) == (strcmp(text(i), text(j)) == 0));
}

static int WrongUse(void) {
    portnet_handle a, b, c, old, x, srv, conn;
    portnet_event ev;
    char text[PORTNET_MAX_ADDRESS];
    unsigned char buf[PORTNET_MAX_MESSAGE + 1], ball[kBallSize];
    int32_t kind = 0, ma = -1, mi = -1, pa = -1;
    int i, n;

    /* Every status in words, and no word for a code that is none. */
    Distinct(portnet_status_text, PORTNET_E_FRAME - 1, PORTNET_NONE);
    CHECK(strcmp(portnet_status_text(PORTNET_E_FRAME - 1), "unknown status") == 0);
    CHECK(strcmp(portnet_status_text(2), "unknown status") == 0);
    Distinct(portnet_gone_text, PORTNET_GONE_LEFT, PORTNET_GONE_REFUSED);
    Distinct(portnet_refusal_text, PORTNET_REFUSED_FULL, PORTNET_REFUSED_STALE);
    EQ(portnet_loopback_create(1, &a), PORTNET_E_NOT_INITIALIZED);
    EQ(portnet_init(65536), PORTNET_E_ARGUMENT);
    EQ(portnet_init(-1), PORTNET_E_ARGUMENT);
    EQ(portnet_init(2), PORTNET_OK);
    EQ(portnet_init(2), PORTNET_E_FAILED);
    EQ(portnet_version(&ma, &mi, &pa), PORTNET_OK);
    CHECK(ma == PORTNET_VERSION_MAJOR && mi == PORTNET_VERSION_MINOR &&
          pa == PORTNET_VERSION_PATCH);
    EQ(portnet_version(NULL, &mi, &pa), PORTNET_E_ARGUMENT);

    /* A table of two; a destroyed handle stays dead when its slot is taken again. */
    EQ(portnet_loopback_create(1, &a), PORTNET_OK);
    EQ(portnet_loopback_create(2, &b), PORTNET_OK);
    EQ(portnet_loopback_create(3, &c), PORTNET_E_TABLE_FULL);
    old = a;
    EQ(portnet_destroy(a), PORTNET_OK);
    EQ(portnet_destroy(old), PORTNET_E_STALE_HANDLE);
    EQ(portnet_loopback_create(3, &c), PORTNET_OK);
    CHECK(c != old);
    EQ(portnet_handle_kind(old, &kind), PORTNET_E_STALE_HANDLE);
    EQ(portnet_driver_address(old, text, sizeof text), PORTNET_E_STALE_HANDLE);
    EQ(portnet_handle_kind(c, &kind), PORTNET_OK);
    EQ(kind, PORTNET_KIND_LOOPBACK);
    EQ(portnet_handle_kind(c, NULL), PORTNET_E_ARGUMENT);
    EQ(portnet_handle_kind(PORTNET_NULL_HANDLE, &kind), PORTNET_E_NULL_HANDLE);
    CHECK(portnet_handle_kind(c ^ ((uint64_t)1 << 62), &kind) < 0); /* forged */
    EQ(portnet_frame(c), PORTNET_E_WRONG_KIND);
    EQ(portnet_connect(b, "LOCAL:3"), PORTNET_E_WRONG_KIND);

    /* Buffers exactly one byte too small, then just large enough. */
    EQ(portnet_driver_address(b, text, 7), PORTNET_E_BUFFER_TOO_SMALL);
    EQ(portnet_driver_address(b, text, 8), PORTNET_OK);
    CHECK(strcmp(text, "LOCAL:2") == 0);
    EQ(portnet_shutdown(), PORTNET_OK);

    EQ(portnet_init(0), PORTNET_OK);
    CHECK(Pair(&srv, &conn, &x));
    EQ(portnet_destroy(x), PORTNET_E_IN_USE);
    EQ(portnet_message_port(srv, kPorts), PORTNET_E_PORT);
    CHECK(portnet_state_port(srv, kBall, PORTNET_MAX_STATE + 1, 16) < 0);
    EQ(portnet_peer_address(srv, 0, text, 7), PORTNET_E_BUFFER_TOO_SMALL);
    EQ(portnet_peer_address(srv, 0, text, 8), PORTNET_OK);
    CHECK(strcmp(text, "LOCAL:2") == 0);
    EQ(Next(srv, conn, conn, PORTNET_EVENT_CONNECTED, &ev, buf, sizeof buf), PORTNET_OK);
    EQ(portnet_connect(conn, "300.1.2.3:5"), PORTNET_E_ADDRESS);
    EQ(portnet_last_error(text, sizeof text), PORTNET_OK);
    n = (int)strlen(text);
    CHECK(n > 0);
    EQ(portnet_last_error((char*)buf, n), PORTNET_E_BUFFER_TOO_SMALL);
    EQ(portnet_last_error((char*)buf, n + 1), PORTNET_OK);

    /* A message longer than the poll's buffer stays queued, in its place, for a larger one. */
    memset(buf, 'm', sizeof buf);
    CHECK(portnet_send_message(conn, 0, kChat, buf, PORTNET_MAX_MESSAGE + 1) < 0);
    CHECK(portnet_send_message(conn, 0, kChat, buf, 0) < 0);
    EQ(portnet_send_message(conn, 0, kBall, buf, 4), PORTNET_E_PORT);
    EQ(portnet_send_message(conn, 0, kChat, buf, PORTNET_MAX_MESSAGE), PORTNET_OK);
    EQ(portnet_send_message(conn, 0, kChat, "four", 5), PORTNET_OK);
    EQ(Next(srv, conn, srv, 0, &ev, buf, PORTNET_MAX_MESSAGE - 1), PORTNET_E_BUFFER_TOO_SMALL);
    EQ(ev.length, PORTNET_MAX_MESSAGE);
    EQ(portnet_poll(srv, &ev, buf, PORTNET_MAX_MESSAGE), PORTNET_OK);
    CHECK(ev.type == PORTNET_EVENT_MESSAGE && ev.length == PORTNET_MAX_MESSAGE);
    EQ(Next(srv, conn, srv, 0, &ev, buf, 4), PORTNET_E_BUFFER_TOO_SMALL);
    EQ(ev.length, 5);
    EQ(portnet_poll(srv, &ev, buf, 5), PORTNET_OK);
    CHECK(strcmp((char*)buf, "four") == 0);

    /* Nine unacknowledged messages fill the queue; all nine arrive, in order. */
    for (n = 0; n < 12 && portnet_send_message(srv, ev.slot, kChat, &n, 4) == PORTNET_OK; ++n) {
    }
    EQ(n, 9);
    EQ(portnet_send_message(srv, ev.slot, kChat, &n, 4), PORTNET_E_QUEUE_FULL);
    EQ(portnet_send_message(srv, ev.slot + 1, kChat, &n, 4), PORTNET_E_NO_PEER);
    for (i = 0; i < 9; ++i) {
        EQ(Next(srv, conn, conn, PORTNET_EVENT_MESSAGE, &ev, buf, sizeof buf), PORTNET_OK);
        CHECK(memcmp(buf, &i, 4) == 0);
    }

    /* A state read into one byte too few. */
    memset(ball, 7, sizeof ball);
    EQ(portnet_set_state(srv, 0, kBall, ball, kBallSize + 1) < 0, 1);
    EQ(portnet_set_state(srv, 0, kBall, ball, kBallSize), PORTNET_OK);
    for (i = 0; i < 20 && memcmp(buf, ball, kBallSize) != 0; ++i) {
        EQ(Next(srv, conn, conn, PORTNET_EVENT_STATE, &ev, NULL, 0), PORTNET_OK);
        EQ(portnet_get_state(conn, 0, kBall, buf, kBallSize - 1), PORTNET_E_BUFFER_TOO_SMALL);
        EQ(portnet_get_state(conn, 0, kBall, buf, kBallSize), PORTNET_OK);
    }
    CHECK(memcmp(buf, ball, kBallSize) == 0);

    EQ(portnet_destroy(srv), PORTNET_OK);
    EQ(portnet_destroy(x), PORTNET_OK);
    EQ(portnet_frame(srv), PORTNET_E_STALE_HANDLE);
    EQ(portnet_shutdown(), PORTNET_OK);
    EQ(portnet_frame(conn), PORTNET_E_NOT_INITIALIZED);
    return failures ? 1 : 0;
}

/* What the header promises and the library does not (yet) do. */
static int Promises(void) {
    portnet_handle a, b, srv, conn, x;
    portnet_event ev;
    int32_t kind;
    /* A handle kept across portnet_shutdown names an object destroyed: never one of the new
     * table that took its place (a binding's late Dispose would destroy the new one). */
    EQ(portnet_init(0), PORTNET_OK);
    EQ(portnet_loopback_create(1, &a), PORTNET_OK);
    EQ(portnet_shutdown(), PORTNET_OK);
    EQ(portnet_init(0), PORTNET_OK);
    EQ(portnet_loopback_create(2, &b), PORTNET_OK);
    EQ(portnet_handle_kind(a, &kind), PORTNET_E_STALE_HANDLE);
    EQ(portnet_destroy(a), PORTNET_E_STALE_HANDLE);
    EQ(portnet_handle_kind(b, &kind), PORTNET_OK);
    /* Bind text that names no address is E_ADDRESS, as it is for portnet_connect. */
    EQ(portnet_udp_create("300.1.2.3:5", &a), PORTNET_E_ADDRESS);
    /* Events come in the order they happened: a state from the host comes after its welcome. */
    CHECK(Pair(&srv, &conn, &x));
    EQ(Next(srv, conn, conn, 0, &ev, NULL, 0), PORTNET_OK);
    EQ(ev.type, PORTNET_EVENT_CONNECTED);
    EQ(portnet_shutdown(), PORTNET_OK);
    return failures ? 1 : 0;
}

#ifndef _WIN32
static void Nap(void) {
    struct timespec t = {0, 5 * 1000 * 1000};
    nanosleep(&t, NULL);
}

/* A player: a numbered line every third frame; 0 once the host says "bye", having said
 * "welcome" first and moved the ball past 50. */
static int Player(const char* bind, const char* host) {
    portnet_handle udp, c;
    portnet_event ev;
    char buf[PORTNET_MAX_MESSAGE], line[16];
    unsigned char ball[kBallSize];
    int f, sent = 0, connected = 0, welcomed = 0, seen = 0;
    if (portnet_init(0) != PORTNET_OK || portnet_udp_create(bind, &udp) != PORTNET_OK ||
        portnet_connection_create(udp, kPorts, &c) != PORTNET_OK || Ports(c, 0) != PORTNET_OK ||
        portnet_connect(c, host) != PORTNET_OK)
        return 2;
    for (f = 0; f < 4000; ++f, Nap()) {
        portnet_time_update(NULL);
        sprintf(line, "%d", sent);
        if (connected && f % 3 == 0 &&
            portnet_send_message(c, 0, kChat, line, (int32_t)strlen(line) + 1) == PORTNET_OK)
            ++sent;
        portnet_frame(c);
        while (portnet_poll(c, &ev, buf, sizeof buf) == PORTNET_OK) {
            connected |= ev.type == PORTNET_EVENT_CONNECTED;
            if (ev.type == PORTNET_EVENT_LOST || ev.type == PORTNET_EVENT_FAILED) return 4;
            if (ev.type == PORTNET_EVENT_STATE &&
                portnet_get_state(c, 0, kBall, ball, kBallSize) == PORTNET_OK)
                seen = ball[0] | ball[1] << 8;
            if (ev.type == PORTNET_EVENT_MESSAGE) welcomed |= strcmp(buf, "welcome") == 0;
            if (ev.type == PORTNET_EVENT_MESSAGE && strcmp(buf, "bye") == 0)
                return welcomed && seen > 50 ? 0 : 3;
        }
    }
    return 5;
}

static pid_t Spawn(const char* self, const char* bind, const char* host) {
    pid_t pid = fork();
    if (pid == 0) {
        execl(self, self, "player", bind, host, (char*)NULL);
        _exit(6);
    }
    return pid;
}

static int Exited(pid_t pid, int* code) {
    int st;
    if (pid <= 0 || waitpid(pid, &st, WNOHANG) != pid) return 0;
    *code = WIFEXITED(st) ? WEXITSTATUS(st) : 100;
    return 1;
}

/* The host on [::]: player A over ::1, B over 127.0.0.1. A is killed after 20 lines and started
 * again on its address; the host sees A's slot end once, every line of each player once and
 * in order, and says "bye" when A's second life and B have said enough. */
static int Session(const char* self) {
    portnet_handle udp, s;
    portnet_event ev;
    char addr[PORTNET_MAX_ADDRESS], v4[80], v6[80], a_addr[PORTNET_MAX_ADDRESS] = "";
    char buf[PORTNET_MAX_MESSAGE];
    unsigned char ball[kBallSize] = {0};
    int expect[4] = {0}, slot_of_a = -1, slot_of_b = -1, joins = 0, a_joins = 0, a_left = 0,
        bye = 0;
    int f, a_code = -1, b_code = -1, a_done = 0, b_done = 0;
    pid_t a, b;
    if (portnet_init(0) != PORTNET_OK || portnet_udp_create("[::]:0", &udp) != PORTNET_OK ||
        portnet_server_create(udp, kPorts, 4, &s) != PORTNET_OK || Ports(s, 1) != PORTNET_OK ||
        portnet_driver_address(udp, addr, sizeof addr) != PORTNET_OK)
        return 2;
    portnet_set_option(s, PORTNET_OPT_IDLE_LIMIT_MS, 1500);
    sprintf(v4, "127.0.0.1:%s", strrchr(addr, ':') + 1);
    sprintf(v6, "[::1]:%s", strrchr(addr, ':') + 1);
    a = Spawn(self, "[::1]:0", v6);
    b = Spawn(self, "127.0.0.1:0", v4);
    for (f = 0; f < 3000 && !(a_done && b_done); ++f, Nap()) {
        portnet_time_update(NULL);
        ball[0] = (unsigned char)f;
        ball[1] = (unsigned char)(f >> 8);
        portnet_set_state(s, 0, kBall, ball, kBallSize);
        portnet_frame(s);
        while (portnet_poll(s, &ev, buf, sizeof buf) == PORTNET_OK) {
            if (ev.type == PORTNET_EVENT_JOINED) {
                ++joins;
                expect[ev.slot] = 0;
                portnet_send_message(s, ev.slot, kChat, "welcome", 8);
                if (strncmp(ev.address, "[::1]:", 6) == 0) {
                    CHECK(a_addr[0] == '\0' || strcmp(a_addr, ev.address) == 0);
                    strcpy(a_addr, ev.address);
                    slot_of_a = ev.slot;
                    ++a_joins;
                } else {
                    CHECK(strncmp(ev.address, "127.0.0.1:", 10) == 0);
                    slot_of_b = ev.slot;
                }
            } else if (ev.type == PORTNET_EVENT_MESSAGE) {
                EQ(atoi(buf), expect[ev.slot]++);
            } else if (ev.type == PORTNET_EVENT_LEFT && ev.slot == slot_of_a && !bye) {
                CHECK(ev.reason == PORTNET_GONE_RESTARTED ||
                      ev.reason == PORTNET_GONE_UNREACHABLE || ev.reason == PORTNET_GONE_TIMED_OUT);
                ++a_left;
            }
        }
        if (a_joins == 1 && !a_left && expect[slot_of_a] >= 20 && a_code < 0) { /* kill, restart */
            kill(a, SIGKILL);
            waitpid(a, NULL, 0);
            a = Spawn(self, a_addr, v6);
            a_code = -2;
        }
        if (!bye && a_joins == 2 && slot_of_b >= 0 && expect[slot_of_a] >= 20 &&
            expect[slot_of_b] >= 40)
            bye = portnet_send_message(s, slot_of_a, kChat, "bye", 4) == PORTNET_OK &&
                  portnet_send_message(s, slot_of_b, kChat, "bye", 4) == PORTNET_OK;
        a_done |= a_joins == 2 && Exited(a, &a_code);
        b_done |= Exited(b, &b_code);
    }
    EQ(joins, 3);
    EQ(a_joins, 2);
    EQ(a_left, 1);
    EQ(bye, 1);
    EQ(a_code, 0);
    EQ(b_code, 0);
    if (!a_done) kill(a, SIGKILL);
    if (!b_done) kill(b, SIGKILL);
    portnet_shutdown();
    return failures ? 1 : 0;
}
#endif

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "wrong") == 0) return WrongUse();
    if (argc > 1 && strcmp(argv[1], "promises") == 0) return Promises();
#ifndef _WIN32
    if (argc > 1 && strcmp(argv[1], "session") == 0) return Session(argv[0]);
    if (argc > 3 && strcmp(argv[1], "player") == 0) return Player(argv[2], argv[3]);
#endif
    fprintf(stderr, "usage: %s wrong|promises|session\n", argv[0]);
    return 2;
}
