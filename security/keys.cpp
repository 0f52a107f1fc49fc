// Key derivation (PBKDF1 over SHA-256 or MD5 through OpenSSL's EVP interface)
// and random network keys from the kernel's generator.
#include "security/keys.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <unistd.h>

#include "network/model.h"
#include "platform/file_io.h"

const uint8_t kDakSalt[8] = {0x08, 0x85, 0x6D, 0xAF, 0x7C, 0xF5, 0x81, 0x85};
const uint8_t kNmkSalt[8] = {0x08, 0x85, 0x6D, 0xAF, 0x7C, 0xF5, 0x81, 0x86};
const uint8_t kHp10Salt[8] = {0x08, 0x85, 0x6D, 0xAF, 0x7C, 0xF5, 0x81, 0x85};

const char kDefaultNetworkPassword[] = "HomePlugAV";
const char kHp10DefaultNetworkPassword[] = "HomePlug";

const std::array<uint8_t, kAvKeyLength> kDefaultNmk = {
    0x50, 0xD3, 0xE4, 0x93, 0x3F, 0x85, 0x5B, 0x70, 0x40, 0x78, 0x4D, 0xF8, 0x15, 0xAA, 0x8D, 0xB7};
const std::array<uint8_t, kHp10KeyLength> kDefaultNek = {0x46, 0xD6, 0x13, 0xE0,
                                                         0xF8, 0x4A, 0x76, 0x4C};

namespace {

constexpr int kIterations = 1000;

RandomSource randomSource;

// One digest of `data` with a freshly initialised hash state. The digest
// algorithms used here cannot fail short of memory exhaustion, which aborts.
void digestOnce(const EVP_MD* md, const uint8_t* data, size_t length, uint8_t* out) {
    unsigned int outLength = 0;
    if (EVP_Digest(data, length, out, &outLength, md, nullptr) != 1) {
        std::fputs("message digest failed\n", stderr);
        std::abort();
    }
}

// PBKDF1: hash(password || salt), then 999 more rounds over the whole digest.
template <size_t N>
std::array<uint8_t, N> pbkdf1(const EVP_MD* md, const char* password, size_t maxLength,
                              const uint8_t salt[8]) {
    uint8_t message[kAvPasswordMax + 8] = {};
    size_t length = password ? strnlen(password, maxLength) : 0;
    std::memcpy(message, password, length);
    std::memcpy(message + length, salt, 8);
    std::array<uint8_t, N> digest{};
    digestOnce(md, message, length + 8, digest.data());
    for (int i = 1; i < kIterations; ++i) {
        digestOnce(md, digest.data(), N, digest.data());
    }
    return digest;
}

// DES-style odd parity: bit 0 makes the number of set bits odd.
uint8_t withOddParity(uint8_t byte) {
    int ones = __builtin_popcount(byte & 0xFE);
    return (ones % 2) ? (byte & 0xFE) : (byte | 0x01);
}

bool kernelRandom(uint8_t* out, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t got = getrandom(out + done, length - done, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        done += static_cast<size_t>(got);
    }
    if (done == length) {
        return true;
    }
    // Kernels without getrandom(2): the same generator through its device file.
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    done = readFully(fd, out, length);
    close(fd);
    return done == length;
}

bool drawRandom(uint8_t* out, size_t length) {
    return randomSource ? randomSource(out, length) : kernelRandom(out, length);
}

} // namespace

AvDigest deriveDAK(const char* password) {
    return pbkdf1<kAvDigestLength>(EVP_sha256(), password, kAvPasswordMax, kDakSalt);
}

AvDigest deriveNMK(const char* password) {
    return pbkdf1<kAvDigestLength>(EVP_sha256(), password, kAvPasswordMax, kNmkSalt);
}

Hp10Digest deriveHP10Key(const char* password) {
    Hp10Digest digest = pbkdf1<kHp10DigestLength>(EVP_md5(), password, kHp10PasswordMax, kHp10Salt);
    for (size_t i = 0; i < kHp10KeyLength; ++i) {
        digest[i] = withOddParity(digest[i]);
    }
    return digest;
}

std::array<uint8_t, kAvKeyLength> dakFromPassword(const char* password) {
    AvDigest digest = deriveDAK(password);
    std::array<uint8_t, kAvKeyLength> key{};
    std::memcpy(key.data(), digest.data(), kAvKeyLength);
    return key;
}

std::array<uint8_t, kAvKeyLength> nmkFromPassword(const char* password) {
    AvDigest digest = deriveNMK(password);
    std::array<uint8_t, kAvKeyLength> key{};
    std::memcpy(key.data(), digest.data(), kAvKeyLength);
    return key;
}

std::array<uint8_t, kHp10KeyLength> hp10KeyFromPassword(const char* password) {
    Hp10Digest digest = deriveHP10Key(password);
    std::array<uint8_t, kHp10KeyLength> key{};
    std::memcpy(key.data(), digest.data(), kHp10KeyLength);
    return key;
}

size_t keyWidth() {
    return localIsAv ? kAvKeyLength : kHp10KeyLength;
}

void copyKey(uint8_t* dest, const uint8_t* derived) {
    std::memcpy(dest, derived, keyWidth());
}

bool makeRandomNetworkKey(uint8_t dest[16]) {
    const uint8_t* reference = localIsAv ? kDefaultNmk.data() : kDefaultNek.data();
    size_t width = localIsTurbo ? kHp10KeyLength : kAvKeyLength;
    do {
        if (!drawRandom(dest, width)) {
            std::memset(dest, 0, width);
            return false;
        }
    } while (std::memcmp(dest, reference, 8) == 0);
    return true;
}

void setRandomSource(RandomSource source) {
    randomSource = std::move(source);
}

void resetSecurityState() {
    randomSource = nullptr;
}
