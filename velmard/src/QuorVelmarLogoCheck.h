// The check of an uploaded logo: only a PNG image replaces the logo.
#ifndef QUOR_VELMAR_LOGOCHECK_H
#define QUOR_VELMAR_LOGOCHECK_H

#include <cstddef>

// True when the bytes begin with the 8-byte PNG signature.
bool QuorIsPngSignature(const unsigned char* bytes, size_t length);
// True when the file at the board path begins with the PNG signature.
bool QuorIsPngFile(const char* boardPath);

#endif
