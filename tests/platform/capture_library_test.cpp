// The capture library is loaded when first used, by the soname found when the
// program was built; a file that is missing or is not that library is refused
// with a message that names it.
#include <gtest/gtest.h>

#include <string>

#include "platform/capture_library.h"

namespace {

TEST(CaptureLibrary, LoadsTheLibraryItWasBuiltAgainst) {
    EXPECT_EQ(std::string::npos, std::string(captureLibraryFile()).find('/'))
        << "loaded by soname, not from a build machine's path";
    std::string error;
    const CaptureLibrary* pcap = captureLibrary(error);
    ASSERT_NE(nullptr, pcap) << error;
    EXPECT_EQ(pcap, captureLibrary(error)) << "loaded once";
    // Every function is bound; the version text is the library's own.
    ASSERT_NE(nullptr, pcap->lib_version);
    const std::string version = pcap->lib_version();
    EXPECT_EQ(0u, version.rfind("libpcap version ", 0)) << version;
    EXPECT_EQ(version, captureLibraryVersion());
    EXPECT_STREQ("Generic error", pcap->statustostr(PCAP_ERROR));
}

TEST(CaptureLibrary, RefusesAMissingFileNamingIt) {
    CaptureLibrary library{};
    std::string error;
    EXPECT_FALSE(loadCaptureLibrary("libpcap-missing.so.9", library, error));
    EXPECT_NE(std::string::npos,
              error.find("cannot load the packet capture library libpcap-missing.so.9"))
        << error;
    EXPECT_NE(std::string::npos, error.find("No such file")) << error;
    EXPECT_EQ(nullptr, library.findalldevs) << "nothing is filled in";
}

TEST(CaptureLibrary, RefusesALibraryOfAnotherKindNamingTheMissingFunction) {
    CaptureLibrary library{};
    std::string error;
    EXPECT_FALSE(loadCaptureLibrary("libz.so.1", library, error));
    EXPECT_NE(std::string::npos,
              error.find("the packet capture library libz.so.1 lacks the function "
                         "pcap_findalldevs"))
        << error;
    EXPECT_EQ(nullptr, library.lib_version);
}

} // namespace
