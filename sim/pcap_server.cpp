#include "sim/pcap_server.h"

#include <pcap/pcap.h>
#include <poll.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace sim {

namespace {
constexpr char kFilter[] = "ether proto 0x887b or ether proto 0x88e1";
constexpr int kPollMs = 20;
// How long a full queue may hold the next request back for answers about to
// fall due.
constexpr std::chrono::milliseconds kMostBackPressure{50};
} // namespace

bool PcapServer::open(const std::string& interfaceName, std::string& error) {
    close();
    char text[PCAP_ERRBUF_SIZE] = {};
    pcap_ = pcap_create(interfaceName.c_str(), text);
    if (!pcap_) {
        error = text;
        return false;
    }
    pcap_set_snaplen(pcap_, 65536);
    pcap_set_promisc(pcap_, 1);
    pcap_set_timeout(pcap_, 1);
    pcap_set_immediate_mode(pcap_, 1);
    int status = pcap_activate(pcap_);
    if (status < 0) {
        error = std::string(pcap_statustostr(status)) + ": " + pcap_geterr(pcap_);
        close();
        return false;
    }
    struct bpf_program program;
    if (pcap_compile(pcap_, &program, kFilter, 1, PCAP_NETMASK_UNKNOWN) != 0) {
        error = pcap_geterr(pcap_);
        close();
        return false;
    }
    int filtered = pcap_setfilter(pcap_, &program);
    pcap_freecode(&program);
    if (filtered != 0) {
        error = pcap_geterr(pcap_);
        close();
        return false;
    }
    // Our own answers are not requests; where the direction cannot be set,
    // Network::handle still passes over frames from its stations.
    pcap_setdirection(pcap_, PCAP_D_IN);
    if (pcap_setnonblock(pcap_, 1, text) != 0) {
        error = text;
        close();
        return false;
    }
    fd_ = pcap_get_selectable_fd(pcap_);
    return true;
}

void PcapServer::close() {
    if (pcap_)
        pcap_close(pcap_);
    pcap_ = nullptr;
    fd_ = -1;
}

void PcapServer::onFrame(unsigned char* user, const struct pcap_pkthdr* header,
                         const unsigned char* bytes) {
    reinterpret_cast<PcapServer*>(user)->take(bytes, header->caplen);
}

void PcapServer::take(const uint8_t* frame, size_t length) {
    // What fell due before this frame goes first, so answers keep their order.
    sendDue();
    auto now = std::chrono::steady_clock::now();
    for (Network::Answer& a : net_.handle(frame, length)) {
        if (a.delayMs == 0 && pending_.empty()) {
            inject(a.frame);
            continue;
        }
        // Full: answers about to fall due (a flood behind the usual latency)
        // are sent first, holding the next request back that long; answers
        // far in the future are not waited for, and the new one is dropped.
        while (pending_.size() >= kMaxPendingAnswers) {
            const auto wait = pending_.begin()->first - std::chrono::steady_clock::now();
            if (wait > kMostBackPressure)
                break;
            if (wait.count() > 0)
                std::this_thread::sleep_for(wait);
            sendDue();
        }
        if (pending_.size() >= kMaxPendingAnswers) {
            ++dropped_;
            continue;
        }
        pending_.emplace(now + std::chrono::milliseconds(a.delayMs), std::move(a.frame));
    }
    sendDue();
}

void PcapServer::inject(const Bytes& frame) {
    if (pcap_)
        pcap_inject(pcap_, frame.data(), frame.size());
}

void PcapServer::sendDue() {
    auto now = std::chrono::steady_clock::now();
    while (!pending_.empty() && pending_.begin()->first <= now) {
        inject(pending_.begin()->second);
        pending_.erase(pending_.begin());
    }
}

bool PcapServer::serve(const std::atomic<bool>& stop, std::string& error) {
    if (!pcap_) {
        error = "the interface is not open";
        return false;
    }
    while (!stop) {
        int waitMs = kPollMs;
        if (!pending_.empty()) {
            auto due = std::chrono::duration_cast<std::chrono::milliseconds>(
                pending_.begin()->first - std::chrono::steady_clock::now());
            waitMs = static_cast<int>(std::clamp<int64_t>(due.count(), 0, kPollMs));
        }
        if (fd_ >= 0) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, waitMs) < 0 && errno != EINTR) {
                error = std::string("poll: ") + std::strerror(errno);
                return false;
            }
        } else {
            usleep(static_cast<useconds_t>(waitMs) * 1000);
        }
        // Take everything that is waiting, then send what has come due.
        int taken = pcap_dispatch(pcap_, -1, &PcapServer::onFrame, reinterpret_cast<u_char*>(this));
        if (taken == PCAP_ERROR) {
            error = pcap_geterr(pcap_);
            return false;
        }
        sendDue();
    }
    return true;
}

} // namespace sim
