#include "platform/capture_library.h"

#include <dlfcn.h>

#include <mutex>

#ifndef CAPTURE_LIBRARY_SONAME
#error "CAPTURE_LIBRARY_SONAME names the libpcap file to load (set by CMakeLists.txt)"
#endif

namespace {

// Looks up `name` in `library` into `slot`; false when it is not there.
template <typename Function>
bool bind(void* library, const char* name, Function& slot, std::string& missing) {
    slot = reinterpret_cast<Function>(dlsym(library, name));
    if (slot == nullptr && missing.empty())
        missing = name;
    return slot != nullptr;
}

} // namespace

const char* captureLibraryFile() {
    return CAPTURE_LIBRARY_SONAME;
}

bool loadCaptureLibrary(const std::string& file, CaptureLibrary& out, std::string& error) {
    void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        error = "cannot load the packet capture library " + file + " (" +
                (why != nullptr ? why : "unknown reason") + ")";
        return false;
    }
    std::string missing;
    CaptureLibrary f{};
    bind(library, "pcap_findalldevs", f.findalldevs, missing);
    bind(library, "pcap_freealldevs", f.freealldevs, missing);
    bind(library, "pcap_create", f.create, missing);
    bind(library, "pcap_set_snaplen", f.set_snaplen, missing);
    bind(library, "pcap_set_promisc", f.set_promisc, missing);
    bind(library, "pcap_set_timeout", f.set_timeout, missing);
    bind(library, "pcap_set_immediate_mode", f.set_immediate_mode, missing);
    bind(library, "pcap_activate", f.activate, missing);
    bind(library, "pcap_statustostr", f.statustostr, missing);
    bind(library, "pcap_geterr", f.geterr, missing);
    bind(library, "pcap_close", f.close, missing);
    bind(library, "pcap_setdirection", f.setdirection, missing);
    bind(library, "pcap_setfilter", f.setfilter, missing);
    bind(library, "pcap_setnonblock", f.setnonblock, missing);
    bind(library, "pcap_get_selectable_fd", f.get_selectable_fd, missing);
    bind(library, "pcap_dispatch", f.dispatch, missing);
    bind(library, "pcap_sendpacket", f.sendpacket, missing);
    bind(library, "pcap_lib_version", f.lib_version, missing);
    if (!missing.empty()) {
        dlclose(library);
        error = "the packet capture library " + file + " lacks the function " + missing +
                " (a library of another kind or too old)";
        return false;
    }
    out = f;
    return true; // stays loaded for the life of the process
}

const CaptureLibrary* captureLibrary(std::string& error) {
    static std::once_flag once;
    static CaptureLibrary library;
    static bool loaded = false;
    static std::string failure;
    std::call_once(once,
                   [] { loaded = loadCaptureLibrary(captureLibraryFile(), library, failure); });
    if (!loaded) {
        error = failure;
        return nullptr;
    }
    return &library;
}

std::string captureLibraryVersion() {
    std::string error;
    const CaptureLibrary* pcap = captureLibrary(error);
    const char* version = pcap != nullptr ? pcap->lib_version() : nullptr;
    if (version != nullptr)
        return version;
    return std::string(captureLibraryFile()) + " (cannot be loaded)";
}
