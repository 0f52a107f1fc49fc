#pragma once
// Small POSIX file helpers shared by the subsystems that read raw files.
#include <cstddef>

// Reads up to `length` bytes from `fd` into `buffer`, retrying reads that were
// interrupted or came back short. Returns the number of bytes read: less than
// `length` at end of file or on an error.
size_t readFully(int fd, void* buffer, size_t length);
