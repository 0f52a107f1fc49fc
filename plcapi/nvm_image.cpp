// The header chain of a firmware image (.NVM).
#include <cerrno>

#include "plcapi/bytes.h"
#include "plcapi/plcapi.h"

using namespace plcapi_detail;

// Every header must lie wholly inside the image and verify; each next-header
// offset must lie past the header that names it, so the walk always ends.
const uint8_t* plcapi_WalkNvmHeaders(const uint8_t* image, uint32_t size) {
    constexpr uint32_t kHeaderSize = sizeof(NvmBlockHeader);
    if (image == nullptr) {
        errno = EFAULT;
        return nullptr;
    }
    uint64_t offset = 0;
    while (offset < size && size - offset >= kHeaderSize) {
        const uint8_t* h = image + offset;
        if (Checksum32(11, h, 0) != 0) {
            errno = EINVAL;
            return nullptr;
        }
        uint32_t next = getLe32(h + offsetof(NvmBlockHeader, nextHeader));
        if (next == 0) {
            return h;
        }
        if (next < offset + kHeaderSize) {
            errno = EINVAL; // points back, at itself or into its own header
            return nullptr;
        }
        offset = next;
    }
    errno = EFAULT;
    return nullptr;
}
