#include "packet/memory_wire.h"

#include <cstdint>

namespace {
void* handleFor(int port) {
    return reinterpret_cast<void*>(static_cast<intptr_t>(port) + 1);
}
int portOf(void* handle) {
    return static_cast<int>(reinterpret_cast<intptr_t>(handle)) - 1;
}
} // namespace

int MemoryWire::addPort(const Port& port) {
    std::lock_guard lock(mutex_);
    ports_.push_back(port);
    queues_.emplace_back();
    handles_.push_back(0);
    return static_cast<int>(ports_.size()) - 1;
}

int MemoryWire::portIndex(const std::string& name) const {
    for (size_t i = 0; i < ports_.size(); ++i)
        if (ports_[i].name == name)
            return static_cast<int>(i);
    return -1;
}

void MemoryWire::deliver(int port, std::vector<uint8_t> frame, uint64_t atMs) {
    {
        std::lock_guard lock(mutex_);
        if (port < 0 || port >= static_cast<int>(ports_.size()))
            return;
        uint64_t now = timeNow();
        uint64_t when = atMs < now ? now : atMs;
        auto& queue = queues_[static_cast<size_t>(port)];
        // Keep the queue ordered by arrival time; equal times keep their order.
        auto it = queue.end();
        while (it != queue.begin() && (it - 1)->atMs > when)
            --it;
        queue.insert(it, Queued{when, std::move(frame)});
    }
    arrived_.notify_all();
}

bool MemoryWire::enumerate(std::vector<DriverInterface>& out) {
    std::lock_guard lock(mutex_);
    if (enumerateFails_)
        return false;
    out.clear();
    for (const Port& p : ports_)
        out.push_back({p.name, p.description.empty() ? p.name : p.description});
    return true;
}

bool MemoryWire::readMac(const std::string& name, uint8_t mac[6]) {
    std::lock_guard lock(mutex_);
    int i = portIndex(name);
    if (i < 0 || !ports_[static_cast<size_t>(i)].macReadable)
        return false;
    for (int b = 0; b < 6; ++b)
        mac[b] = ports_[static_cast<size_t>(i)].mac[b];
    return true;
}

void* MemoryWire::open(const std::string& name, std::string& error, bool& permissionDenied) {
    std::lock_guard lock(mutex_);
    permissionDenied = false;
    int i = portIndex(name);
    if (i < 0) {
        error = "no such interface";
        return nullptr;
    }
    const Port& p = ports_[static_cast<size_t>(i)];
    if (p.permissionDenied) {
        permissionDenied = true;
        error = "You don't have permission to capture on that device";
        return nullptr;
    }
    if (p.openFails) {
        error = "open failed";
        return nullptr;
    }
    handles_[static_cast<size_t>(i)] = 1;
    ++openCount;
    return handleFor(i);
}

void MemoryWire::close(void* handle) {
    std::lock_guard lock(mutex_);
    int i = portOf(handle);
    if (i >= 0 && i < static_cast<int>(handles_.size()))
        handles_[static_cast<size_t>(i)] = 0;
}

bool MemoryWire::send(void* handle, const uint8_t* bytes, size_t length) {
    int i = portOf(handle);
    std::vector<uint8_t> frame(bytes, bytes + length);
    SendHandler peer;
    {
        std::lock_guard lock(mutex_);
        if (i < 0 || i >= static_cast<int>(ports_.size()) || !handles_[static_cast<size_t>(i)])
            return false;
        sent.push_back({i, timeNow(), frame});
        peer = onSend_;
    }
    // The peer answers through deliver(), which takes the wire's lock; it
    // runs outside that lock, for one frame at a time (the emulator's model
    // is not shared between threads).
    if (peer) {
        std::lock_guard serial(peerMutex_);
        peer(i, frame);
    }
    return true;
}

TakeResult MemoryWire::takeOne(void* handle, std::vector<uint8_t>& frame) {
    std::unique_lock lock(mutex_);
    int i = portOf(handle);
    if (i < 0 || i >= static_cast<int>(ports_.size()) || !handles_[static_cast<size_t>(i)])
        return TakeResult::Fault;
    auto& queue = queues_[static_cast<size_t>(i)];
    auto takeDue = [&] {
        if (queue.empty() || queue.front().atMs > timeNow())
            return false;
        frame = std::move(queue.front().frame);
        queue.pop_front();
        return true;
    };
    if (takeDue())
        return TakeResult::Frame;
    // Nothing due: the driver's read time-out passes.
    uint64_t due = queue.empty() ? UINT64_MAX : queue.front().atMs;
    if (readTimeout(lock, arrived_, due) && handles_[static_cast<size_t>(i)] && takeDue())
        return TakeResult::Frame;
    return TakeResult::None;
}

bool MemoryWire::readTimeout(std::unique_lock<std::mutex>& lock, std::condition_variable&,
                             uint64_t) {
    // Virtual time: 1 ms passes at once. Listeners of the clock may deliver
    // frames, so they run without the wire's lock; what fell due is taken by
    // the next call, as before.
    lock.unlock();
    clock_->advance(1);
    lock.lock();
    return false;
}
