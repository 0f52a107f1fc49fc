/* The capture helper's request parser and frame checks: pure functions over
 * the bytes that arrived, so that they can be fuzzed on their own. */
#include "capture/protocol.h"

#include <string.h>

static uint16_t read_u16(const uint8_t* p) {
    uint16_t value;
    memcpy(&value, p, sizeof value);
    return value;
}

const char* hc_parse_request(const uint8_t* message, size_t length, struct hc_request* out) {
    if (message == NULL || length < HC_HEADER_SIZE)
        return "message shorter than its header";
    out->type = message[0];
    out->handle = read_u16(message + 2);
    out->body = message + HC_HEADER_SIZE;
    out->body_length = length - HC_HEADER_SIZE;
    if (message[1] != 0)
        return "header byte 1 is not zero";
    switch (out->type) {
    case HC_ENUMERATE:
        if (out->body_length != 0 || out->handle != 0)
            return "enumerate takes no handle and no body";
        return NULL;
    case HC_OPEN:
        if (out->handle != 0)
            return "open takes no handle";
        if (out->body_length < 1 || out->body_length > HC_MAX_NAME)
            return "interface name of wrong length";
        if (memchr(out->body, 0, out->body_length) != NULL ||
            memchr(out->body, '/', out->body_length) != NULL)
            return "interface name holds a NUL or a slash";
        return NULL;
    case HC_SEND:
        if (out->handle == 0)
            return "send needs a handle";
        if (out->body_length < HC_MIN_SEND || out->body_length > HC_MAX_SEND)
            return "frame shorter than 60 or longer than 1518 bytes";
        return NULL;
    case HC_CLOSE:
        if (out->handle == 0 || out->body_length != 0)
            return "close takes a handle and no body";
        return NULL;
    default:
        return "unknown message type";
    }
}

const char* hc_check_send_frame(const uint8_t* frame, size_t length) {
    if (length < HC_MIN_SEND || length > HC_MAX_SEND)
        return "frame shorter than 60 or longer than 1518 bytes";
    uint16_t type = (uint16_t)((frame[12] << 8) | frame[13]);
    if (type != HC_ETHERTYPE_HP10 && type != HC_ETHERTYPE_AV)
        return "EtherType is neither 0x88E1 nor 0x887B";
    return NULL;
}
