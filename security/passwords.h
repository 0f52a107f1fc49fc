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

// Length 4..24; otherwise shows the "Invalid Entry" box for device passwords,
// owned by `owner`, and returns false. Characters are not checked.
bool checkDevicePassword(void* owner, const char* password);

// Length 4..24; otherwise shows the "Invalid Entry" box for encryption keys,
// owned by the main window, and returns false. Characters are not checked.
bool checkNetworkPassword(const char* password);

// Rewrites a password in its 25-byte buffer into dash-separated groups: a dash
// is inserted at positions 4, 9 and 14 unless one is there already. A
// 16-character password becomes "XXXX-XXXX-XXXX-XXXX". The buffer stays
// NUL-terminated within its 25 bytes.
void insertPasswordDashes(char* buffer25);
