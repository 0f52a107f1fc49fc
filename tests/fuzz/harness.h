#pragma once
// What every fuzz target shares: the invariant check that aborts (so libFuzzer
// reports a violated invariant like a crash), a reader that cuts one input into
// fields and frames, exact-length heap copies (so the address sanitizer sees a
// read past the bytes that arrived), the invariants of the device model, and a
// bench of seams made afresh for every input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "network/auto_scan.h"
#include "packet/memory_wire.h"
#include "platform/clock.h"
#include "platform/messages.h"

[[noreturn]] void fuzzFail(const char* what, const char* file, int line);
#define FUZZ_CHECK(cond) ((cond) ? static_cast<void>(0) : fuzzFail(#cond, __FILE__, __LINE__))

// Reads an input from the front; whatever is missing reads as zero / empty.
class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    size_t remaining() const { return size_ - pos_; }
    uint8_t byte();
    uint16_t le16();
    uint32_t le32();
    std::vector<uint8_t> take(size_t count);
    // One record: a 2-byte little-endian length (cut to `max`), then that many
    // bytes or as many as remain. False when the input is used up.
    bool record(std::vector<uint8_t>& out, size_t max);
    std::vector<uint8_t> rest() { return take(remaining()); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A heap buffer of exactly the given bytes.
class ExactBytes {
  public:
    explicit ExactBytes(const std::vector<uint8_t>& bytes);
    ExactBytes(const uint8_t* data, size_t size);
    uint8_t* data() { return bytes_.get(); }
    uint32_t length() const { return static_cast<uint32_t>(size_); }
    size_t size() const { return size_; }

  private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_;
};

template <size_t N> bool terminated(const char (&text)[N]) {
    return std::memchr(text, 0, N) != nullptr;
}

// The device model's invariants after any input: every text field terminated
// inside its field, no active remote slot without a MAC, counts and indexes
// inside their tables.
void checkModelInvariants();

// A folder of this process for the files a target writes (removed at exit).
const std::string& fuzzDirectory();
std::string fuzzFile(const char* name);
void writeFuzzFile(const std::string& path, const std::vector<uint8_t>& bytes);

// The host's MAC on the bench's one port.
inline constexpr uint8_t kFuzzHostMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

// Resets every core subsystem and installs a fresh virtual clock, in-memory
// wire with one open interface (port 0, kFuzzHostMac), recorded message boxes
// and a manual scan timer; undoes all of it when it goes away. Frames the
// core sends go nowhere unless `wire.setSendHandler` (or an emulator) takes them.
class FuzzBench {
  public:
    FuzzBench();
    ~FuzzBench();
    FuzzBench(const FuzzBench&) = delete;
    FuzzBench& operator=(const FuzzBench&) = delete;

    // Queues a frame towards the core on port 0, arriving now.
    void deliver(const std::vector<uint8_t>& frame) { wire.deliver(0, frame); }

    VirtualClock clock;
    MemoryWire wire{clock};
    RecordingMessages messages;
    ManualScanTimer timer;
    int port = -1;
};
