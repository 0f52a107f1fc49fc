// Checks on typed passwords and the dashed form of device passwords.
#include "security/passwords.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

// Length of a password, reading at most one byte past the longest allowed one.
size_t boundedLength(const char* password) {
    return password ? strnlen(password, kPasswordBufferSize) : 0;
}

bool lengthAllowed(size_t length) {
    return length >= kPasswordMinLength && length <= kPasswordMaxLength;
}

} // namespace

bool checkPasswordRules(const char* password) {
    if (!password) {
        std::fputs("No password was entered...exiting\n", stdout);
        return false;
    }
    size_t length = boundedLength(password);
    if (!lengthAllowed(length)) {
        std::fputs("Password length illegal, use 4-24 chars\n", stdout);
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        // Read as a signed byte: codes 128..255 are negative and so below 32.
        auto code = static_cast<signed char>(password[i]);
        if (code < 32) {
            std::fputs("Illegal character in password, CTRL and ALT characters not allowed.\n",
                       stdout);
            return false;
        }
    }
    return true;
}

bool checkDevicePassword(const char* password) {
    return lengthAllowed(boundedLength(password));
}

bool checkNetworkPassword(const char* password) {
    return lengthAllowed(boundedLength(password));
}

void insertPasswordDashes(char* buffer25) {
    constexpr size_t last = kPasswordBufferSize - 1;
    for (size_t position : {4u, 9u, 14u}) {
        if (buffer25[position] != '-') {
            std::memmove(buffer25 + position + 1, buffer25 + position, last - position);
            buffer25[position] = '-';
        }
    }
    // A password of more than 21 characters loses its last ones to the dashes;
    // the text must still end inside the buffer.
    buffer25[last] = '\0';
}
