// BlockCursor: cuts a caller-owned image into transfer blocks.
#include <cerrno>
#include <new>

#include "plcapi/plcapi.h"

BlockCursor* blockCursorCreate(const uint8_t* image, uint32_t size, uint32_t blockSize) {
    if (image == nullptr || size == 0 || blockSize == 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto* cursor = new (std::nothrow) BlockCursor{image, image, image + size, 0, size, blockSize};
    if (cursor == nullptr) {
        errno = ENOMEM;
    }
    return cursor;
}

uint32_t blockCursorSeek(BlockCursor* cursor, uint32_t index, const uint8_t** blockStart) {
    if (cursor == nullptr || blockStart == nullptr) {
        errno = EINVAL;
        return 0;
    }
    uint64_t offset = uint64_t{index} * cursor->blockSize;
    if (offset >= cursor->size) {
        errno = ERANGE;
        cursor->current = cursor->limit;
        *blockStart = cursor->limit;
        return 0;
    }
    cursor->current = cursor->base + offset;
    cursor->index = index;
    *blockStart = cursor->current;
    uint64_t remaining = cursor->size - offset;
    return remaining < cursor->blockSize ? static_cast<uint32_t>(remaining) : cursor->blockSize;
}

uint32_t blockCursorNext(BlockCursor* cursor, const uint8_t** blockStart) {
    if (cursor == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return blockCursorSeek(cursor, cursor->index + 1, blockStart);
}

uint32_t blockCursorOffset(const BlockCursor* cursor) {
    return cursor == nullptr ? 0 : static_cast<uint32_t>(cursor->current - cursor->base);
}

bool blockCursorAtEnd(const BlockCursor* cursor, uint32_t n) {
    if (cursor == nullptr) {
        return true;
    }
    return uint64_t{blockCursorOffset(cursor)} + n >= cursor->size;
}

void blockCursorFree(BlockCursor* cursor) {
    delete cursor;
}
