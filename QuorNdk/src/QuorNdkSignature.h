// The signature block of an ARM upgrade archive, shared by the agent (which
// checks it) and the integrator's tool velmar-sign (which makes keys and
// appends blocks).
//
// A signed archive is the archive's own bytes followed by a 72-byte block:
//   64 bytes  Ed25519 signature (libsodium crypto_sign_detached) of every
//             byte before the block
//    8 bytes  the magic "VLMRSIG1"
// The archive itself is not changed, so the upload path takes a signed file
// as it takes any other. Keys are files of hex digits (a public key 64, a
// secret key 128), optionally followed by a line feed.
#ifndef QUOR_NDK_SIGNATURE_H
#define QUOR_NDK_SIGNATURE_H

#include <cstddef>
#include <cstdint>

namespace UpgradeSignature {

constexpr size_t kPublicKeyBytes = 32;
constexpr size_t kSecretKeyBytes = 64;
constexpr size_t kSignatureBytes = 64;
constexpr size_t kMagicBytes = 8;
constexpr size_t kBlockBytes = kSignatureBytes + kMagicBytes;
extern const char kMagic[kMagicBytes + 1];  // "VLMRSIG1"

// libsodium's start-up: 0, or -1 when it cannot run.
int Initialize();

// Reads a key file of exactly 2 * size hex digits (a line feed may follow):
// 0, -1 when the file cannot be read, -2 when it holds anything else.
int ReadKeyFile(const char* path, uint8_t* key, size_t size);
// Writes a key as hex digits and a line feed, the file created with mode
// (an existing file is refused): 0 or -1.
int WriteKeyFile(const char* path, const uint8_t* key, size_t size, unsigned mode);

// True when the bytes end in a block (by its magic).
bool HasBlock(const uint8_t* bytes, size_t size);
// True when the bytes end in a block whose signature is valid for the bytes
// before it under the public key.
bool Verify(const uint8_t* bytes, size_t size, const uint8_t key[kPublicKeyBytes]);
// The block for the bytes under the secret key: 0 or -1.
int MakeBlock(const uint8_t* bytes, size_t size, const uint8_t secret[kSecretKeyBytes], uint8_t block[kBlockBytes]);

// A file's bytes mapped read-only (nothing mapped for an empty file).
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    // 0, or -1 when the file cannot be opened or mapped (errno kept).
    int Open(const char* path);
    const uint8_t* Bytes() const { return m_pBytes; }
    size_t Size() const { return m_Size; }

private:
    uint8_t* m_pBytes = nullptr;
    size_t m_Size = 0;
};

} // namespace UpgradeSignature

#endif
