#pragma once
// Passwords for halyardctl without putting them on the command line, where
// every user of the machine reads them (ps, /proc/PID/cmdline): read from a
// file ("-" for standard input) or asked on the terminal without echo.
#include <functional>
#include <optional>
#include <string>

#include "cli/arguments.h"

namespace halyardctl {

// The largest password file read: far more than any password; a larger
// file is not a password file.
constexpr size_t kSecretFileMax = 4096;

// The password in the file at `path` ("-": standard input): its first line,
// without the line end ("\n" or "\r\n"). False with the reason in `error`
// when the file cannot be read, is larger than kSecretFileMax or is empty.
bool readSecretFile(const std::string& path, std::string& secret, std::string& error);

// Asks for a secret on the terminal without echo; nullopt when the user ends
// the input. Empty when standard input is not a terminal.
using SecretPrompt = std::function<std::optional<std::string>(const std::string& prompt)>;

// Fills every password the command needs and the command line did not give:
// from its file option, else by asking with `ask`. False with the reason when
// a file cannot be read, or a password is missing and there is no terminal.
bool resolvePasswords(Options& options, const SecretPrompt& ask, std::string& error);

// The terminal prompt halyardctl's main installs: the prompt on standard
// error, the answer read from standard input with echo off.
std::optional<std::string> askSecretOnTerminal(const std::string& prompt);

} // namespace halyardctl
