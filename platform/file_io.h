#pragma once
// Small POSIX file helpers shared by the subsystems that read and write files.
//
// Several files hold device passwords, network keys or parameter blocks (the
// device database, the saved and the printed report, the parameters log, the
// scan log). They are written only through the two writers below: one creates
// a private file in place, the other replaces a file atomically. Both refuse
// to write through a symbolic link, so a link planted in a shared folder
// cannot redirect a write made with more rights than the one who planted it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// Reads up to `length` bytes from `fd` into `buffer`, retrying reads that were
// interrupted or came back short. Returns the number of bytes read: less than
// `length` at end of file or on an error.
size_t readFully(int fd, void* buffer, size_t length);

// Writes all `length` bytes, retrying interrupted and short writes. False with
// errno set when the file takes no more.
bool writeFully(int fd, const void* buffer, size_t length);

// ---- Reading ---------------------------------------------------------------------
enum class FileRead {
    Ok,         // the file was read (up to the limit)
    Missing,    // nothing at the path
    Unreadable, // it exists but cannot be read: permission, I/O error, not a regular file
    TooLarge,   // readWholeFileLimited only: the file is larger than the limit
};

struct FileReadResult {
    FileRead status = FileRead::Missing;
    int error = 0; // errno of the failure; 0 when the path holds no regular file
};

// Reads at most `limit` bytes of the regular file at `path` into `out`. The
// open never blocks, so a FIFO or a device at the path cannot hold the caller;
// anything but a regular file is Unreadable. Only a path with nothing at it
// (ENOENT) counts as Missing. With `followLinks` false a symbolic link at the
// path is Unreadable (ELOOP), for files whose contents are carried into a
// private file.
FileReadResult readFileLimited(const std::string& path, size_t limit, std::vector<uint8_t>& out,
                               bool followLinks = true);

// Reads the whole regular file at `path` into `out` when it holds at most
// `limit` bytes. Its size is taken from the open file before anything is
// allocated, so a huge (or sparse) file is refused at once as TooLarge, with
// `size` set to its size and nothing read. A file that grows past the limit
// while it is read is refused the same way. For files that must be used whole
// or not at all (firmware images, parameter blocks).
struct WholeFileRead {
    FileReadResult result;
    uint64_t size = 0; // the file's size when TooLarge
};
WholeFileRead readWholeFileLimited(const std::string& path, size_t limit,
                                   std::vector<uint8_t>& out);

// Whether the file at `path` could be read as a regular file, and its size,
// without reading it (the open never blocks).
FileReadResult regularFileSize(const std::string& path, uint64_t& size);

// "Permission denied", "not a regular file", ...: why a read was refused.
std::string fileReadProblem(const FileReadResult& result);

// ---- Folders written into ---------------------------------------------------------------
// Whether a folder with these attributes may receive this process's files:
// it belongs to this user or to root, and nobody else may create, remove or
// rename names in it (not writable by others, nor by a group other than the
// user's own private group). A file written into a folder that others may
// write could be replaced or redirected by them between two calls.
bool folderIsTrusted(const struct stat& st);

// Opens the folder `path` for the *at() calls, checked as above. With
// `allowSticky`, a folder of this user or root that others may write but
// that has the sticky bit (/tmp) is accepted too: there nobody else can
// remove or rename this process's names, and the writers below refuse what
// another account planted (links, files of others, second names). A symbolic
// link as the folder's last component is followed only when it belongs to
// this user or to root (someone who could write the link's own folder made
// it); one planted by another account is refused with ELOOP. Returns the
// descriptor, or -1 with errno set: EPERM for a folder that is not trusted.
int openTrustedFolder(const std::string& path, bool allowSticky = false);

// ---- Private files written in place -------------------------------------------------
// Opens `path` for writing a file only its owner may read: created with mode
// 0600 (whatever the umask), never through a symbolic link (O_NOFOLLOW), not
// inherited by programs started later (O_CLOEXEC). An existing file is used
// only when it is a regular file with a single link that belongs to this user;
// it then gets mode 0600 and is emptied (only after those checks, so a refused
// file is never truncated). Returns the descriptor, or -1 with errno set:
// ELOOP for a link, EPERM for a file of another user or with more links,
// or in a folder others may write without the sticky bit (see
// openTrustedFolder), EINVAL for something that is not a regular file.
int openPrivateFile(const std::string& path);

// The same as a text stream opened for writing; null with errno set.
std::FILE* openPrivateStream(const std::string& path);

// ---- Atomic replace ---------------------------------------------------------------
enum class ReplaceMode {
    Private,      // 0600
    KeepExisting, // the replaced file's read/write/execute bits (never set-user-ID,
                  // set-group-ID or sticky); 0666 less the umask for a new file
};

// Replaces the file at `path` with `size` bytes of `data`: they go to a new
// temporary file in the same folder ("<path>.tmp.XXXXXX", created exclusively
// with mode 0600, so never through a link), which is flushed to disk, given
// its mode and renamed over `path`; then the folder is flushed so the rename
// survives a crash. A link at `path` is replaced, not followed. Any failure
// leaves the old file as it was and removes the temporary file; errno says why.
// The folder is opened once and checked (openTrustedFolder); the temporary
// file is created and renamed relative to that descriptor, so a folder swapped
// for a link meanwhile changes nothing. An untrusted folder: NotCreated, EPERM.
enum class WriteOutcome {
    Written,
    NotCreated, // the temporary file could not be created: nothing was touched
    Failed,     // writing, flushing or renaming failed: the old file is as it was
};
WriteOutcome writeFileAtomically(const std::string& path, const void* data, size_t size,
                                 ReplaceMode mode = ReplaceMode::Private);

// Removes the temporary files that atomic writes to `path` left behind when
// their process died. A temporary file still being written is kept: its writer
// holds a lock on it until the rename. Returns how many were removed.
int removeStaleTemporaryFiles(const std::string& path);

// Flushes the folder `path` itself, so that a rename or removal in it is on disk.
void syncDirectory(const std::string& path);

// ---- Failure injection for tests ------------------------------------------------------
// Asked once per atomic write, after the temporary file was created, with the
// path being replaced. `afterBytes` bytes reach the temporary file, then the
// write fails: as a write error (ENOSPC, as on a full disk: cleaned up, false)
// or, with `crash`, as if the process died there (the temporary file stays
// behind, unlocked; false).
struct WriteFault {
    bool fail = false;
    size_t afterBytes = 0;
    bool crash = false;
};
using AtomicWriteHook = std::function<WriteFault(const std::string& path)>;
// Installs the hook; an empty one removes it.
void setAtomicWriteHook(AtomicWriteHook hook);
