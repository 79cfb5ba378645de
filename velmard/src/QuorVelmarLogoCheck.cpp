// The check of an uploaded logo: see QuorVelmarLogoCheck.h.
#include "QuorVelmarLogoCheck.h"

#include <cstdio>
#include <cstring>

#include "BoardPath.h"

namespace {

const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

} // namespace

bool QuorIsPngSignature(const unsigned char* bytes, size_t length)
{
    return bytes != nullptr && length >= sizeof(kPngSignature) &&
           memcmp(bytes, kPngSignature, sizeof(kPngSignature)) == 0;
}

bool QuorIsPngFile(const char* boardPath)
{
    char path[BoardPath::kMaxRoot + 512];
    if (boardPath == nullptr || BoardPath::Resolve(boardPath, path, sizeof(path)) != 0)
        return false;
    FILE* file = fopen(path, "rbe");
    if (file == nullptr)
        return false;
    unsigned char head[sizeof(kPngSignature)];
    size_t n = fread(head, 1, sizeof(head), file);
    fclose(file);
    return QuorIsPngSignature(head, n);
}
