// halyardctl: halyard's operations on the command line (see cli/halyardctl.h).
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/halyardctl.h"

namespace {

// A yes/no question on the terminal; anything but "y" or "yes" is no.
bool askOnTerminal(const std::string& question) {
    std::cerr << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    halyardctl::Environment env;
    env.outIsTerminal = isatty(STDOUT_FILENO) == 1;
    if (isatty(STDIN_FILENO) == 1)
        env.confirm = askOnTerminal;
    return halyardctl::run(args, std::cout, std::cerr, env);
}
