/* halyard-capture: the only program of halyard that holds a right. It keeps
 * cap_net_raw (a file capability; root may run it too) and gives up every
 * other capability before it reads its first request. It serves one client,
 * its parent, over the socket pair on descriptor 3, and does for it exactly
 * what the packet driver does: enumerate the Ethernet interfaces, open one
 * with a fixed filter for the two HomePlug EtherTypes, send a HomePlug frame
 * in the name of the interface or of an adapter heard on it, hand over the
 * frames captured, close. The raw socket never leaves this process.
 *
 * It reads no configuration, plugin or locale file and clears its
 * environment. It ends when the client closes its end or dies.
 * docs/capture-helper.md is the protocol's description. */
#include <errno.h>
#include <linux/capability.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "capture/protocol.h"

#define MAX_LEARNED 64     /* adapters remembered per interface */
#define MAX_SLOTS 16       /* open and parked handles */
#define PARK_MS 1000       /* a closed handle stays parked this long */
#define MAX_DISCARD 100000 /* frames dropped from a handle taken back */
#define DISPATCH_BURST 64  /* frames taken from one handle per wake-up */
/* After a request or a frame the helper polls without sleeping this long:
 * an exchange is a request followed by an answer within tens of
 * microseconds, and waking a sleeping process costs as much again, twice per
 * frame. It yields the processor on every empty poll, so that on a busy
 * machine the spin costs others nothing. Idle, it sleeps in poll. */
#define SPIN_NS 200000
/* A transfer sends a block, takes its confirmation and pauses 2 ms before the
 * next. While SENDs come at most BURST_GAP_NS apart, the helper sleeps after
 * one until WAKE_EARLY_NS before the next is due (the last gap again) and
 * spins from there, for up to twice the gap: the next block is served without
 * a wake-up, and the pause costs no processor time. */
#define BURST_GAP_NS 5000000
#define WAKE_EARLY_NS 400000

struct interface {
    char name[HC_MAX_NAME + 1];
    uint8_t mac[6];
    uint8_t learned[MAX_LEARNED][6]; /* sources heard on it: the adapters */
    int learned_count, learned_next;
};

enum { FREE, ACTIVE, PARKED };
struct handle {
    int state;
    uint16_t id;
    int iface; /* index into interfaces */
    unsigned ifindex;
    pcap_t* pcap;
    int fd;
    int faulted;
    long long parked_at;
};

static struct interface interfaces[HC_MAX_INTERFACES];
static int interface_count;
static struct handle handles[MAX_SLOTS];
static uint16_t last_id;
static int client = HC_SOCKET_FD;
/* A frame the socket had no room for: sent before anything else, and no
 * handle is read until it is out, so frames wait in the kernel's capture
 * buffers rather than being dropped. */
static uint8_t pending[HC_MAX_MESSAGE];
static size_t pending_length;

/* The fixed filter: EtherType 0x887B or 0x88E1, whole frame accepted. */
static struct bpf_insn filter_code[] = {
    {0x28, 0, 0, 12}, {0x15, 2, 0, HC_ETHERTYPE_HP10}, {0x15, 1, 0, HC_ETHERTYPE_AV},
    {0x06, 0, 0, 0},  {0x06, 0, 0, 0x0000ffff},
};

static long long now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000 + t.tv_nsec;
}

static void quit(const char* why) {
    if (why != NULL)
        fprintf(stderr, "halyard-capture: %s\n", why);
    _exit(why == NULL ? 0 : 1);
}

/* Writes one message; waits while the socket is full, never for a client
 * that is gone. */
static void put(const uint8_t* message, size_t length) {
    for (;;) {
        if (send(client, message, length, MSG_DONTWAIT | MSG_NOSIGNAL) == (ssize_t)length)
            return;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            quit(NULL); /* EPIPE, ECONNRESET: the client is gone */
        struct pollfd p = {client, POLLOUT, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            quit("poll failed");
        if (p.revents & (POLLHUP | POLLERR))
            quit(NULL);
    }
}

static void flush_pending(void) {
    if (pending_length > 0) {
        put(pending, pending_length);
        pending_length = 0;
    }
}

static void reply(uint8_t type, uint16_t handle, const void* body, size_t length) {
    uint8_t message[HC_MAX_MESSAGE];
    message[0] = type;
    message[1] = 0;
    memcpy(message + 2, &handle, 2);
    if (length > 0)
        memcpy(message + HC_HEADER_SIZE, body, length);
    flush_pending();
    put(message, HC_HEADER_SIZE + length);
}

static void reply_error(uint8_t request, uint16_t handle, uint8_t code, const char* text) {
    uint8_t body[2 + HC_MAX_ERROR_TEXT];
    size_t n = strnlen(text, HC_MAX_ERROR_TEXT);
    body[0] = request;
    body[1] = code;
    memcpy(body + 2, text, n);
    reply(HC_ERROR, handle, body, 2 + n);
}

/* Keeps cap_net_raw (when held) and nothing else, in every set, for good. */
static void drop_capabilities(void) {
    for (int c = 0; c <= 63; ++c)
        if (c != CAP_NET_RAW)
            prctl(PR_CAPBSET_DROP, c, 0, 0, 0); /* fails harmlessly without CAP_SETPCAP */
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2];
    memset(data, 0, sizeof data);
    if (syscall(SYS_capget, &header, data) != 0)
        quit("cannot read the capabilities");
    const uint32_t raw = 1u << (CAP_NET_RAW % 32);
    const int word = CAP_NET_RAW / 32;
    uint32_t held = data[word].permitted & raw;
    memset(data, 0, sizeof data);
    data[word].permitted = held;
    data[word].effective = held;
    if (syscall(SYS_capset, &header, data) != 0)
        quit("cannot give up capabilities");
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        quit("cannot set no_new_privs");
}

/* The Ethernet address of a listed interface: its link-layer (AF_PACKET)
 * entry, which the library lists for every interface. */
static int hardware_address(const pcap_if_t* e, uint8_t mac[6]) {
    for (const pcap_addr_t* a = e->addresses; a != NULL; a = a->next) {
        const struct sockaddr_ll* link = (const struct sockaddr_ll*)a->addr;
        if (link != NULL && link->sll_family == AF_PACKET && link->sll_hatype == ARPHRD_ETHER &&
            link->sll_halen == 6) {
            memcpy(mac, link->sll_addr, 6);
            return 1;
        }
    }
    return 0;
}

static void close_slot(struct handle* h) {
    if (h->state != FREE)
        pcap_close(h->pcap);
    memset(h, 0, sizeof *h);
}

static int find_in(const struct interface* list, int count, const char* name) {
    for (int i = 0; i < count; ++i)
        if (strcmp(list[i].name, name) == 0)
            return i;
    return -1;
}

static int find_interface(const char* name) {
    return find_in(interfaces, interface_count, name);
}

/* Lists the Ethernet interfaces with a hardware address, at most 8, into
 * `interfaces` and the reply's `body`; what was learned of an interface
 * listed before is kept. Returns the body's length, 0 with `error` filled
 * when the library cannot list. */
static size_t enumerate(uint8_t* body, char* error) {
    pcap_if_t* list = NULL;
    if (pcap_findalldevs(&list, error) != 0)
        return 0;
    struct interface fresh[HC_MAX_INTERFACES];
    size_t at = 1;
    int count = 0;
    for (pcap_if_t* e = list; e != NULL && count < HC_MAX_INTERFACES; e = e->next) {
        uint8_t mac[6];
        if (e->name == NULL || (e->flags & PCAP_IF_LOOPBACK) || strlen(e->name) > HC_MAX_NAME ||
            !hardware_address(e, mac))
            continue;
        int old = find_interface(e->name);
        fresh[count] = old >= 0 ? interfaces[old] : (struct interface){0};
        strcpy(fresh[count].name, e->name);
        memcpy(fresh[count].mac, mac, 6);
        size_t name_length = strlen(e->name);
        size_t description_length =
            e->description ? strnlen(e->description, HC_MAX_DESCRIPTION) : 0;
        memcpy(body + at, mac, 6);
        body[at + 6] = (uint8_t)name_length;
        memcpy(body + at + 7, e->name, name_length);
        at += 7 + name_length;
        body[at] = (uint8_t)description_length;
        if (description_length > 0)
            memcpy(body + at + 1, e->description, description_length);
        at += 1 + description_length;
        ++count;
    }
    pcap_freealldevs(list);
    /* Handles of interfaces no longer listed, or listed under a new index, end. */
    for (int i = 0; i < MAX_SLOTS; ++i) {
        struct handle* h = &handles[i];
        if (h->state == FREE)
            continue;
        const char* name = interfaces[h->iface].name;
        int still = find_in(fresh, count, name);
        if (still < 0 || if_nametoindex(name) != h->ifindex) {
            if (h->state == PARKED)
                close_slot(h);
            else
                h->faulted = 1, h->iface = 0; /* refuses sends; the client closes it */
        } else {
            h->iface = still;
        }
    }
    memcpy(interfaces, fresh, sizeof fresh);
    interface_count = count;
    body[0] = (uint8_t)count;
    return at;
}

static void do_enumerate(void) {
    uint8_t body[HC_MAX_MESSAGE];
    char error[PCAP_ERRBUF_SIZE] = "";
    size_t length = enumerate(body, error);
    if (length == 0)
        reply_error(HC_ENUMERATE, 0, HC_FAILED, error);
    else
        reply(HC_INTERFACES, 0, body, length);
}

static struct handle* take_back_parked(int iface) {
    unsigned ifindex = if_nametoindex(interfaces[iface].name);
    for (int i = 0; i < MAX_SLOTS; ++i) {
        struct handle* h = &handles[i];
        if (h->state != PARKED || strcmp(interfaces[h->iface].name, interfaces[iface].name) != 0)
            continue;
        if (h->ifindex != ifindex) {
            close_slot(h);
            continue;
        }
        /* What arrived while it was parked would not be there on a fresh open. */
        struct pcap_pkthdr* header;
        const u_char* bytes;
        int got = 1;
        for (int n = 0; n < MAX_DISCARD && got == 1; ++n)
            got = pcap_next_ex(h->pcap, &header, &bytes);
        if (got == 0) {
            h->iface = iface;
            return h;
        }
        close_slot(h);
    }
    return NULL;
}

static struct handle* free_slot(void) {
    struct handle* oldest = NULL;
    for (int i = 0; i < MAX_SLOTS; ++i) {
        if (handles[i].state == FREE)
            return &handles[i];
        if (handles[i].state == PARKED &&
            (oldest == NULL || handles[i].parked_at < oldest->parked_at))
            oldest = &handles[i];
    }
    if (oldest != NULL)
        close_slot(oldest);
    return oldest;
}

static uint16_t next_id(void) {
    for (;;) {
        if (++last_id == 0)
            last_id = 1;
        int used = 0;
        for (int i = 0; i < MAX_SLOTS; ++i)
            used |= handles[i].state == ACTIVE && handles[i].id == last_id;
        if (!used)
            return last_id;
    }
}

static int active_count(void) {
    int n = 0;
    for (int i = 0; i < MAX_SLOTS; ++i)
        n += handles[i].state == ACTIVE;
    return n;
}

static void do_open(const struct hc_request* r) {
    char name[HC_MAX_NAME + 1];
    memcpy(name, r->body, r->body_length);
    name[r->body_length] = 0;
    int iface = find_interface(name);
    if (iface < 0) { /* perhaps new since the client's last enumeration */
        uint8_t body[HC_MAX_MESSAGE];
        char error[PCAP_ERRBUF_SIZE];
        enumerate(body, error);
        iface = find_interface(name);
    }
    if (iface < 0) {
        reply_error(HC_OPEN, 0, HC_REFUSED, "interface is not one the helper lists");
        return;
    }
    if (active_count() >= HC_MAX_HANDLES) {
        reply_error(HC_OPEN, 0, HC_REFUSED, "too many open handles");
        return;
    }
    struct handle* h = take_back_parked(iface);
    if (h == NULL) {
        char error[PCAP_ERRBUF_SIZE] = "";
        pcap_t* p = pcap_create(name, error);
        if (p == NULL) {
            reply_error(HC_OPEN, 0,
                        errno == EPERM || errno == EACCES ? HC_PERMISSION_DENIED : HC_FAILED,
                        error);
            return;
        }
        pcap_set_snaplen(p, HC_MAX_CAPTURE);
        pcap_set_promisc(p, 1);
        pcap_set_timeout(p, 1);
        pcap_set_immediate_mode(p, 1);
        int status = pcap_activate(p);
        struct bpf_program program = {sizeof filter_code / sizeof filter_code[0], filter_code};
        const char* failed = NULL;
        if (status < 0)
            failed = pcap_statustostr(status);
        /* Incoming only: the host's own requests never come back as answers. */
        else if (pcap_setdirection(p, PCAP_D_IN) != 0 || pcap_setfilter(p, &program) != 0 ||
                 pcap_setnonblock(p, 1, error) != 0)
            failed = pcap_geterr(p);
        if (failed != NULL) {
            char text[HC_MAX_ERROR_TEXT + 1];
            snprintf(text, sizeof text, "%s: %s", failed, pcap_geterr(p));
            int denied =
                status == PCAP_ERROR_PERM_DENIED || status == PCAP_ERROR_PROMISC_PERM_DENIED;
            pcap_close(p);
            reply_error(HC_OPEN, 0, denied ? HC_PERMISSION_DENIED : HC_FAILED, text);
            return;
        }
        h = free_slot();
        h->pcap = p;
        h->fd = pcap_get_selectable_fd(p);
        h->iface = iface;
        h->ifindex = if_nametoindex(name);
    }
    h->state = ACTIVE;
    h->faulted = 0;
    h->id = next_id();
    reply(HC_OPENED, h->id, NULL, 0);
}

static struct handle* active_handle(uint16_t id) {
    for (int i = 0; i < MAX_SLOTS; ++i)
        if (handles[i].state == ACTIVE && handles[i].id == id)
            return &handles[i];
    return NULL;
}

static int may_send_as(const struct interface* in, const uint8_t* source) {
    if (memcmp(source, in->mac, 6) == 0)
        return 1;
    for (int i = 0; i < in->learned_count; ++i)
        if (memcmp(source, in->learned[i], 6) == 0)
            return 1;
    return 0;
}

/* When the last SEND was served, and the gap before it (0: none yet). */
static long long last_send_ns, last_send_gap_ns;

static void do_send(const struct hc_request* r) {
    long long now = now_ns();
    last_send_gap_ns = last_send_ns ? now - last_send_ns : 0;
    last_send_ns = now;
    struct handle* h = active_handle(r->handle);
    const char* refused = hc_check_send_frame(r->body, r->body_length);
    if (h == NULL)
        refused = "no such handle";
    else if (h->faulted)
        refused = "the interface is gone";
    else if (refused == NULL && !may_send_as(&interfaces[h->iface], r->body + 6))
        refused = "source address is neither the interface's nor an adapter's heard on it";
    if (refused != NULL) {
        reply_error(HC_SEND, r->handle, HC_REFUSED, refused);
        return;
    }
    if (pcap_sendpacket(h->pcap, r->body, (int)r->body_length) != 0)
        reply_error(HC_SEND, r->handle, HC_FAILED, pcap_geterr(h->pcap));
    /* Sent: no reply, the client goes on at once. */
}

static void do_close(const struct hc_request* r) {
    struct handle* h = active_handle(r->handle);
    if (h == NULL) {
        reply_error(HC_CLOSE, r->handle, HC_REFUSED, "no such handle");
        return;
    }
    /* Closing a packet socket costs the kernel tens of milliseconds, and a
     * scan closes and reopens every interface: park the handle a second. */
    if (h->faulted) {
        close_slot(h);
    } else {
        h->state = PARKED;
        h->parked_at = now_ns() / 1000000;
    }
    reply(HC_CLOSED, r->handle, NULL, 0);
}

static void learn(struct interface* in, const uint8_t* source) {
    if ((source[0] & 1) || may_send_as(in, source))
        return;
    memcpy(in->learned[in->learned_next], source, 6);
    in->learned_next = (in->learned_next + 1) % MAX_LEARNED;
    if (in->learned_count < MAX_LEARNED)
        ++in->learned_count;
}

static void forward(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
    struct handle* h = (struct handle*)user;
    size_t n = header->caplen > HC_MAX_CAPTURE ? HC_MAX_CAPTURE : header->caplen;
    if (n < 14)
        return;
    learn(&interfaces[h->iface], bytes + 6);
    pending[0] = HC_FRAME;
    pending[1] = 0;
    memcpy(pending + 2, &h->id, 2);
    memcpy(pending + HC_HEADER_SIZE, bytes, n);
    if (send(client, pending, HC_HEADER_SIZE + n, MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            quit(NULL);
        pending_length = HC_HEADER_SIZE + n; /* sent when the socket has room */
    }
}

static void read_handle(struct handle* h) {
    for (int n = 0; n < DISPATCH_BURST && pending_length == 0; ++n) {
        int got = pcap_dispatch(h->pcap, 1, forward, (u_char*)h);
        if (got == 0)
            return;
        if (got < 0) {
            h->faulted = 1;
            reply(HC_FAULT, h->id, NULL, 0);
            return;
        }
    }
}

/* When a burst's next SEND is awaited spinning from; 0 outside a burst. */
static long long burst_spin_from(long long now) {
    if (last_send_gap_ns <= 0 || last_send_gap_ns > BURST_GAP_NS ||
        now > last_send_ns + 2 * last_send_gap_ns)
        return 0;
    return last_send_ns + last_send_gap_ns - WAKE_EARLY_NS;
}

static void serve_request(void) {
    uint8_t message[HC_MAX_MESSAGE + 1];
    ssize_t n = recv(client, message, sizeof message, MSG_TRUNC);
    if (n == 0)
        quit(NULL); /* the client closed its end or died */
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN)
            return;
        quit(NULL);
    }
    struct hc_request r;
    const char* wrong =
        (size_t)n > HC_MAX_MESSAGE ? "message too long" : hc_parse_request(message, (size_t)n, &r);
    if (wrong != NULL) {
        uint16_t handle = 0;
        if (n >= HC_HEADER_SIZE)
            memcpy(&handle, message + 2, 2);
        reply_error(n >= 1 ? message[0] : 0, handle, HC_REFUSED, wrong);
        return;
    }
    switch (r.type) {
    case HC_ENUMERATE:
        do_enumerate();
        break;
    case HC_OPEN:
        do_open(&r);
        break;
    case HC_SEND:
        do_send(&r);
        break;
    case HC_CLOSE:
        do_close(&r);
        break;
    }
}

static int expire_parked(void) {
    long long now = now_ns() / 1000000, wait = -1;
    for (int i = 0; i < MAX_SLOTS; ++i) {
        if (handles[i].state != PARKED)
            continue;
        long long left = handles[i].parked_at + PARK_MS - now;
        if (left <= 0)
            close_slot(&handles[i]);
        else if (wait < 0 || left < wait)
            wait = left;
    }
    return (int)wait;
}

int main(void) {
    int type = 0;
    socklen_t size = sizeof type;
    if (getsockopt(client, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_SEQPACKET) {
        fprintf(stderr,
                "halyard-capture: started by halyard only, with its socket on descriptor 3\n");
        return 2;
    }
    /* Nothing of the caller's environment is read or kept, not even the
     * copy /proc shows. */
    for (char** e = environ; e != NULL && *e != NULL; ++e)
        memset(*e, 0, strlen(*e));
    clearenv();
    close_range(HC_SOCKET_FD + 1, ~0U, 0);
    signal(SIGPIPE, SIG_IGN);
    drop_capabilities();
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); /* wake on time for a burst's next SEND */
    reply(HC_HELLO, HC_PROTOCOL_VERSION, NULL, 0);
    long long spin_until = 0;
    for (;;) {
        struct pollfd polled[1 + MAX_SLOTS];
        struct handle* owner[1 + MAX_SLOTS];
        int count = 1;
        polled[0] = (struct pollfd){client, (short)(POLLIN | (pending_length ? POLLOUT : 0)), 0};
        for (int i = 0; i < MAX_SLOTS && pending_length == 0; ++i) {
            struct handle* h = &handles[i];
            if (h->state == ACTIVE && !h->faulted && h->fd >= 0) {
                polled[count] = (struct pollfd){h->fd, POLLIN, 0};
                owner[count++] = h;
            }
        }
        long long now = now_ns(), wait_ns = expire_parked() * 1000000LL; /* < 0: none */
        long long burst_from = burst_spin_from(now);
        if (burst_from > now && (wait_ns < 0 || burst_from - now < wait_ns))
            wait_ns = burst_from - now;
        int spinning = now < spin_until || (burst_from && now >= burst_from);
        struct timespec timeout = {0, 0};
        if (!spinning && wait_ns > 0)
            timeout =
                (struct timespec){(time_t)(wait_ns / 1000000000), (long)(wait_ns % 1000000000)};
        int ready = ppoll(polled, (nfds_t)count, spinning || wait_ns >= 0 ? &timeout : NULL, NULL);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            quit("poll failed");
        }
        if (ready > 0)
            spin_until = now_ns() + SPIN_NS;
        else if (spinning)
            sched_yield(); /* a busy machine's other work goes first */
        if (polled[0].revents & POLLOUT)
            flush_pending();
        if (polled[0].revents & POLLIN)
            serve_request();
        else if (polled[0].revents & (POLLHUP | POLLERR))
            quit(NULL);
        for (int i = 1; i < count; ++i)
            if (owner[i]->state == ACTIVE && (polled[i].revents & (POLLIN | POLLERR | POLLHUP)))
                read_handle(owner[i]);
    }
}
