#include "packet/packet.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "packet/driver.h"
#include "packet/frame_bytes.h"
#include "packet/interface_table.h"
#include "platform/clock.h"

InterfaceEntry interfaceTable[kMaxInterfaces];
int interfaceCount = 0;
ReceivedFrameBuffer ReceivedFrame{0, nullptr};
int lastRxInterface = 0;

namespace {
FrameCounter frameCounter = nullptr;

// The enumeration list, kept from enumeration until closeAllInterfaces.
std::vector<DriverInterface> enumerationList;
bool listPresent = false;
LocalDeviceObserver observer;
std::string permissionProblem;
std::vector<uint8_t> takeBuffer;

PacketErrorSink packetErrorSink;

void tellPacketError(PacketError error) {
    if (packetErrorSink)
        packetErrorSink(error);
}

bool validIndex(int index) {
    return index >= 0 && index < kMaxInterfaces;
}

const DriverInterface* listEntry(int index) {
    if (!listPresent || index < 0 || index >= interfaceCount ||
        index >= static_cast<int>(enumerationList.size()))
        return nullptr;
    return &enumerationList[static_cast<size_t>(index)];
}

void forgetList() {
    enumerationList.clear();
    listPresent = false;
}

void freeReceivedFrame() {
    std::free(ReceivedFrame.data);
    ReceivedFrame = {0, nullptr};
}

// Takes one frame into ReceivedFrame; false when none arrived. Faults count as none.
bool takeIntoReceivedFrame(int index) {
    takeBuffer.clear();
    TakeResult result = packetDriver().takeOne(interfaceTable[index].handle, takeBuffer);
    if (result != TakeResult::Frame)
        return false;
    // Keep the shared buffer of exactly the captured length, as the observer
    // and the callers read it until the next frame arrives.
    uint8_t* data = static_cast<uint8_t*>(std::malloc(takeBuffer.empty() ? 1 : takeBuffer.size()));
    if (data == nullptr)
        return false;
    if (!takeBuffer.empty())
        std::memcpy(data, takeBuffer.data(), takeBuffer.size());
    freeReceivedFrame();
    ReceivedFrame.data = data;
    ReceivedFrame.length = static_cast<uint32_t>(takeBuffer.size());
    if (frameCounter != nullptr)
        frameCounter(index, false, ReceivedFrame.length);
    return true;
}

// Receives one frame through the local-device observer. `selfAddressed` tells
// whether the observer saw a frame whose destination equals its source.
ReceivedFrameBuffer* receiveThroughObserver(int index, bool& selfAddressed) {
    selfAddressed = false;
    try {
        ReceivedFrameBuffer* frame = receiveFrame(index);
        if (frame != nullptr && observer)
            selfAddressed = observer(index, frame->data, frame->length);
        return frame;
    } catch (const std::exception&) {
        tellPacketError(PacketError::Read);
        return nullptr;
    }
}
} // namespace

void setPacketErrorSink(PacketErrorSink sink) {
    packetErrorSink = std::move(sink);
}

void resetInterfaceTable() {
    freeReceivedFrame();
    std::memset(interfaceTable, 0, sizeof interfaceTable);
    interfaceCount = 0;
    lastRxInterface = 0;
}

void setFrameCounter(FrameCounter counter) {
    frameCounter = counter;
}

std::string interfaceName(int index) {
    const DriverInterface* entry = listEntry(index);
    return entry ? entry->name : std::string();
}

bool enumerateInterfaces() {
    forgetList();
    interfaceCount = 0;
    freeReceivedFrame();
    std::memset(interfaceTable, 0, sizeof interfaceTable);

    std::vector<DriverInterface> found;
    if (!packetDriver().enumerate(found))
        return false;
    enumerationList = std::move(found);
    listPresent = true;
    for (const DriverInterface& entry : enumerationList) {
        if (interfaceCount >= kMaxInterfaces)
            break;
        InterfaceEntry& slot = interfaceTable[interfaceCount];
        if (!packetDriver().readMac(entry.name, slot.mac))
            std::memset(slot.mac, 0, sizeof slot.mac);
        // Cut to the table's field, always terminated.
        std::snprintf(slot.description, sizeof slot.description, "%s", entry.description.c_str());
        ++interfaceCount;
    }
    return true;
}

bool openAllInterfaces() {
    permissionProblem.clear();
    if (enumerateInterfaces())
        for (int i = 0; i < interfaceCount; ++i)
            openInterface(i);
    return true;
}

bool openInterface(int index) {
    if (!validIndex(index))
        return false;
    if (interfaceTable[index].handle != nullptr)
        return true;
    const DriverInterface* entry = listEntry(index);
    if (entry == nullptr) {
        closeInterface(index);
        return false;
    }
    std::string error;
    bool denied = false;
    void* handle = packetDriver().open(entry->name, error, denied);
    if (handle == nullptr) {
        if (denied && permissionProblem.empty())
            permissionProblem = entry->name + ": " + error;
        closeInterface(index);
        return false;
    }
    interfaceTable[index].handle = handle;
    return true;
}

bool closeInterface(int index) {
    if (!validIndex(index))
        return true;
    if (interfaceTable[index].handle != nullptr) {
        packetDriver().close(interfaceTable[index].handle);
        interfaceTable[index].handle = nullptr;
    }
    return true;
}

bool closeAllInterfaces() {
    freeReceivedFrame();
    for (int i = 0; i < kMaxInterfaces; ++i)
        closeInterface(i);
    forgetList();
    return true;
}

bool sendFrame(int index, const uint8_t* bytes, size_t length) {
    uint16_t wireLength = static_cast<uint16_t>(length);
    if (length > 0xFFFF || wireLength > kMaxFrame)
        return false;
    if (wireLength < kMinFrame)
        wireLength = kMinFrame;
    if (!validIndex(index) || interfaceTable[index].handle == nullptr)
        return false;
    bool sent = false;
    try {
        sent = packetDriver().send(interfaceTable[index].handle, bytes, wireLength);
    } catch (const std::exception&) {
        tellPacketError(PacketError::Send);
        return false;
    }
    if (sent && frameCounter != nullptr)
        frameCounter(index, true, wireLength);
    return sent;
}

ReceivedFrameBuffer* receiveFrame(int index) {
    if (!validIndex(index) || interfaceTable[index].handle == nullptr)
        return nullptr;
    return takeIntoReceivedFrame(index) ? &ReceivedFrame : nullptr;
}

bool receiveAnyFrame(uint8_t* out, uint32_t* outLength) {
    for (int i = 0; i < interfaceCount; ++i) {
        bool selfAddressed = false;
        ReceivedFrameBuffer* frame = receiveThroughObserver(i, selfAddressed);
        if (frame == nullptr)
            continue;
        uint16_t type = etherTypeOf(frame->data, frame->length);
        if (type == kEtherTypeHp10 || type == kEtherTypeAv) {
            uint32_t n = frame->length > kMaxFrame ? kMaxFrame : frame->length;
            std::memcpy(out, frame->data, n);
            *outLength = n;
            lastRxInterface = i;
        } else {
            // The filter passes no other EtherType; should one arrive all the
            // same, the caller must not parse a stale buffer.
            *outLength = 0;
        }
        return true;
    }
    return false;
}

bool waitForLocalReply(int index, uint32_t timeoutMs) {
    uint32_t deadline = tickCount() + timeoutMs;
    bool seen = false;
    while (!seen && !tickReached(deadline)) {
        bool selfAddressed = false;
        receiveThroughObserver(index, selfAddressed);
        seen = selfAddressed;
        sleepMs(1);
    }
    return seen;
}

void setLocalDeviceObserver(LocalDeviceObserver fn) {
    observer = std::move(fn);
}

const std::string& capturePermissionProblem() {
    return permissionProblem;
}

// `path` as one shell word: quoted unless it holds only characters a shell leaves alone.
std::string shellWord(const std::string& path) {
    if (path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                               "/._-+") == std::string::npos)
        return path;
    std::string quoted = "'";
    for (char c : path)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string capturePermissionAdvice() {
    std::string advice = packetDriver().permissionAdvice();
    if (advice.empty())
        advice = "Capturing frames needs the right to use raw sockets.";
    return advice;
}

void restoreReceivedFrame(const std::vector<uint8_t>& saved) {
    uint8_t* data = static_cast<uint8_t*>(std::malloc(saved.empty() ? 1 : saved.size()));
    if (data == nullptr)
        return;
    if (!saved.empty())
        std::memcpy(data, saved.data(), saved.size());
    std::free(ReceivedFrame.data);
    ReceivedFrame.data = data;
    ReceivedFrame.length = static_cast<uint32_t>(saved.size());
}
