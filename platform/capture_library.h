#pragma once
// The packet capture library (libpcap), loaded the first time something needs
// it. halyard and halyardctl capture through the capture helper, so they use
// the library in their own process only when no helper runs (to list the
// interfaces) or when run by tests and benches on the libpcap driver, and the
// diagnostics report names its version. Linked, it would be loaded at every
// start together with the eight libraries it pulls in (dbus, systemd and their
// compression and crypto libraries). It is loaded by the soname of the library
// the program was built against.
#include <pcap/pcap.h>

#include <string>

// The library's functions the libpcap driver and the host information use.
struct CaptureLibrary {
    int (*findalldevs)(pcap_if_t**, char*);
    void (*freealldevs)(pcap_if_t*);
    pcap_t* (*create)(const char*, char*);
    int (*set_snaplen)(pcap_t*, int);
    int (*set_promisc)(pcap_t*, int);
    int (*set_timeout)(pcap_t*, int);
    int (*set_immediate_mode)(pcap_t*, int);
    int (*activate)(pcap_t*);
    const char* (*statustostr)(int);
    char* (*geterr)(pcap_t*);
    void (*close)(pcap_t*);
    int (*setdirection)(pcap_t*, pcap_direction_t);
    int (*setfilter)(pcap_t*, struct bpf_program*);
    int (*setnonblock)(pcap_t*, int, char*);
    int (*get_selectable_fd)(pcap_t*);
    int (*dispatch)(pcap_t*, int, pcap_handler, u_char*);
    int (*sendpacket)(pcap_t*, const u_char*, int);
    const char* (*lib_version)();
};

// The file the program loads: the soname of the library it was built against.
const char* captureLibraryFile();

// Loads `file` and fills `out` with its functions. False, with a message that
// names the file and what is wrong, when the file cannot be loaded or lacks a
// function; nothing of it stays loaded then.
bool loadCaptureLibrary(const std::string& file, CaptureLibrary& out, std::string& error);

// The process-wide library, loaded on the first call (any thread); null when it
// cannot be loaded, with the reason in `error`. A failed load is not retried.
const CaptureLibrary* captureLibrary(std::string& error);

// The library's own version text (pcap_lib_version); when it cannot be loaded,
// its file name and that it is missing.
std::string captureLibraryVersion();
