#pragma once
// Runs a piece of a test in a child process without the test's privileges, so
// that file permissions apply to it: as root the child becomes "nobody"
// (65534); otherwise it keeps the test's own account, which permissions bind
// already. Header-only, for the storage, diagnostics and platform tests.
//
//   EXPECT_EQ(0, runUnprivileged([&] { return readFails(path); }));
#include <functional>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

inline constexpr uid_t kNobody = 65534;

// The child's exit code: 0 when `body` returned true, 1 when it returned
// false, 2 when the privileges could not be dropped, -1 when it did not end
// normally. The child never returns into the test framework.
inline int runUnprivileged(const std::function<bool()>& body) {
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
            _exit(2);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}
