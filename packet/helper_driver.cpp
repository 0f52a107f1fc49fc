#include "packet/helper_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "capture/protocol.h"
#include "packet/packet.h"

namespace {

// How long a request may take in the helper: opening a capture handle costs
// the kernel tens of milliseconds, so this only catches a helper that hangs.
constexpr int kReplyTimeoutMs = 5000;
// Frames kept per handle that nobody has taken yet; beyond that the oldest
// goes, as a full capture buffer would drop it.
constexpr size_t kMaxQueuedFrames = 4096;

ino_t currentNetNamespace() {
    struct stat info;
    if (stat("/proc/thread-self/ns/net", &info) == 0 || stat("/proc/self/ns/net", &info) == 0)
        return info.st_ino;
    return 0;
}

uint16_t readU16(const uint8_t* p) {
    uint16_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

std::vector<uint8_t> request(uint8_t type, uint16_t handle, const uint8_t* body = nullptr,
                             size_t length = 0) {
    std::vector<uint8_t> message(HC_HEADER_SIZE + length);
    message[0] = type;
    std::memcpy(message.data() + 2, &handle, 2);
    if (length > 0)
        std::memcpy(message.data() + HC_HEADER_SIZE, body, length);
    return message;
}

bool isRegularFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Reads the interface list: count, then MAC, name and description per entry.
bool parseInterfaces(const uint8_t* body, size_t length, HelperMessage& out) {
    if (length < 1 || body[0] > HC_MAX_INTERFACES)
        return false;
    size_t at = 1;
    for (int i = 0; i < body[0]; ++i) {
        HelperMessage::Interface entry;
        if (length - at < 7)
            return false;
        std::memcpy(entry.mac, body + at, 6);
        size_t nameLength = body[at + 6];
        at += 7;
        if (nameLength < 1 || nameLength > HC_MAX_NAME || length - at < nameLength + 1)
            return false;
        entry.name.assign(reinterpret_cast<const char*>(body + at), nameLength);
        at += nameLength;
        size_t descriptionLength = body[at++];
        if (length - at < descriptionLength)
            return false;
        entry.description.assign(reinterpret_cast<const char*>(body + at), descriptionLength);
        at += descriptionLength;
        out.interfaces.push_back(std::move(entry));
    }
    return at == length;
}

} // namespace

bool parseHelperMessage(const uint8_t* bytes, size_t length, HelperMessage& out) {
    out = HelperMessage{};
    if (bytes == nullptr || length < HC_HEADER_SIZE || bytes[1] != 0)
        return false;
    out.type = bytes[0];
    out.handle = readU16(bytes + 2);
    const uint8_t* body = bytes + HC_HEADER_SIZE;
    const size_t bodyLength = length - HC_HEADER_SIZE;
    switch (out.type) {
    case HC_HELLO:
    case HC_OPENED:
    case HC_CLOSED:
    case HC_FAULT:
        return bodyLength == 0;
    case HC_INTERFACES:
        return parseInterfaces(body, bodyLength, out);
    case HC_FRAME:
        if (bodyLength < 1 || bodyLength > HC_MAX_CAPTURE)
            return false;
        out.frame = body;
        out.frameLength = bodyLength;
        return true;
    case HC_ERROR:
        if (bodyLength < 2 || bodyLength > 2 + HC_MAX_ERROR_TEXT)
            return false;
        out.errorRequest = body[0];
        out.errorCode = body[1];
        out.errorText.assign(reinterpret_cast<const char*>(body + 2), bodyLength - 2);
        return true;
    default:
        return false;
    }
}

namespace {
// Where an installed program finds the helper, relative to its own folder
// (<prefix>/bin), so that any prefix works, as for the packaged defaults.
constexpr const char* kInstalledHelper = "../libexec/halyard/halyard-capture";
} // namespace

std::string findCaptureHelper() {
    std::error_code failed;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", failed);
    if (failed)
        return "/usr/libexec/halyard/halyard-capture";
    const std::filesystem::path installed =
        (self.parent_path() / kInstalledHelper).lexically_normal();
    if (isRegularFile(installed.string()))
        return installed.string();
    // A build tree: the helper is built into the top of the build folder;
    // programs and tests live in it or one or two folders below.
    std::filesystem::path folder = self.parent_path();
    for (int up = 0; up < 3 && !folder.empty(); ++up) {
        const std::string candidate = (folder / "halyard-capture").string();
        if (isRegularFile(candidate))
            return candidate;
        folder = folder.parent_path();
    }
    return installed.string();
}

struct HelperDriver::Session {
    pid_t pid = 0;
    int fd = -1;
    bool broken = false;
    std::map<uint16_t, std::deque<std::vector<uint8_t>>> frames;
    std::map<uint16_t, bool> faulted;
    // Why the helper refused or failed a send, per handle, until the next
    // send on that handle reports it.
    std::map<uint16_t, std::string> sendErrors;
};

struct HelperDriver::Handle {
    Session* session;
    uint16_t id;
};

HelperDriver::HelperDriver(std::string helperPath) : helperPath_(std::move(helperPath)) {}

HelperDriver::~HelperDriver() {
    // At the end of a program the helpers are told to go (their sockets
    // close) but not waited for: closing their capture handles costs the
    // kernel tens of milliseconds, which the program's own exit need not pay.
    // A helper whose parent is gone is reaped by the system.
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& [ns, session] : sessions_) {
        if (session->fd >= 0)
            ::close(session->fd);
        if (session->pid > 0)
            waitpid(session->pid, nullptr, WNOHANG);
    }
}

void HelperDriver::stopHelpers() {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& [ns, session] : sessions_)
        endSession(*session);
    sessions_.clear();
    retired_.clear();
}

void HelperDriver::endSession(Session& s) {
    if (s.fd >= 0)
        ::close(s.fd); // the helper reads the end of its socket and exits
    s.fd = -1;
    s.broken = true;
    if (s.pid <= 0)
        return;
    for (int waited = 0; waited < 200; ++waited) {
        if (waitpid(s.pid, nullptr, WNOHANG) != 0) {
            s.pid = 0;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(s.pid, SIGKILL);
    waitpid(s.pid, nullptr, 0);
    s.pid = 0;
}

pid_t HelperDriver::helperPid() {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = sessions_.find(currentNetNamespace());
    return found == sessions_.end() || found->second->broken ? 0 : found->second->pid;
}

std::string HelperDriver::lastError() {
    std::lock_guard<std::mutex> hold(lock_);
    return lastError_;
}

// The helper of the calling thread's namespace, started when there is none
// (or the last one ended). Null with the reason in `error`.
HelperDriver::Session* HelperDriver::sessionHere(std::string& error) {
    const ino_t ns = currentNetNamespace();
    auto found = sessions_.find(ns);
    if (found != sessions_.end() && !found->second->broken)
        return found->second.get();
    // A session that ended keeps its place while handles of it remain with
    // the caller (their calls fail); the new one takes its place in the map.
    auto slot = std::make_unique<Session>();
    if (helperPath_.empty())
        helperPath_ = findCaptureHelper();

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("cannot make the capture helper's socket: ") + std::strerror(errno);
        startProblem_ = StartProblem::Failed;
        return nullptr;
    }
    // The child's end goes to descriptor 3; take it above 3 first so that the
    // duplication is a real one (which clears close-on-exec).
    int childEnd = fcntl(pair[1], F_DUPFD_CLOEXEC, 10);
    ::close(pair[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childEnd, HC_SOCKET_FD);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char name[] = "halyard-capture";
    char* argv[] = {name, nullptr};
    char* envp[] = {nullptr}; // the helper reads nothing of ours
    pid_t pid = 0;
    int rc = posix_spawn(&pid, helperPath_.c_str(), &actions, &attributes, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(childEnd);
    if (rc != 0) {
        ::close(pair[0]);
        if (rc == EACCES || rc == EPERM) {
            // Installed root:halyard 0750: only members of the group may run it.
            startProblem_ = StartProblem::NotInGroup;
            error = "you are not in the group halyard, whose members may capture frames";
        } else if (rc == ENOENT) {
            startProblem_ = StartProblem::NotFound;
            error = "the capture helper " + helperPath_ + " is missing";
        } else {
            startProblem_ = StartProblem::Failed;
            error = "cannot start the capture helper " + helperPath_ + ": " + std::strerror(rc);
        }
        return nullptr;
    }
    slot->pid = pid;
    slot->fd = pair[0];
    lastError_.clear();
    // The first message says the helper runs, and which protocol it speaks.
    HelperMessage hello;
    std::vector<uint8_t> bytes;
    if (!call(*slot, {}, hello, bytes) || hello.type != HC_HELLO ||
        hello.handle != HC_PROTOCOL_VERSION) {
        endSession(*slot);
        startProblem_ = StartProblem::Failed;
        error = "the capture helper " + helperPath_ + " did not start (" +
                (lastError_.empty() ? "wrong protocol version" : lastError_) + ")";
        return nullptr;
    }
    startProblem_ = StartProblem::None;
    Session* started = slot.get();
    if (found != sessions_.end())
        retired_.push_back(std::move(found->second));
    sessions_[ns] = std::move(slot);
    return started;
}

// Messages that come without being asked for: captured frames, a handle's
// fault, and the error about a send (sends are not answered otherwise).
bool HelperDriver::isEvent(const HelperMessage& m) {
    return m.type == HC_FRAME || m.type == HC_FAULT ||
           (m.type == HC_ERROR && m.errorRequest == HC_SEND);
}

// Files an event under its handle.
void HelperDriver::keep(Session& s, const HelperMessage& m) {
    if (m.type == HC_FAULT) {
        s.faulted[m.handle] = true;
        return;
    }
    if (m.type == HC_ERROR) {
        s.sendErrors[m.handle] = m.errorText;
        return;
    }
    auto& queue = s.frames[m.handle];
    if (queue.size() >= kMaxQueuedFrames)
        queue.pop_front();
    queue.emplace_back(m.frame, m.frame + m.frameLength);
}

// Reads what the helper has sent, waiting up to `waitMs` for the first
// message; frames and faults go to their handles' queues.
void HelperDriver::readPending(Session& s, int waitMs) {
    uint8_t buffer[HC_MAX_MESSAGE + 1];
    for (;;) {
        struct pollfd p = {s.fd, POLLIN, 0};
        int ready = poll(&p, 1, waitMs);
        if (ready <= 0)
            return;
        waitMs = 0;
        ssize_t n = recv(s.fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
        HelperMessage m;
        if (n <= 0 || static_cast<size_t>(n) > HC_MAX_MESSAGE ||
            !parseHelperMessage(buffer, static_cast<size_t>(n), m) || !isEvent(m)) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            lastError_ =
                n == 0 ? "the capture helper ended" : "unexpected message from the capture helper";
            endSession(s);
            return;
        }
        keep(s, m);
    }
}

// Sends `message` (none: only reads) and reads until the reply, filing the
// frames that come before it. False when the helper is gone, hangs or speaks
// another protocol; the session then ends.
bool HelperDriver::call(Session& s, const std::vector<uint8_t>& message, HelperMessage& reply,
                        std::vector<uint8_t>& replyBytes) {
    if (s.broken)
        return false;
    if (!message.empty() && ::send(s.fd, message.data(), message.size(), MSG_NOSIGNAL) !=
                                static_cast<ssize_t>(message.size())) {
        lastError_ = std::string("cannot reach the capture helper: ") + std::strerror(errno);
        endSession(s);
        return false;
    }
    replyBytes.resize(HC_MAX_MESSAGE + 1);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd p = {s.fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
            lastError_ = "the capture helper did not answer";
            endSession(s);
            return false;
        }
        ssize_t n = recv(s.fd, replyBytes.data(), replyBytes.size(), MSG_TRUNC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || static_cast<size_t>(n) > HC_MAX_MESSAGE ||
            !parseHelperMessage(replyBytes.data(), static_cast<size_t>(n), reply)) {
            lastError_ =
                n == 0 ? "the capture helper ended" : "unexpected message from the capture helper";
            endSession(s);
            return false;
        }
        if (!isEvent(reply)) {
            replyBytes.resize(static_cast<size_t>(n));
            if (reply.type == HC_ERROR)
                lastError_ = reply.errorText;
            return true;
        }
        keep(s, reply);
    }
}

bool HelperDriver::enumerate(std::vector<DriverInterface>& out) {
    out.clear();
    std::lock_guard<std::mutex> hold(lock_);
    std::string error;
    Session* s = sessionHere(error);
    if (s == nullptr) {
        // Listing needs no right: the interfaces are shown, and opening one
        // then says why capture cannot start.
        return local_.enumerate(out);
    }
    HelperMessage reply;
    std::vector<uint8_t> bytes;
    if (!call(*s, request(HC_ENUMERATE, 0), reply, bytes) || reply.type != HC_INTERFACES)
        return false;
    for (const HelperMessage::Interface& entry : reply.interfaces)
        out.push_back({entry.name, deriveInterfaceDescription(entry.description, entry.name)});
    return true;
}

bool HelperDriver::readMac(const std::string& name, uint8_t mac[6]) {
    return local_.readMac(name, mac);
}

void* HelperDriver::open(const std::string& name, std::string& error, bool& permissionDenied) {
    permissionDenied = false;
    std::lock_guard<std::mutex> hold(lock_);
    Session* s = sessionHere(error);
    if (s == nullptr) {
        permissionDenied = startProblem_ == StartProblem::NotInGroup;
        return nullptr;
    }
    if (name.empty() || name.size() > HC_MAX_NAME) {
        error = "no such interface";
        return nullptr;
    }
    HelperMessage reply;
    std::vector<uint8_t> bytes;
    if (!call(*s, request(HC_OPEN, 0, reinterpret_cast<const uint8_t*>(name.data()), name.size()),
              reply, bytes)) {
        error = lastError_;
        return nullptr;
    }
    if (reply.type != HC_OPENED) {
        error = reply.type == HC_ERROR ? reply.errorText : "unexpected reply to open";
        permissionDenied = reply.type == HC_ERROR && reply.errorCode == HC_PERMISSION_DENIED;
        helperLackedRight_ = helperLackedRight_ || permissionDenied;
        return nullptr;
    }
    s->frames.erase(reply.handle);
    s->faulted.erase(reply.handle);
    s->sendErrors.erase(reply.handle);
    return new Handle{s, reply.handle};
}

void HelperDriver::close(void* handle) {
    auto* h = static_cast<Handle*>(handle);
    if (h == nullptr)
        return;
    std::lock_guard<std::mutex> hold(lock_);
    HelperMessage reply;
    std::vector<uint8_t> bytes;
    call(*h->session, request(HC_CLOSE, h->id), reply, bytes);
    h->session->frames.erase(h->id);
    h->session->faulted.erase(h->id);
    h->session->sendErrors.erase(h->id);
    delete h;
}

bool HelperDriver::send(void* handle, const uint8_t* bytes, size_t length) {
    auto* h = static_cast<Handle*>(handle);
    if (h == nullptr || bytes == nullptr)
        return false;
    std::lock_guard<std::mutex> hold(lock_);
    Session& s = *h->session;
    // What the helper would refuse for its form is refused here, at once; the
    // helper checks it again, with the source address, and is what holds.
    if (const char* refused = hc_check_send_frame(bytes, length)) {
        lastError_ = refused;
        return false;
    }
    readPending(s, 0); // errors about earlier sends that have arrived
    if (s.broken || s.faulted[h->id])
        return false;
    // A send the helper refused or failed since the last one: this one
    // reports it (the core then reports a sending failure).
    auto failed = s.sendErrors.find(h->id);
    if (failed != s.sendErrors.end()) {
        lastError_ = failed->second;
        s.sendErrors.erase(failed);
        return false;
    }
    if (!post(s, request(HC_SEND, h->id, bytes, length)))
        return false;
    return true;
}

// Writes one request that gets no reply. While the socket is full, what the
// helper sends is read and filed, so that neither side waits on the other.
bool HelperDriver::post(Session& s, const std::vector<uint8_t>& message) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    for (;;) {
        if (::send(s.fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
            static_cast<ssize_t>(message.size()))
            return true;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd p = {s.fd, POLLIN | POLLOUT, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
            errno = ETIMEDOUT;
            break;
        }
        if (p.revents & POLLIN) {
            readPending(s, 0);
            if (s.broken)
                return false;
        }
    }
    lastError_ = std::string("cannot reach the capture helper: ") + std::strerror(errno);
    endSession(s);
    return false;
}

// Waits up to the 1 ms read time-out of a capture handle for the helper to
// send something. It sleeps in poll rather than spinning for an answer that is
// due: the helper spins while a transfer runs, and a client spinning beside it
// on two shared processors made the adapter's answer (and the emulator that
// gives it) wait for a processor, or wake an idle one, which took longer than
// being woken.
void HelperDriver::awaitFrame(Session& s) {
    readPending(s, 1);
}

TakeResult HelperDriver::takeOne(void* handle, std::vector<uint8_t>& frame) {
    auto* h = static_cast<Handle*>(handle);
    if (h == nullptr)
        return TakeResult::None;
    std::lock_guard<std::mutex> hold(lock_);
    Session& s = *h->session;
    for (int pass = 0; pass < 2; ++pass) {
        auto queue = s.frames.find(h->id);
        if (queue != s.frames.end() && !queue->second.empty()) {
            frame = std::move(queue->second.front());
            queue->second.pop_front();
            return TakeResult::Frame;
        }
        if (s.broken || s.faulted[h->id])
            return TakeResult::Fault;
        if (pass == 0)
            awaitFrame(s);
    }
    frame.clear();
    return TakeResult::None;
}

std::string HelperDriver::permissionAdvice() {
    std::lock_guard<std::mutex> hold(lock_);
    if (startProblem_ == StartProblem::NotInGroup)
        return "Capturing frames is for members of the group halyard. Add yourself with:\n"
               "    sudo usermod -aG halyard $USER\n"
               "then log out and in again.";
    if (helperLackedRight_) {
        const std::string installedTail = "/libexec/halyard/halyard-capture";
        if (helperPath_.size() > installedTail.size() &&
            helperPath_.compare(helperPath_.size() - installedTail.size(), installedTail.size(),
                                installedTail) == 0)
            return "The capture helper " + helperPath_ +
                   " lacks the right to capture. Its package grants it; install it again with:\n"
                   "    sudo apt-get install --reinstall halyard";
        return "The capture helper " + helperPath_ +
               " lacks the right to capture. Grant it once with:\n"
               "    sudo setcap cap_net_raw+ep " +
               shellWord(helperPath_);
    }
    return {};
}
