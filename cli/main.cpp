// halyardctl: halyard's operations on the command line (see cli/halyardctl.h).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "cli/halyardctl.h"
#include "cli/secrets.h"

namespace {

// A yes/no question on the terminal; anything but "y" or "yes" is no.
bool askOnTerminal(const std::string& question) {
    std::cerr << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
}

// Buffered output to a file descriptor, written through on flush.
class DescriptorOutput : public std::streambuf {
  public:
    explicit DescriptorOutput(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
    ~DescriptorOutput() override { sync(); }

  protected:
    int overflow(int c) override {
        if (sync() != 0)
            return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override {
        const char* next = pbase();
        while (next < pptr()) {
            ssize_t n = ::write(fd_, next, static_cast<size_t>(pptr() - next));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return -1;
            next += n;
        }
        setp(buffer_, buffer_ + sizeof buffer_);
        return 0;
    }

  private:
    int fd_;
    char buffer_[4096];
};

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    halyardctl::Environment env;
    env.outIsTerminal = isatty(STDOUT_FILENO) == 1;
    if (isatty(STDIN_FILENO) == 1) {
        env.confirm = askOnTerminal;
        env.askSecret = halyardctl::askSecretOnTerminal;
    }
    // Standard output carries only halyardctl's own output (one JSON document
    // with --json). The core writes a few diagnostic lines to the process's
    // standard output (the password-rule reasons, "something wrong in ..."):
    // descriptor 1 is pointed at standard error for them, and the program's
    // output goes to a copy of the original descriptor.
    int ownOutput = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (ownOutput < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        return halyardctl::run(args, std::cout, std::cerr, env);
    DescriptorOutput buffer(ownOutput);
    std::ostream out(&buffer);
    int code = halyardctl::run(args, out, std::cerr, env);
    out.flush();
    return code;
}
