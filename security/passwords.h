#pragma once
// Rules for typed passwords. Device and network passwords are NUL-terminated
// 8-bit text of 4 to 24 characters, held in 25-byte buffers.
#include <cstddef>

constexpr size_t kPasswordMinLength = 4;
constexpr size_t kPasswordMaxLength = 24;
constexpr size_t kPasswordBufferSize = 25;

// Length 4..24 and every character in 32..127 (space and 127 allowed). Writes
// the reason for a refusal to standard output. A null password is refused.
bool checkPasswordRules(const char* password);

// Length 4..24; characters are not checked. A refusal calls for the "Invalid
// Entry" message for device passwords (KeyMessage::InvalidDevicePassword).
bool checkDevicePassword(const char* password);

// Length 4..24; characters are not checked. A refusal calls for the "Invalid
// Entry" message for encryption keys (KeyMessage::InvalidNetworkPassword).
bool checkNetworkPassword(const char* password);

// Rewrites a password in its 25-byte buffer into dash-separated groups: a dash
// is inserted at positions 4, 9 and 14 unless one is there already. A
// 16-character password becomes "XXXX-XXXX-XXXX-XXXX". The buffer stays
// NUL-terminated within its 25 bytes.
void insertPasswordDashes(char* buffer25);
