// velmar-sign: the integrator's side of signed ARM upgrade archives.
//
//   velmar-sign keygen SECRET PUBLIC   makes an Ed25519 key pair: SECRET
//                                      (mode 0600) and PUBLIC (0644), both
//                                      new files of hex digits
//   velmar-sign sign SECRET ARCHIVE    appends the signature block to ARCHIVE
//                                      (refused when it carries one already)
//   velmar-sign verify PUBLIC ARCHIVE  checks the block as the agent does
//
// Exit status 0 on success, 1 on a failure (said on standard error), 2 on a
// usage error.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include "QuorNdkSignature.h"

namespace sig = UpgradeSignature;

namespace {

int Fail(const char* what, const char* path)
{
    fprintf(stderr, "velmar-sign: %s %s%s%s\n", what, path, errno != 0 ? ": " : "", errno != 0 ? strerror(errno) : "");
    return 1;
}

int KeyGen(const char* secretPath, const char* publicPath)
{
    uint8_t publicKey[sig::kPublicKeyBytes];
    uint8_t secretKey[sig::kSecretKeyBytes];
    crypto_sign_keypair(publicKey, secretKey);
    errno = 0;
    int result = sig::WriteKeyFile(secretPath, secretKey, sizeof(secretKey), 0600) == 0 ? 0
                                                                                        : Fail("cannot write", secretPath);
    sodium_memzero(secretKey, sizeof(secretKey));
    if (result == 0 && sig::WriteKeyFile(publicPath, publicKey, sizeof(publicKey), 0644) != 0) {
        unlink(secretPath);
        result = Fail("cannot write", publicPath);
    }
    return result;
}

int Sign(const char* secretPath, const char* archive)
{
    uint8_t secretKey[sig::kSecretKeyBytes];
    uint8_t block[sig::kBlockBytes];
    errno = 0;
    if (sig::ReadKeyFile(secretPath, secretKey, sizeof(secretKey)) != 0)
        return Fail("not a secret key file:", secretPath);
    sig::MappedFile bytes;
    int made = -1;
    if (bytes.Open(archive) == 0 && !sig::HasBlock(bytes.Bytes(), bytes.Size()))
        made = sig::MakeBlock(bytes.Bytes(), bytes.Size(), secretKey, block);
    sodium_memzero(secretKey, sizeof(secretKey));
    if (made != 0)
        return Fail("cannot sign (unreadable, or signed already)", archive);
    int fd = open(archive, O_WRONLY | O_APPEND | O_CLOEXEC);
    bool ok = fd >= 0 && write(fd, block, sizeof(block)) == static_cast<ssize_t>(sizeof(block));
    ok = fd >= 0 && close(fd) == 0 && ok;
    return ok ? 0 : Fail("cannot append the signature to", archive);
}

int Verify(const char* publicPath, const char* archive)
{
    uint8_t publicKey[sig::kPublicKeyBytes];
    errno = 0;
    if (sig::ReadKeyFile(publicPath, publicKey, sizeof(publicKey)) != 0)
        return Fail("not a public key file:", publicPath);
    sig::MappedFile bytes;
    if (bytes.Open(archive) != 0)
        return Fail("cannot read", archive);
    errno = 0;
    if (!sig::Verify(bytes.Bytes(), bytes.Size(), publicKey))
        return Fail("no valid signature in", archive);
    printf("%s: signature OK\n", archive);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (sig::Initialize() != 0) {
        fprintf(stderr, "velmar-sign: libsodium cannot start\n");
        return 1;
    }
    if (argc == 4 && strcmp(argv[1], "keygen") == 0)
        return KeyGen(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "sign") == 0)
        return Sign(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "verify") == 0)
        return Verify(argv[2], argv[3]);
    fprintf(stderr, "usage: %s keygen SECRET PUBLIC | sign SECRET ARCHIVE | verify PUBLIC ARCHIVE\n", argv[0]);
    return 2;
}
