#pragma once
// The packet layer's own tables: the open interfaces (index 0..7 is how every
// layer above names an interface), the buffer of the last frame taken, and
// the interface a frame last came from. Written only by packet/; the device
// model re-exports them under their old names for the layers above.
#include <cstdint>

constexpr int kMaxInterfaces = 8;
constexpr int kMaxFrame = 1514;
constexpr int kMinFrame = 60;

struct InterfaceEntry {
    void* handle;          // open capture handle; null while closed
    uint8_t mac[6];        // the interface's own MAC; zero when unreadable
    char description[256]; // short text from the capture library's description
};

struct ReceivedFrameBuffer {
    uint32_t length;
    uint8_t* data; // owned, exactly `length` bytes; replaced by each new frame
};

extern InterfaceEntry interfaceTable[kMaxInterfaces];
extern int interfaceCount;
extern ReceivedFrameBuffer ReceivedFrame;
extern int lastRxInterface;

// Empties the tables and frees the received-frame buffer (the driver's open
// handles are not closed: a reset between tests only forgets them).
void resetInterfaceTable();

// Every frame sent or taken is counted by the layer above (the diagnostics'
// per-interface counters live in the scan states): it registers this counter
// at start-up. A plain function pointer, so that registering from another
// file's static initialisation is safe.
using FrameCounter = void (*)(int index, bool sent, uint32_t bytes);
void setFrameCounter(FrameCounter counter);
