#include "platform/single_instance.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
int lockFd = -1;
} // namespace

std::string runtimeDirectory() {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    if (dir && dir[0] == '/')
        return dir;
    return "/tmp";
}

std::string singleInstanceLockPath(const std::string& name) {
    std::string safe = name;
    std::replace(safe.begin(), safe.end(), '/', '_');
    std::string dir = runtimeDirectory();
    if (dir == "/tmp")
        return dir + "/" + safe + "-" + std::to_string(getuid()) + ".lock";
    return dir + "/" + safe + ".lock";
}

bool acquireSingleInstance(const std::string& name) {
    if (lockFd >= 0)
        return true;
    std::string path = singleInstanceLockPath(name);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return true;
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        bool held = errno == EWOULDBLOCK;
        close(fd);
        return !held;
    }
    lockFd = fd;
    return true;
}

bool holdsSingleInstance() {
    return lockFd >= 0;
}

void releaseSingleInstance() {
    if (lockFd < 0)
        return;
    flock(lockFd, LOCK_UN);
    close(lockFd);
    lockFd = -1;
}
