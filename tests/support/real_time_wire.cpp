#include "support/real_time_wire.h"

#include <chrono>
#include <thread>

namespace {
uint64_t monotonicMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
} // namespace

RealTimeWire::RealTimeWire(MemoryWire& wire)
    : wire_(wire), realStartMs_(monotonicMs()), virtualStartMs_(wire.clock().now()) {}

void RealTimeWire::catchUp() {
    const uint64_t target = virtualStartMs_ + (monotonicMs() - realStartMs_);
    const uint64_t now = wire_.clock().now();
    if (target > now)
        wire_.clock().advance(target - now);
}

bool RealTimeWire::enumerate(std::vector<DriverInterface>& out) {
    catchUp();
    return wire_.enumerate(out);
}

bool RealTimeWire::readMac(const std::string& name, uint8_t mac[6]) {
    return wire_.readMac(name, mac);
}

void* RealTimeWire::open(const std::string& name, std::string& error, bool& permissionDenied) {
    catchUp();
    return wire_.open(name, error, permissionDenied);
}

void RealTimeWire::close(void* handle) {
    wire_.close(handle);
}

bool RealTimeWire::send(void* handle, const uint8_t* bytes, size_t length) {
    catchUp();
    return wire_.send(handle, bytes, length);
}

TakeResult RealTimeWire::takeOne(void* handle, std::vector<uint8_t>& frame) {
    catchUp();
    TakeResult result = wire_.takeOne(handle, frame);
    if (result == TakeResult::None) {
        // The memory wire moved its clock on by the 1 ms read time-out; here
        // that millisecond really passes.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return result;
}
