// The multipart operations of the web uploads: pure functions over a buffer
// that holds the bytes of a "multipart/form-data" body received so far.
//
// The upload receiver feeds the body through them piece by piece as the web
// server hands it over, so an upload of any size is streamed to its file:
// between two pieces only the part head or a boundary-sized tail stays in
// memory. Nothing here allocates, touches a file or reads past the length
// given; every text copied out is terminated within its buffer.
#ifndef QUOR_VELMAR_MULTIPART_H
#define QUOR_VELMAR_MULTIPART_H

#include <cstddef>

// Parses the part head at the start of buf (len bytes). The buffer must begin
// with "--"; the head ends at the first empty line (LF LF or LF CR LF); every
// byte before it must be printable, a blank, CR, LF or a byte of 128 or more.
// The "name" and "filename" attributes of a "Content-Disposition: " line (case
// ignored) are copied into varName and fileName (sizes including the
// terminator); a value that does not fit leaves its buffer empty, never cut.
// *boundary is set to buf and *boundaryLen to the length of the first line
// including its LF. Returns the offset of the first body byte, or 0 when no
// complete, well-formed head is in the buffer (outputs then empty / null).
int mg_parse_multipart_head(const char* buf, int len, char* varName, int varNameSize, char* fileName,
                            int fileNameSize, const char** boundary, int* boundaryLen);

// The body bytes at the start of buf (len bytes) that may be written out. The
// stored boundary line (boundaryLen bytes, its line end included) ends the
// part: when its text without the line end is found at offset i, the bytes
// before the line end that precedes it are body (i - 2, or 0 when i < 2), and
// *done (optional) is set to 1. Without it, all but the last boundaryLen bytes
// are body: the tail that could hold the start of the boundary is kept for the
// next call. A buffer not longer than the boundary line gives 0.
int mg_parse_multipart_body(const char* buf, int len, const char* boundary, int boundaryLen, int* done);

#endif
