#include "packet/driver.h"

#include "packet/helper_driver.h"

// Classic BPF: load the EtherType at byte 12 and accept the whole frame when it
// is the HomePlug 1.0 or the HomePlug AV EtherType; reject everything else.
const FilterInstruction kHomePlugFilter[7] = {
    {0x28, 0, 0, 12},         // ldh [12]
    {0x15, 0, 1, 0x887B},     // jeq #0x887B, next, skip one
    {0x06, 0, 0, 0xFFFFFFFF}, // ret #-1 (whole frame)
    {0x28, 0, 0, 12},         // ldh [12]
    {0x15, 0, 1, 0x88E1},     // jeq #0x88E1, next, skip one
    {0x06, 0, 0, 0xFFFFFFFF}, // ret #-1 (whole frame)
    {0x06, 0, 0, 0},          // ret #0 (reject)
};

namespace {
PacketDriver* installedDriver = nullptr;
} // namespace

PacketDriver& packetDriver() {
    if (installedDriver != nullptr)
        return *installedDriver;
    static HelperDriver helper;
    return helper;
}

void setPacketDriver(PacketDriver* driver) {
    installedDriver = driver;
}
