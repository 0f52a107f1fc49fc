/* The capture helper's protocol: one connected SOCK_SEQPACKET socket pair
 * between an unprivileged program (the client) and halyard-capture, one
 * message per record. Plain C, shared by the helper (C) and the client's
 * packet driver (C++). docs/capture-helper.md describes it in prose.
 *
 * Every message starts with a 4-byte header: the type, a zero byte and a
 * 16-bit handle in the machine's own byte order (both ends run on the same
 * machine, one started by the other). */
#ifndef HALYARD_CAPTURE_PROTOCOL_H
#define HALYARD_CAPTURE_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

#define HC_PROTOCOL_VERSION 2

/* The descriptor the helper finds its end of the socket pair on. */
#define HC_SOCKET_FD 3

/* Limits. */
#define HC_HEADER_SIZE 4
#define HC_MAX_INTERFACES 8 /* as the interface table */
#define HC_MAX_HANDLES 8    /* open handles at once */
#define HC_MAX_NAME 15      /* IFNAMSIZ - 1 */
#define HC_MAX_DESCRIPTION 255
#define HC_MIN_SEND 60      /* a minimal Ethernet frame without its FCS */
#define HC_MAX_SEND 1518    /* with a VLAN tag */
#define HC_MAX_CAPTURE 1514 /* snapshot length of every capture handle */
#define HC_MAX_ERROR_TEXT 200
/* The longest message either side sends: a frame or the interface list. */
#define HC_MAX_MESSAGE                                                                             \
    (HC_HEADER_SIZE + 1 + HC_MAX_INTERFACES * (6 + 1 + HC_MAX_NAME + 1 + HC_MAX_DESCRIPTION))

/* The two EtherTypes the helper captures and sends. */
#define HC_ETHERTYPE_HP10 0x887B
#define HC_ETHERTYPE_AV 0x88E1

/* Requests, client to helper, served in order. Each but HC_SEND gets exactly
 * one reply. HC_SEND gets none when the frame went out: a sender does not
 * wait a round trip between two processes per frame. A refused or failed
 * send is answered with HC_ERROR (its request type HC_SEND), which the client
 * meets before the reply to any later request. */
enum hc_request_type {
    HC_ENUMERATE = 1, /* header only; reply HC_INTERFACES */
    HC_OPEN = 2,      /* body: interface name, 1..15 bytes, no NUL; reply HC_OPENED */
    HC_SEND = 3,      /* handle; body: the frame, 60..1518 bytes; no reply when sent */
    HC_CLOSE = 4      /* handle; header only; reply HC_CLOSED */
};

/* Replies and events, helper to client. */
enum hc_reply_type {
    HC_HELLO = 0x81,      /* once, first; handle = protocol version */
    HC_INTERFACES = 0x82, /* body: count (0..8), then per interface: MAC (6),
                             name length (1..15), name, description length
                             (0..255), description */
    HC_OPENED = 0x83,     /* handle = the new handle (1..65535) */
                          /* 0x84 was version 1's reply to a send */
    HC_CLOSED = 0x85,     /* handle */
    HC_FRAME = 0x86,      /* event, not a reply: handle; body: one captured
                             frame, 1..1514 bytes */
    HC_FAULT = 0x87,      /* event: the handle no longer reads (interface gone) */
    HC_ERROR = 0x88       /* the reply to a refused or failed request: handle as
                             in the request; body: request type (1), error code
                             (1), text (0..200 bytes, no NUL) */
};

enum hc_error_code {
    HC_REFUSED = 1,           /* the request is not allowed (see the document) */
    HC_PERMISSION_DENIED = 2, /* the helper lacks the capture right */
    HC_FAILED = 3             /* the library or the kernel failed */
};

#ifdef __cplusplus
extern "C" {
#endif

/* A request as the helper's parser returns it. */
struct hc_request {
    uint8_t type;
    uint16_t handle;
    const uint8_t* body; /* points into the received message */
    size_t body_length;
};

/* Parses one received message into `out`. Returns 0, or an error text for a
 * message of unknown type or wrong length (the helper answers HC_ERROR with
 * it and goes on). Never reads outside [message, message + length). */
const char* hc_parse_request(const uint8_t* message, size_t length, struct hc_request* out);

/* Checks a frame the client asks to send: length and EtherType. Returns 0 or
 * the reason for refusing it. The source address is checked by the helper
 * against what it has seen on the interface. */
const char* hc_check_send_frame(const uint8_t* frame, size_t length);

#ifdef __cplusplus
}
#endif

#endif
