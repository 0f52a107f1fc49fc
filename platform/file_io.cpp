#include "platform/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

AtomicWriteHook writeHook;

const char kTemporaryMark[] = ".tmp.";

// Folder and last component of `path` ("" folder: the current directory).
std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Clears O_NONBLOCK once the descriptor is known to be a regular file, where
// the flag means nothing, so later code sees an ordinary descriptor.
void makeBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

mode_t currentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Keeps errno across the clean-up calls of a failure path.
bool failWith(int error) {
    errno = error;
    return false;
}

} // namespace

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

bool writeFully(int fd, const void* buffer, size_t length) {
    const auto* in = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t put = write(fd, in + done, length - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return false;
        if (put == 0)
            return failWith(ENOSPC);
        done += static_cast<size_t>(put);
    }
    return true;
}

FileReadResult readFileLimited(const std::string& path, size_t limit, std::vector<uint8_t>& out,
                               bool followLinks) {
    out.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY |
                                          (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        if (errno == ENOENT)
            return {FileRead::Missing, 0};
        return {FileRead::Unreadable, errno};
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int error = errno;
        close(fd);
        return {FileRead::Unreadable, error};
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return {FileRead::Unreadable, 0};
    }
    makeBlocking(fd);
    out.resize(limit);
    size_t done = 0;
    while (done < limit) {
        const ssize_t got = read(fd, out.data() + done, limit - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            // An I/O error is not the end of the file: the caller must not
            // take the bytes so far for the whole file.
            const int error = errno;
            close(fd);
            out.clear();
            return {FileRead::Unreadable, error};
        }
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    close(fd);
    out.resize(done);
    return {FileRead::Ok, 0};
}

WholeFileRead readWholeFileLimited(const std::string& path, size_t limit,
                                   std::vector<uint8_t>& out) {
    out.clear();
    WholeFileRead whole;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        whole.result = errno == ENOENT ? FileReadResult{FileRead::Missing, 0}
                                       : FileReadResult{FileRead::Unreadable, errno};
        return whole;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        whole.result = {FileRead::Unreadable, S_ISREG(st.st_mode) ? errno : 0};
        close(fd);
        return whole;
    }
    // The size decides before a single byte is allocated or read.
    if (static_cast<uint64_t>(st.st_size) > limit) {
        close(fd);
        whole.result = {FileRead::TooLarge, EFBIG};
        whole.size = static_cast<uint64_t>(st.st_size);
        return whole;
    }
    makeBlocking(fd);
    // One byte more than the size: a file that grew since fstat shows it.
    const size_t want = static_cast<size_t>(st.st_size) + 1;
    out.resize(want);
    size_t done = 0;
    while (done < want) {
        const ssize_t got = read(fd, out.data() + done, want - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            whole.result = {FileRead::Unreadable, errno};
            close(fd);
            out.clear();
            return whole;
        }
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    close(fd);
    if (done > limit) {
        out.clear();
        whole.result = {FileRead::TooLarge, EFBIG};
        whole.size = done;
        return whole;
    }
    out.resize(done);
    whole.result = {FileRead::Ok, 0};
    return whole;
}

FileReadResult regularFileSize(const std::string& path, uint64_t& size) {
    size = 0;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno == ENOENT ? FileReadResult{FileRead::Missing, 0}
                               : FileReadResult{FileRead::Unreadable, errno};
    struct stat st {};
    FileReadResult result{FileRead::Ok, 0};
    if (fstat(fd, &st) != 0)
        result = {FileRead::Unreadable, errno};
    else if (!S_ISREG(st.st_mode))
        result = {FileRead::Unreadable, 0};
    else
        size = static_cast<uint64_t>(st.st_size);
    close(fd);
    return result;
}

std::string fileReadProblem(const FileReadResult& result) {
    if (result.status == FileRead::Unreadable && result.error == 0)
        return "not a regular file";
    if (result.status == FileRead::Missing)
        return std::strerror(ENOENT);
    if (result.status == FileRead::TooLarge)
        return "too large";
    return std::strerror(result.error);
}

namespace {

// Whether group `gid` is this user's private group: the process's own group,
// with no member listed but (at most) the user.
bool ownPrivateGroup(gid_t gid) {
    if (gid != getegid())
        return false;
    const group* g = getgrgid(gid);
    if (g == nullptr)
        return false;
    const passwd* me = getpwuid(geteuid());
    for (char** member = g->gr_mem; member != nullptr && *member != nullptr; ++member)
        if (me == nullptr || std::strcmp(*member, me->pw_name) != 0)
            return false;
    return true;
}

// Closes `fd` and fails with `error`.
int refuseDescriptor(int fd, int error) {
    close(fd);
    errno = error;
    return -1;
}

} // namespace

bool folderIsTrusted(const struct stat& st) {
    if (!S_ISDIR(st.st_mode))
        return false;
    if (st.st_uid != geteuid() && st.st_uid != 0)
        return false;
    if (st.st_mode & S_IWOTH)
        return false;
    return !(st.st_mode & S_IWGRP) || ownPrivateGroup(st.st_gid);
}

int openTrustedFolder(const std::string& path, bool allowSticky) {
    const char* name = path.empty() ? "." : path.c_str();
    int fd = open(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && (errno == ELOOP || errno == ENOTDIR)) {
        // A link as the folder: followed only when its owner could have
        // written there anyway.
        struct stat link {};
        if (lstat(name, &link) != 0 || !S_ISLNK(link.st_mode))
            return -1;
        if (link.st_uid != geteuid() && link.st_uid != 0) {
            errno = ELOOP;
            return -1;
        }
        fd = open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return refuseDescriptor(fd, errno);
    const bool stickyOwnFolder = allowSticky && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) &&
                                 (st.st_uid == geteuid() || st.st_uid == 0);
    if (!folderIsTrusted(st) && !stickyOwnFolder)
        return refuseDescriptor(fd, EPERM);
    return fd;
}

int openPrivateFile(const std::string& path) {
    const int folder = openTrustedFolder(folderOf(path), true);
    if (folder < 0)
        return -1;
    // O_NONBLOCK: opening a FIFO for writing must not wait for a reader.
    const int fd =
        openat(folder, nameOf(path).c_str(),
               O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
    const int openError = errno;
    close(folder);
    if (fd < 0) {
        errno = openError;
        return -1;
    }
    struct stat st {};
    int refused = 0;
    if (fstat(fd, &st) != 0)
        refused = errno;
    else if (!S_ISREG(st.st_mode))
        refused = EINVAL;
    // A second link could be a name of a file that is not ours to overwrite;
    // a file of another user could be held open by that user, who would read
    // what is written into it.
    else if (st.st_nlink != 1 || st.st_uid != geteuid())
        refused = EPERM;
    else if (fchmod(fd, 0600) != 0 || ftruncate(fd, 0) != 0)
        refused = errno;
    if (refused != 0) {
        close(fd);
        errno = refused;
        return -1;
    }
    makeBlocking(fd);
    return fd;
}

std::FILE* openPrivateStream(const std::string& path) {
    const int fd = openPrivateFile(path);
    if (fd < 0)
        return nullptr;
    std::FILE* stream = fdopen(fd, "w");
    if (stream == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return stream;
}

void syncDirectory(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

namespace {

// Creates "<name>.tmp.XXXXXX" in `folder` exclusively, mode 0600 (as mkostemp
// would, but relative to the checked folder). The name goes to `temporary`.
int createTemporaryAt(int folder, const std::string& name, std::string& temporary) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        uint8_t random[6];
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            return -1;
        temporary = name + kTemporaryMark;
        for (uint8_t r : random)
            temporary += kLetters[r % (sizeof kLetters - 1)];
        const int fd = openat(folder, temporary.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

mode_t replacementModeAt(int folder, const std::string& name, ReplaceMode mode) {
    if (mode == ReplaceMode::Private)
        return 0600;
    struct stat st {};
    // Only the permission bits: a set-user-ID or set-group-ID bit copied onto
    // new contents would hand the file owner's rights to whatever was written.
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
        return st.st_mode & 0777;
    return 0666 & ~currentUmask();
}

} // namespace

WriteOutcome writeFileAtomically(const std::string& path, const void* data, size_t size,
                                 ReplaceMode mode) {
    const int folder = openTrustedFolder(folderOf(path), true);
    if (folder < 0)
        return WriteOutcome::NotCreated;
    const std::string name = nameOf(path);
    const mode_t finalMode = replacementModeAt(folder, name, mode);
    std::string temporary;
    // Created exclusively with mode 0600: never through a link, never a file
    // someone else prepared.
    const int fd = createTemporaryAt(folder, name, temporary);
    if (fd < 0) {
        const int error = errno;
        close(folder);
        errno = error;
        return WriteOutcome::NotCreated;
    }
    // The lock tells removeStaleTemporaryFiles that this file is being written.
    flock(fd, LOCK_EX);

    WriteFault fault = writeHook ? writeHook(path) : WriteFault{};
    const size_t allowed = fault.fail ? std::min(size, fault.afterBytes) : size;
    bool ok = writeFully(fd, data, allowed);
    int error = errno;
    if (ok && fault.fail) {
        if (fault.crash) {
            close(fd); // as if the process ended here: the file stays behind
            close(folder);
            errno = EINTR;
            return WriteOutcome::Failed;
        }
        ok = false;
        error = ENOSPC;
    }
    if (ok && (fchmod(fd, finalMode) != 0 || fsync(fd) != 0)) {
        ok = false;
        error = errno;
    }
    if (ok && renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlinkat(folder, temporary.c_str(), 0);
        close(fd);
        close(folder);
        errno = error;
        return WriteOutcome::Failed;
    }
    // The lock is held until the new file has its name.
    const bool closed = close(fd) == 0;
    error = errno;
    fsync(folder);
    close(folder);
    if (!closed) {
        // The data was flushed before the rename; a late error is still reported.
        errno = error;
        return WriteOutcome::Failed;
    }
    return WriteOutcome::Written;
}

int removeStaleTemporaryFiles(const std::string& path) {
    const std::string folder = folderOf(path);
    const std::string prefix = nameOf(path) + kTemporaryMark;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return 0;
    std::vector<std::string> stale;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string candidate = folder + "/" + name;
        const int fd = open(candidate.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        // Only a file nobody holds locked was left by a process that died.
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0)
            stale.push_back(candidate);
        close(fd);
    }
    closedir(dir);
    int removed = 0;
    for (const std::string& file : stale)
        if (unlink(file.c_str()) == 0)
            ++removed;
    if (removed > 0)
        syncDirectory(folder);
    return removed;
}

void setAtomicWriteHook(AtomicWriteHook hook) {
    writeHook = std::move(hook);
}
