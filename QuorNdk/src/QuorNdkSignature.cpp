#include "QuorNdkSignature.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace UpgradeSignature {

const char kMagic[kMagicBytes + 1] = "VLMRSIG1";

static_assert(kPublicKeyBytes == crypto_sign_PUBLICKEYBYTES, "public key size");
static_assert(kSecretKeyBytes == crypto_sign_SECRETKEYBYTES, "secret key size");
static_assert(kSignatureBytes == crypto_sign_BYTES, "signature size");

namespace {

// Longest key file: the hex digits of a secret key and a line feed (CR LF).
constexpr size_t kMaxKeyText = 2 * kSecretKeyBytes + 2;

// Exactly 2 * size hex digits, then at most one line end (LF or CR LF).
bool ParseHex(const char* text, size_t length, uint8_t* out, size_t size)
{
    if (length > 0 && text[length - 1] == '\n')
        length--;
    if (length > 0 && text[length - 1] == '\r')
        length--;
    size_t decoded = 0;
    const char* end = nullptr;
    return length == 2 * size && sodium_hex2bin(out, size, text, length, nullptr, &decoded, &end) == 0 &&
           decoded == size && end == text + length;
}

} // namespace

int Initialize()
{
    return sodium_init() < 0 ? -1 : 0;
}

int ReadKeyFile(const char* path, uint8_t* key, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[kMaxKeyText + 1];
    ssize_t length = read(fd, text, sizeof(text));
    close(fd);
    if (length < 0)
        return -1;
    bool ok = size <= kSecretKeyBytes && static_cast<size_t>(length) <= kMaxKeyText &&
              ParseHex(text, static_cast<size_t>(length), key, size);
    sodium_memzero(text, sizeof(text));
    return ok ? 0 : -2;
}

int WriteKeyFile(const char* path, const uint8_t* key, size_t size, unsigned mode)
{
    if (size > kSecretKeyBytes)
        return -1;
    char text[2 * kSecretKeyBytes + 2];
    sodium_bin2hex(text, sizeof(text), key, size);
    size_t length = 2 * size;
    text[length++] = '\n';
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
    bool ok = fd >= 0 && write(fd, text, length) == static_cast<ssize_t>(length);
    ok = fd >= 0 && fsync(fd) == 0 && close(fd) == 0 && ok;
    sodium_memzero(text, sizeof(text));
    return ok ? 0 : -1;
}

bool HasBlock(const uint8_t* bytes, size_t size)
{
    return size >= kBlockBytes && memcmp(bytes + size - kMagicBytes, kMagic, kMagicBytes) == 0;
}

bool Verify(const uint8_t* bytes, size_t size, const uint8_t key[kPublicKeyBytes])
{
    if (!HasBlock(bytes, size))
        return false;
    size_t signedBytes = size - kBlockBytes;
    return crypto_sign_verify_detached(bytes + signedBytes, bytes, signedBytes, key) == 0;
}

int MakeBlock(const uint8_t* bytes, size_t size, const uint8_t secret[kSecretKeyBytes], uint8_t block[kBlockBytes])
{
    if (crypto_sign_detached(block, nullptr, bytes, size, secret) != 0)
        return -1;
    memcpy(block + kSignatureBytes, kMagic, kMagicBytes);
    return 0;
}

MappedFile::~MappedFile()
{
    if (m_pBytes != nullptr)
        munmap(m_pBytes, m_Size);
}

int MappedFile::Open(const char* path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    struct stat st;
    int result = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? 0 : -1;
    if (result == 0 && st.st_size > 0) {
        void* mapped = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped == MAP_FAILED) {
            result = -1;
        } else {
            m_pBytes = static_cast<uint8_t*>(mapped);
            m_Size = static_cast<size_t>(st.st_size);
        }
    }
    int saved = errno;
    close(fd);
    errno = saved;
    return result;
}

} // namespace UpgradeSignature
