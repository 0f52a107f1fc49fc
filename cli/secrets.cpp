#include "cli/secrets.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/file_io.h"

namespace halyardctl {

namespace {

// The first line of `bytes`, without "\n" or "\r\n".
std::string firstLine(const std::vector<uint8_t>& bytes) {
    std::string text(bytes.begin(), bytes.end());
    const size_t end = text.find('\n');
    if (end != std::string::npos)
        text.erase(end);
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    return text;
}

// Up to `limit` + 1 bytes of standard input.
bool readStandardInput(size_t limit, std::vector<uint8_t>& out) {
    out.assign(limit + 1, 0);
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::read(STDIN_FILENO, out.data() + done, out.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    out.resize(done);
    return true;
}

// One password: given already, else from its file, else asked for.
bool fillPassword(std::optional<std::string>& password, const std::string& file,
                  const std::string& fileOption, const std::string& prompt,
                  const std::string& missing, const SecretPrompt& ask, std::string& error) {
    if (password)
        return true;
    std::string secret;
    if (!file.empty()) {
        if (!readSecretFile(file, secret, error)) {
            error = fileOption + ": " + error;
            return false;
        }
        password = secret;
        return true;
    }
    if (!ask) {
        error = missing;
        return false;
    }
    std::optional<std::string> typed = ask(prompt);
    if (!typed) {
        error = "no password was typed";
        return false;
    }
    password = *typed;
    return true;
}

} // namespace

bool readSecretFile(const std::string& path, std::string& secret, std::string& error) {
    std::vector<uint8_t> bytes;
    if (path == "-") {
        if (!readStandardInput(kSecretFileMax, bytes)) {
            error = std::string("cannot read standard input: ") + std::strerror(errno);
            return false;
        }
    } else {
        const WholeFileRead read = readWholeFileLimited(path, kSecretFileMax, bytes);
        if (read.result.status != FileRead::Ok && read.result.status != FileRead::TooLarge) {
            error = "cannot read " + path + ": " + fileReadProblem(read.result);
            return false;
        }
        if (read.result.status == FileRead::TooLarge)
            bytes.resize(kSecretFileMax + 1);
    }
    if (bytes.size() > kSecretFileMax) {
        error = (path == "-" ? std::string("standard input") : path) + " is larger than " +
                std::to_string(kSecretFileMax) + " bytes: not a password file";
        return false;
    }
    secret = firstLine(bytes);
    if (secret.empty()) {
        error = (path == "-" ? std::string("standard input") : path) + " holds no password";
        return false;
    }
    return true;
}

bool resolvePasswords(Options& o, const SecretPrompt& ask, std::string& error) {
    switch (o.command) {
    case Command::SetKey:
        return fillPassword(o.networkPassword, o.networkPasswordFile, "--network-password-file",
                            "Network password: ",
                            "set-key needs --network-password P, --network-password-file FILE "
                            "or a terminal to ask on",
                            ask, error);
    case Command::Add:
        return fillPassword(o.addPassword, o.passwordFile, "--password-file", "Device password: ",
                            "add needs --password DEVICE-PASSWORD, --password-file FILE or a "
                            "terminal to ask on",
                            ask, error);
    case Command::Password: {
        std::optional<std::string> text;
        if (o.textGiven)
            text = o.text;
        if (!fillPassword(text, o.passwordFile, "--password-file",
                          "Device password of " + o.device.macText + ": ",
                          "password needs MAC DEVICE-PASSWORD, --password-file FILE or a "
                          "terminal to ask on",
                          ask, error))
            return false;
        o.text = *text;
        o.textGiven = true;
        return true;
    }
    default:
        return true;
    }
}

std::optional<std::string> askSecretOnTerminal(const std::string& prompt) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    termios before{};
    const bool terminal = tcgetattr(STDIN_FILENO, &before) == 0;
    if (terminal) {
        termios quiet = before;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    bool ended = true;
    char c = 0;
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (c == '\n') {
            ended = false;
            break;
        }
        if (line.size() < kSecretFileMax)
            line.push_back(c);
        ended = false;
    }
    if (terminal)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
    if (ended)
        return std::nullopt;
    return line;
}

} // namespace halyardctl
