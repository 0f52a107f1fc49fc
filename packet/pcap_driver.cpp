#include "packet/pcap_driver.h"

#include "platform/capture_library.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kSnapshotLength = 65536;
constexpr int kReadTimeoutMs = 1;
constexpr size_t kMaxDescription = 255;
// More than the interface table holds, so that a scan of every interface
// finds all of its handles parked; the oldest is closed beyond that.
constexpr size_t kMaxParked = 16;
// Frames discarded from a handle taken back before it counts as fresh. A
// handle parked for a scan interval holds a few dozen at most; the bound only
// stops a flooded interface from holding the open forever.
constexpr int kMaxDiscarded = 100000;
constexpr auto kMaxParkedTime = std::chrono::seconds(1);

// The library's functions, for code that holds a handle (so it was loaded).
const CaptureLibrary& library() {
    std::string unused;
    return *captureLibrary(unused);
}

struct PcapHandle {
    pcap_t* pcap;
    int selectableFd; // -1 when the library offers none
    std::string name;
    // Where it was opened: a parked handle is only taken back by an open of
    // the same interface in the same namespace.
    unsigned interfaceIndex;
    ino_t netNamespace;
};

void closeHandle(void* handle) {
    auto* h = static_cast<PcapHandle*>(handle);
    library().close(h->pcap);
    delete h;
}

const PcapHandle& openedAs(void* handle) {
    return *static_cast<const PcapHandle*>(handle);
}

// The calling thread's network namespace (its inode), 0 when unknown. Test
// harnesses open interfaces of the same name in several namespaces.
ino_t currentNetNamespace() {
    struct stat info;
    if (stat("/proc/thread-self/ns/net", &info) == 0 || stat("/proc/self/ns/net", &info) == 0)
        return info.st_ino;
    return 0;
}

// Reads the interface's hardware address record; false when the interface
// does not exist or the name does not fit.
bool queryHardwareAddress(const std::string& name, struct ifreq& request) {
    if (name.empty() || name.size() >= IFNAMSIZ)
        return false;
    std::memset(&request, 0, sizeof request);
    std::memcpy(request.ifr_name, name.data(), name.size());
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int rc = ioctl(fd, SIOCGIFHWADDR, &request);
    ::close(fd);
    return rc == 0;
}

// The HomePlug filter in the library's program format.
bool installHomePlugFilter(pcap_t* pcap) {
    struct bpf_insn instructions[7];
    for (size_t i = 0; i < 7; ++i) {
        instructions[i].code = kHomePlugFilter[i].code;
        instructions[i].jt = kHomePlugFilter[i].jt;
        instructions[i].jf = kHomePlugFilter[i].jf;
        instructions[i].k = kHomePlugFilter[i].k;
    }
    struct bpf_program program;
    program.bf_len = 7;
    program.bf_insns = instructions;
    return library().setfilter(pcap, &program) == 0;
}

bool isPermissionFailure(int status) {
    return status == PCAP_ERROR_PERM_DENIED || status == PCAP_ERROR_PROMISC_PERM_DENIED;
}

void copyFrame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
    auto* frame = reinterpret_cast<std::vector<uint8_t>*>(user);
    // Only the bytes that were captured exist, whatever length the header claims.
    frame->assign(bytes, bytes + header->caplen);
}

// One pcap_dispatch of at most one frame: 1 frame, 0 none, -1 fault.
int dispatchOne(pcap_t* pcap, std::vector<uint8_t>& frame) {
    int n = library().dispatch(pcap, 1, copyFrame, reinterpret_cast<u_char*>(&frame));
    if (n > 0)
        return 1;
    if (n == 0 || n == PCAP_ERROR_BREAK)
        return 0;
    return -1;
}

} // namespace

std::string deriveInterfaceDescription(const std::string& libraryDescription,
                                       const std::string& interfaceName) {
    std::string text = interfaceName;
    size_t open = libraryDescription.find('\'');
    if (open != std::string::npos) {
        size_t start = open + 1;
        size_t end = libraryDescription.find('(', start);
        if (end == std::string::npos)
            end = libraryDescription.find('\'', start);
        if (end != std::string::npos && end > start)
            text = libraryDescription.substr(start, end - start);
    }
    if (text.size() > kMaxDescription)
        text.resize(kMaxDescription);
    return text;
}

bool isEthernetInterface(const std::string& name) {
    struct ifreq request;
    return queryHardwareAddress(name, request) && request.ifr_hwaddr.sa_family == ARPHRD_ETHER;
}

bool PcapDriver::enumerate(std::vector<DriverInterface>& out) {
    out.clear();
    std::string unavailable;
    const CaptureLibrary* pcap = captureLibrary(unavailable);
    if (pcap == nullptr)
        return false;
    char errorText[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* list = nullptr;
    if (pcap->findalldevs(&list, errorText) != 0)
        return false;
    for (pcap_if_t* entry = list; entry != nullptr; entry = entry->next) {
        if (entry->name == nullptr || (entry->flags & PCAP_IF_LOOPBACK) != 0)
            continue;
        if (!isEthernetInterface(entry->name))
            continue;
        std::string description = entry->description ? entry->description : "";
        out.push_back({entry->name, deriveInterfaceDescription(description, entry->name)});
    }
    pcap->freealldevs(list);
    const ino_t here = currentNetNamespace();
    closeParked([&](const Parked& p) {
        const PcapHandle& h = openedAs(p.handle);
        if (h.netNamespace != here)
            return false;
        bool listed = std::any_of(out.begin(), out.end(),
                                  [&](const DriverInterface& i) { return i.name == h.name; });
        return !listed || if_nametoindex(h.name.c_str()) != h.interfaceIndex;
    });
    return true;
}

PcapDriver::~PcapDriver() {
    closeParked([](const Parked&) { return true; });
}

size_t PcapDriver::parkedCount() {
    std::lock_guard<std::mutex> hold(parkedLock_);
    return parked_.size();
}

template <typename Stale> void PcapDriver::closeParked(Stale stale) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> hold(parkedLock_);
    auto keep = std::stable_partition(parked_.begin(), parked_.end(), [&](const Parked& p) {
        return !stale(p) && now - p.since <= kMaxParkedTime;
    });
    for (auto p = keep; p != parked_.end(); ++p)
        closeHandle(p->handle);
    parked_.erase(keep, parked_.end());
}

void PcapDriver::closeExpiredParked() {
    closeParked([](const Parked&) { return false; });
}

void* PcapDriver::takeBackParked(const std::string& name) {
    const unsigned index = if_nametoindex(name.c_str());
    const ino_t here = currentNetNamespace();
    closeExpiredParked();
    if (index == 0 || here == 0)
        return nullptr;
    void* handle = nullptr;
    {
        std::lock_guard<std::mutex> hold(parkedLock_);
        auto found = std::find_if(parked_.begin(), parked_.end(), [&](const Parked& p) {
            const PcapHandle& h = openedAs(p.handle);
            return h.name == name && h.interfaceIndex == index && h.netNamespace == here;
        });
        if (found == parked_.end())
            return nullptr;
        handle = found->handle;
        parked_.erase(found);
    }
    // What arrived while it was parked would not be there on a fresh open.
    auto* h = static_cast<PcapHandle*>(handle);
    std::vector<uint8_t> frame;
    for (int n = 0; n < kMaxDiscarded; ++n) {
        int got = dispatchOne(h->pcap, frame);
        if (got == 0)
            return handle;
        if (got < 0)
            break; // the socket no longer reads (interface down or gone)
    }
    closeHandle(handle);
    return nullptr;
}

bool PcapDriver::readMac(const std::string& name, uint8_t mac[6]) {
    struct ifreq request;
    if (!queryHardwareAddress(name, request) || request.ifr_hwaddr.sa_family != ARPHRD_ETHER)
        return false;
    std::memcpy(mac, request.ifr_hwaddr.sa_data, 6);
    return true;
}

void* PcapDriver::open(const std::string& name, std::string& error, bool& permissionDenied) {
    permissionDenied = false;
    if (void* handle = takeBackParked(name))
        return handle;
    if (captureLibrary(error) == nullptr)
        return nullptr;
    char errorText[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap = library().create(name.c_str(), errorText);
    if (pcap == nullptr) {
        error = errorText;
        permissionDenied = errno == EPERM || errno == EACCES;
        return nullptr;
    }
    library().set_snaplen(pcap, kSnapshotLength);
    library().set_promisc(pcap, 1);
    library().set_timeout(pcap, kReadTimeoutMs);
    library().set_immediate_mode(pcap, 1);
    int status = library().activate(pcap);
    if (status < 0) {
        error = library().statustostr(status);
        const char* detail = library().geterr(pcap);
        if (detail != nullptr && *detail != '\0')
            error += std::string(": ") + detail;
        permissionDenied = isPermissionFailure(status);
        library().close(pcap);
        return nullptr;
    }
    // Only frames that arrive from the wire: a frame some other program (or
    // another capture handle) of this computer sends, such as a request
    // addressed to the computer's own MAC, would otherwise come back as if the
    // local device had answered.
    library().setdirection(pcap, PCAP_D_IN);
    if (!installHomePlugFilter(pcap)) {
        error = std::string("cannot install the frame filter: ") + library().geterr(pcap);
        library().close(pcap);
        return nullptr;
    }
    // Non-blocking reads; takeOne waits on the descriptor for at most the read time-out.
    if (library().setnonblock(pcap, 1, errorText) != 0) {
        error = errorText;
        library().close(pcap);
        return nullptr;
    }
    return new PcapHandle{pcap, library().get_selectable_fd(pcap), name,
                          if_nametoindex(name.c_str()), currentNetNamespace()};
}

void PcapDriver::close(void* handle) {
    auto* h = static_cast<PcapHandle*>(handle);
    if (h == nullptr)
        return;
    closeExpiredParked();
    if (h->interfaceIndex == 0 || h->netNamespace == 0) {
        closeHandle(handle);
        return;
    }
    std::lock_guard<std::mutex> hold(parkedLock_);
    if (parked_.size() >= kMaxParked) {
        closeHandle(parked_.front().handle);
        parked_.erase(parked_.begin());
    }
    parked_.push_back({handle, std::chrono::steady_clock::now()});
}

bool PcapDriver::send(void* handle, const uint8_t* bytes, size_t length) {
    auto* h = static_cast<PcapHandle*>(handle);
    if (h == nullptr || bytes == nullptr || length > static_cast<size_t>(kSnapshotLength))
        return false;
    return library().sendpacket(h->pcap, bytes, static_cast<int>(length)) == 0;
}

TakeResult PcapDriver::takeOne(void* handle, std::vector<uint8_t>& frame) {
    auto* h = static_cast<PcapHandle*>(handle);
    if (h == nullptr)
        return TakeResult::None;
    frame.clear();
    int got = dispatchOne(h->pcap, frame);
    if (got == 0) {
        // Nothing pending: wait up to the read time-out for a frame.
        if (h->selectableFd >= 0) {
            struct pollfd waitFor = {h->selectableFd, POLLIN, 0};
            if (poll(&waitFor, 1, kReadTimeoutMs) <= 0)
                return TakeResult::None;
        } else {
            usleep(kReadTimeoutMs * 1000);
        }
        got = dispatchOne(h->pcap, frame);
    }
    if (got < 0)
        return TakeResult::Fault;
    return got > 0 ? TakeResult::Frame : TakeResult::None;
}
