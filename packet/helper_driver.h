#pragma once
// The capture-helper packet driver: what halyard and halyardctl use. Neither
// program holds a right; they start halyard-capture (capture/), the one small
// program that does, as a child and ask it over a socket pair for exactly the
// driver's operations. The helper's raw sockets never come to this process.
//
// One helper serves one network namespace: it runs in the namespace of the
// thread that first needed it there (the wire tests enter namespaces with
// setns), and later calls from that namespace go to it. It ends when this
// driver closes its end of the socket, or when this process dies.
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "packet/driver.h"
#include "packet/pcap_driver.h"

// One message from the helper, as parseHelperMessage reads it.
struct HelperMessage {
    uint8_t type = 0;
    uint16_t handle = 0;
    struct Interface {
        std::string name;
        uint8_t mac[6];
        std::string description; // the library's own, not yet derived
    };
    std::vector<Interface> interfaces; // HC_INTERFACES
    const uint8_t* frame = nullptr;    // HC_FRAME: into the parsed bytes
    size_t frameLength = 0;
    uint8_t errorRequest = 0; // HC_ERROR
    uint8_t errorCode = 0;
    std::string errorText;
};

// Reads one message of the helper's protocol; false for an unknown type or a
// length that does not fit the type (a helper of another version). Never reads
// outside [bytes, bytes + length).
bool parseHelperMessage(const uint8_t* bytes, size_t length, HelperMessage& out);

// Where the helper is: for an installed program, <prefix>/libexec/halyard
// beside its <prefix>/bin; in a build tree, the build folder that holds the
// programs (the program's own folder or one or two above it).
std::string findCaptureHelper();

class HelperDriver : public PacketDriver {
  public:
    // `helperPath` empty: findCaptureHelper().
    explicit HelperDriver(std::string helperPath = {});
    ~HelperDriver() override;
    bool enumerate(std::vector<DriverInterface>& out) override;
    bool readMac(const std::string& name, uint8_t mac[6]) override;
    void* open(const std::string& name, std::string& error, bool& permissionDenied) override;
    void close(void* handle) override;
    bool send(void* handle, const uint8_t* bytes, size_t length) override;
    TakeResult takeOne(void* handle, std::vector<uint8_t>& frame) override;
    std::string permissionAdvice() override;

    // Ends every helper (they exit when their socket closes); the next call
    // starts one again. For tests.
    void stopHelpers();
    // The process id of the helper serving the calling thread's namespace, 0
    // when none runs. For tests.
    pid_t helperPid();
    // The last error the helper answered to a request, for tests and logs.
    std::string lastError();

  private:
    struct Session;
    struct Handle;
    enum class StartProblem { None, NotInGroup, NotFound, Failed };
    Session* sessionHere(std::string& error);
    bool call(Session& s, const std::vector<uint8_t>& request, HelperMessage& reply,
              std::vector<uint8_t>& replyBytes);
    bool post(Session& s, const std::vector<uint8_t>& request);
    void readPending(Session& s, int waitMs);
    void awaitFrame(Session& s);
    static bool isEvent(const HelperMessage& m);
    void keep(Session& s, const HelperMessage& m);
    void endSession(Session& s);

    std::string helperPath_;
    std::mutex lock_;
    std::map<ino_t, std::unique_ptr<Session>> sessions_;
    // Sessions that ended and were replaced: handles the core still holds
    // point at them until it closes them.
    std::vector<std::unique_ptr<Session>> retired_;
    PcapDriver local_; // enumeration and MACs when no helper can run: both need no right
    StartProblem startProblem_ = StartProblem::None;
    bool helperLackedRight_ = false;
    std::string lastError_;
};
