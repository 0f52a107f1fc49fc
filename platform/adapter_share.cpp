#include "platform/adapter_share.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/single_instance.h"

namespace {

constexpr const char* kUsersLock = "halyard-users.lock";
constexpr const char* kExporterLock = "exporter-cycle.lock";
constexpr const char* kSharedFolder = "/run/halyard";

std::string chosenFolder; // set by setAdapterShareDirectory
int claimFd = -1;         // the shared lock of a window or command
int exporterFd = -1;      // the exporter's exclusive lock

// Opens (creating) a lock file. Read-only is enough for flock, and lets a
// program of another user of the group lock a file it did not create.
int openLockFile(const char* name) {
    std::string path = adapterShareDirectory() + "/" + name;
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0664);
    if (fd >= 0)
        fchmod(fd, 0664); // the umask must not keep the group out
    return fd;
}

int lockOrErrno(int fd, int operation) {
    int rc;
    do {
        rc = flock(fd, operation);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

} // namespace

std::string adapterShareDirectory() {
    if (!chosenFolder.empty())
        return chosenFolder;
    struct stat st {};
    if (stat(kSharedFolder, &st) == 0 && S_ISDIR(st.st_mode) && access(kSharedFolder, W_OK) == 0)
        return kSharedFolder;
    return runtimeDirectory();
}

void setAdapterShareDirectory(const std::string& folder) {
    chosenFolder = folder;
}

bool claimAdaptersFromExporter(uint32_t timeoutMs) {
    if (claimFd < 0) {
        int fd = openLockFile(kUsersLock);
        if (fd < 0)
            return true; // nothing to coordinate through: no exporter can be told either
        // The exporter holds this lock exclusively only for the instant of
        // its check, so the blocking wait is short.
        if (lockOrErrno(fd, LOCK_SH) != 0) {
            close(fd);
            return true;
        }
        claimFd = fd;
    }
    int fd = openLockFile(kExporterLock);
    if (fd < 0)
        return true;
    bool free = false;
    for (uint32_t waited = 0;; waited += 50) {
        if (lockOrErrno(fd, LOCK_SH | LOCK_NB) == 0) {
            free = true;
            break;
        }
        if (waited >= timeoutMs)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    close(fd); // closing drops the probe's lock
    return free;
}

void releaseAdapterClaim() {
    if (claimFd < 0)
        return;
    close(claimFd);
    claimFd = -1;
}

bool holdsAdapterClaim() {
    return claimFd >= 0;
}

bool adaptersWanted() {
    int fd = openLockFile(kUsersLock);
    if (fd < 0)
        return false;
    bool wanted = lockOrErrno(fd, LOCK_EX | LOCK_NB) == EWOULDBLOCK;
    close(fd);
    return wanted;
}

bool takeAdaptersForExporter() {
    if (exporterFd < 0) {
        int fd = openLockFile(kExporterLock);
        if (fd < 0)
            return !adaptersWanted();
        if (lockOrErrno(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            return false; // another exporter drives them
        }
        exporterFd = fd;
    }
    // Checked with the lock held: a program that takes its shared lock after
    // this check waits for ours, and we see it at the next tick.
    if (adaptersWanted()) {
        yieldAdaptersFromExporter();
        return false;
    }
    return true;
}

void yieldAdaptersFromExporter() {
    if (exporterFd < 0)
        return;
    close(exporterFd);
    exporterFd = -1;
}

bool exporterHoldsAdapters() {
    return exporterFd >= 0;
}
