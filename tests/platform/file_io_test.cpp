// The file helpers: private files created mode 0600 under any umask and never
// through a planted link, atomic replacement that a failure or a crash cannot
// tear, removal of temporary files left by a dead writer, and reads that
// never block on a FIFO and never take an unreadable file for a missing one.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/file_io.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

std::string text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class UmaskZero {
  public:
    UmaskZero() : old_(umask(0)) {}
    ~UmaskZero() { umask(old_); }

  private:
    mode_t old_;
};

class FileIoTest : public ::testing::Test {
  protected:
    void TearDown() override { setAtomicWriteHook({}); }
    TempDir dir;
    const std::string victimText = "root:x:0:0:root:/root:/bin/bash\n";
};

TEST_F(FileIoTest, PrivateFileIsOwnerOnlyUnderUmaskZeroAndReplacesAWiderExistingOne) {
    UmaskZero mask;
    const std::string fresh = dir.file("fresh.txt");
    int fd = openPrivateFile(fresh);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(writeFully(fd, "secret", 6));
    EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close(fd);
    EXPECT_EQ(S_IFREG | 0600, modeOf(fresh));
    EXPECT_EQ("secret", text(readFileBytes(fresh)));

    const std::string wide = dir.file("wide.txt");
    writeFileText(wide, "old contents that are longer");
    chmod(wide.c_str(), 0666);
    std::FILE* stream = openPrivateStream(wide);
    ASSERT_NE(nullptr, stream);
    std::fputs("new", stream);
    std::fclose(stream);
    EXPECT_EQ(S_IFREG | 0600, modeOf(wide));
    EXPECT_EQ("new", text(readFileBytes(wide)));
}

TEST_F(FileIoTest, PrivateFileIsNeverWrittenThroughALinkOrIntoSomethingElse) {
    const std::string victim = dir.file("victim");
    writeFileText(victim, victimText);
    chmod(victim.c_str(), 0644);

    const std::string link = dir.file("report.txt");
    ASSERT_EQ(0, symlink(victim.c_str(), link.c_str()));
    errno = 0;
    EXPECT_EQ(-1, openPrivateFile(link));
    EXPECT_EQ(ELOOP, errno);
    EXPECT_EQ(nullptr, openPrivateStream(link));

    // A second name of the victim is refused before anything is truncated.
    const std::string hard = dir.file("hard.txt");
    ASSERT_EQ(0, ::link(victim.c_str(), hard.c_str()));
    errno = 0;
    EXPECT_EQ(-1, openPrivateFile(hard));
    EXPECT_EQ(EPERM, errno);
    EXPECT_EQ(victimText, text(readFileBytes(victim)));
    EXPECT_EQ(S_IFREG | 0644, modeOf(victim));

    // A FIFO without a reader and a folder are refused at once.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
    EXPECT_EQ(-1, openPrivateFile(fifo));
    EXPECT_EQ(-1, openPrivateFile(dir.path()));
    EXPECT_TRUE(S_ISFIFO(modeOf(fifo)));
}

TEST_F(FileIoTest, PrivateFileOfAnotherUserIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file to another user";
    const std::string foreign = dir.file("foreign.txt");
    writeFileText(foreign, "theirs");
    ASSERT_EQ(0, chown(foreign.c_str(), kNobody, kNobody));
    errno = 0;
    EXPECT_EQ(-1, openPrivateFile(foreign));
    EXPECT_EQ(EPERM, errno);
    EXPECT_EQ("theirs", text(readFileBytes(foreign)));
}

TEST_F(FileIoTest, AtomicReplaceWritesPrivateFilesAndKeepsOrDerivesOtherModes) {
    UmaskZero mask;
    const std::string path = dir.file("Plexora.data");
    ASSERT_EQ(WriteOutcome::Written, writeFileAtomically(path, "first", 5));
    EXPECT_EQ(S_IFREG | 0600, modeOf(path));
    EXPECT_EQ("first", text(readFileBytes(path)));

    const std::string prefs = dir.file("OEMPrefs.dat");
    writeFileText(prefs, "old");
    chmod(prefs.c_str(), 0644);
    ASSERT_EQ(WriteOutcome::Written,
              writeFileAtomically(prefs, "newer", 5, ReplaceMode::KeepExisting));
    EXPECT_EQ(S_IFREG | 0644, modeOf(prefs));
    EXPECT_EQ("newer", text(readFileBytes(prefs)));

    umask(027);
    const std::string created = dir.file("created.dat");
    ASSERT_EQ(WriteOutcome::Written,
              writeFileAtomically(created, "x", 1, ReplaceMode::KeepExisting));
    EXPECT_EQ(S_IFREG | 0640, modeOf(created));
    EXPECT_TRUE(temporaryFilesIn(dir.path()).empty());
}

TEST_F(FileIoTest, AtomicReplaceReplacesAPlantedLinkInsteadOfFollowingIt) {
    UmaskZero mask;
    const std::string victim = dir.file("victim");
    writeFileText(victim, victimText);
    const std::string path = dir.file("halyard.log");
    ASSERT_EQ(0, symlink(victim.c_str(), path.c_str()));
    ASSERT_EQ(WriteOutcome::Written, writeFileAtomically(path, "key block", 9));
    EXPECT_EQ(S_IFREG | 0600, modeOf(path));
    EXPECT_EQ("key block", text(readFileBytes(path)));
    EXPECT_EQ(victimText, text(readFileBytes(victim)));
}

TEST_F(FileIoTest, InjectedWriteFailureLeavesTheOldFileByteForByte) {
    const std::string path = dir.file("OEMPrefs.dat");
    std::vector<uint8_t> old(269);
    for (size_t i = 0; i < old.size(); ++i)
        old[i] = static_cast<uint8_t>(i * 7);
    writeFileBytes(path, old);
    const std::string replacement(269, 'n');

    std::string asked;
    setAtomicWriteHook([&](const std::string& p) {
        asked = p;
        return WriteFault{true, 100, false};
    });
    errno = 0;
    EXPECT_EQ(WriteOutcome::Failed,
              writeFileAtomically(path, replacement.data(), replacement.size()));
    EXPECT_EQ(ENOSPC, errno);
    EXPECT_EQ(path, asked);
    EXPECT_EQ(old, readFileBytes(path));
    EXPECT_TRUE(temporaryFilesIn(dir.path()).empty());

    // A folder where nothing can be created is told apart: nothing was touched.
    setAtomicWriteHook({});
    EXPECT_EQ(WriteOutcome::NotCreated,
              writeFileAtomically(dir.file("missing/OEMPrefs.dat"), "x", 1));
}

TEST_F(FileIoTest, CrashLeavesATemporaryFileThatOnlyADeadWriterLoses) {
    const std::string path = dir.file("Plexora.data");
    ASSERT_EQ(WriteOutcome::Written, writeFileAtomically(path, "saved", 5));
    setAtomicWriteHook([](const std::string&) { return WriteFault{true, 3, true}; });
    EXPECT_EQ(WriteOutcome::Failed, writeFileAtomically(path, "unsaved", 7));
    setAtomicWriteHook({});
    EXPECT_EQ("saved", text(readFileBytes(path)));
    ASSERT_EQ(1u, temporaryFilesIn(dir.path()).size());

    // One that a live writer holds locked stays; a file of another name too.
    const std::string busy = path + ".tmp.AbC123";
    writeFileText(busy, "in progress");
    const int held = open(busy.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(0, flock(held, LOCK_EX));
    writeFileText(dir.file("Other.data.tmp.xyzXYZ"), "not ours");

    EXPECT_EQ(1, removeStaleTemporaryFiles(path));
    const std::vector<std::string> left = temporaryFilesIn(dir.path());
    EXPECT_EQ(2u, left.size());
    EXPECT_EQ("in progress", text(readFileBytes(busy)));
    close(held);
    EXPECT_EQ(1, removeStaleTemporaryFiles(path));
    EXPECT_EQ(1u, temporaryFilesIn(dir.path()).size());
    EXPECT_EQ("saved", text(readFileBytes(path)));
}

TEST_F(FileIoTest, ReadsTellMissingFromUnreadableAndNeverBlock) {
    std::vector<uint8_t> out;
    EXPECT_EQ(FileRead::Missing, readFileLimited(dir.file("none"), 10, out).status);

    const std::string file = dir.file("data");
    writeFileText(file, "0123456789abcdef");
    ASSERT_EQ(FileRead::Ok, readFileLimited(file, 10, out).status);
    EXPECT_EQ("0123456789", text(out));

    const std::string link = dir.file("link");
    ASSERT_EQ(0, symlink(file.c_str(), link.c_str()));
    EXPECT_EQ(FileRead::Ok, readFileLimited(link, 4, out).status);
    EXPECT_EQ("0123", text(out));
    const FileReadResult unfollowed = readFileLimited(link, 4, out, false);
    EXPECT_EQ(FileRead::Unreadable, unfollowed.status);
    EXPECT_EQ(ELOOP, unfollowed.error);
    EXPECT_TRUE(out.empty());

    FileReadResult folder = readFileLimited(dir.path(), 10, out);
    EXPECT_EQ(FileRead::Unreadable, folder.status);
    EXPECT_EQ("not a regular file", fileReadProblem(folder));

    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
    auto reading = std::async(std::launch::async, [&] {
        std::vector<uint8_t> bytes;
        return readFileLimited(fifo, 10, bytes).status;
    });
    if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Release the blocked open so the test can end, then fail.
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        reading.wait();
        close(writer);
        FAIL() << "reading a FIFO blocked";
    }
    EXPECT_EQ(FileRead::Unreadable, reading.get());

    // No permission: refused, never taken for a missing file.
    chmod(dir.path().c_str(), 0755);
    chmod(file.c_str(), 0600);
    if (geteuid() != 0)
        chmod(file.c_str(), 0000);
    EXPECT_EQ(0, runUnprivileged([&] {
                  std::vector<uint8_t> bytes;
                  const FileReadResult r = readFileLimited(file, 10, bytes);
                  return r.status == FileRead::Unreadable && r.error == EACCES &&
                         fileReadProblem(r) == "Permission denied" && bytes.empty();
              }));
}

// Replacing a file keeps its permission bits, never its set-user-ID,
// set-group-ID or sticky bits: new contents must not run with the rights of
// whoever owned the old file.
TEST_F(FileIoTest, AtomicReplaceNeverCopiesSetIdBits) {
    UmaskZero mask;
    const std::string tool = dir.file("tool");
    writeFileText(tool, "old");
    ASSERT_EQ(0, chmod(tool.c_str(), 06755 | S_ISVTX));
    ASSERT_EQ(WriteOutcome::Written,
              writeFileAtomically(tool, "new", 3, ReplaceMode::KeepExisting));
    EXPECT_EQ(S_IFREG | 0755, modeOf(tool));
    EXPECT_EQ("new", text(readFileBytes(tool)));
}

// Folders: a write goes only into a folder of this user or root that nobody
// else may write, and a link as the folder is followed only when its owner
// could have written there anyway. Nothing is left in a refused folder.
TEST_F(FileIoTest, WritesGoOnlyIntoFoldersNobodyElseMayWrite) {
    const std::string shared = dir.file("shared");
    ASSERT_EQ(0, mkdir(shared.c_str(), 0700));
    ASSERT_EQ(0, chmod(shared.c_str(), 0777));
    errno = 0;
    EXPECT_EQ(WriteOutcome::NotCreated, writeFileAtomically(shared + "/Plexora.data", "k", 1));
    EXPECT_EQ(EPERM, errno);
    errno = 0;
    EXPECT_EQ(-1, openPrivateFile(shared + "/scan.log"));
    EXPECT_EQ(EPERM, errno);
    EXPECT_EQ(0, std::distance(std::filesystem::directory_iterator(shared),
                               std::filesystem::directory_iterator()));
    // Sticky like /tmp: nobody else can remove or rename these names, and
    // what another account planted there is refused file by file.
    ASSERT_EQ(0, chmod(shared.c_str(), 01777));
    EXPECT_EQ(WriteOutcome::Written, writeFileAtomically(shared + "/Plexora.data", "k", 1));
    const int report = openPrivateFile(shared + "/report.txt");
    EXPECT_GE(report, 0);
    close(report);
    std::filesystem::remove(shared + "/Plexora.data");
    std::filesystem::remove(shared + "/report.txt");

    // The owner's own folder, also reached through the owner's own link.
    ASSERT_EQ(0, chmod(shared.c_str(), 0755));
    const std::string ownLink = dir.file("own-link");
    ASSERT_EQ(0, symlink(shared.c_str(), ownLink.c_str()));
    EXPECT_EQ(WriteOutcome::Written, writeFileAtomically(ownLink + "/Plexora.data", "k", 1));
    EXPECT_EQ("k", text(readFileBytes(shared + "/Plexora.data")));

    if (geteuid() != 0)
        return; // giving a folder or a link to another account needs root
    const std::string foreign = dir.file("foreign");
    ASSERT_EQ(0, mkdir(foreign.c_str(), 0755));
    ASSERT_EQ(0, chown(foreign.c_str(), kNobody, kNobody));
    EXPECT_EQ(WriteOutcome::NotCreated, writeFileAtomically(foreign + "/Plexora.data", "k", 1));
    EXPECT_EQ(-1, openPrivateFile(foreign + "/scan.log"));
    // A link another account planted, pointing into a folder root trusts.
    const std::string planted = dir.file("planted");
    ASSERT_EQ(0, symlink(shared.c_str(), planted.c_str()));
    ASSERT_EQ(0, lchown(planted.c_str(), kNobody, kNobody));
    errno = 0;
    EXPECT_EQ(WriteOutcome::NotCreated, writeFileAtomically(planted + "/victim", "k", 1));
    EXPECT_EQ(ELOOP, errno);
    EXPECT_FALSE(std::filesystem::exists(shared + "/victim"));
}

// Firmware and parameter files are used whole or not at all: the size is
// known from the open file before anything is allocated, so a 4 GiB sparse
// file is refused at once, without reading it.
TEST_F(FileIoTest, WholeFileReaderRefusesAHugeSparseFileBeforeReading) {
    const std::string huge = dir.file("huge.nvm");
    const int fd = open(huge.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, off_t{4} << 30));
    close(fd);
    std::vector<uint8_t> out;
    const WholeFileRead read = readWholeFileLimited(huge, 16u << 20, out);
    EXPECT_EQ(FileRead::TooLarge, read.result.status);
    EXPECT_EQ(uint64_t{4} << 30, read.size);
    EXPECT_EQ(0u, out.capacity()) << "nothing may be allocated for a refused file";
    EXPECT_EQ("too large", fileReadProblem(read.result));

    const std::string small = dir.file("small.pib");
    writeFileText(small, "0123456789");
    EXPECT_EQ(FileRead::Ok, readWholeFileLimited(small, 10, out).result.status);
    EXPECT_EQ("0123456789", text(out));
    EXPECT_EQ(FileRead::TooLarge, readWholeFileLimited(small, 9, out).result.status);
    EXPECT_EQ(FileRead::Missing, readWholeFileLimited(dir.file("none"), 9, out).result.status);
    EXPECT_EQ(FileRead::Unreadable, readWholeFileLimited(dir.path(), 9, out).result.status);
}

} // namespace
