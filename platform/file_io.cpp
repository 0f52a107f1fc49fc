#include "platform/file_io.h"

#include <cerrno>
#include <cstdint>
#include <unistd.h>

size_t readFully(int fd, void* buffer, size_t length) {
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t got = read(fd, out + done, length - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}
