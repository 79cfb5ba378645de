// The receiver of one upload: takes the multipart body of an "/upload" request
// piece by piece and streams the file part into the upload directory.
//
// The caller keeps the bytes not yet consumed and hands them over again with
// the next piece (in front of it). Only the part head, or a boundary-sized
// tail, is ever kept back, so memory does not grow with the upload. A client
// that never sends a usable part head is refused once 8 KiB have arrived
// without one. The client's file name is reduced to its last component and
// must pass CQuorVelmarUploadFiles::CheckName before anything is opened.
//
// Only a whole upload counts: the data goes to a temporary file in the upload
// directory (a name beginning with '.', which no upload name can take), which
// is renamed to the upload's name only once the closing boundary has arrived.
// A refused, cut or dropped upload leaves nothing behind: the temporary file
// is removed when the receiver goes. The receiver records no name; the
// caller records FileName() once Done().
//
// One object per request, used by one thread.
#ifndef QUOR_VELMAR_UPLOADRECEIVER_H
#define QUOR_VELMAR_UPLOADRECEIVER_H

#include <cstddef>
#include <cstdint>

#include "QuorVelmarUploadFiles.h"

class CQuorVelmarUploadReceiver {
public:
    // Bytes without a complete part head after which the request is refused.
    static constexpr int kMaxHeadWait = 8192;

    CQuorVelmarUploadReceiver() = default;
    ~CQuorVelmarUploadReceiver();
    CQuorVelmarUploadReceiver(const CQuorVelmarUploadReceiver&) = delete;
    CQuorVelmarUploadReceiver& operator=(const CQuorVelmarUploadReceiver&) = delete;

    // Takes the bytes received so far and not yet consumed; more tells whether
    // further bytes of the request are still to come. Returns the number of
    // bytes consumed (from the start of buf), or -1 when the request is refused
    // and the connection is to be closed (a bad or missing part head, a refused
    // file name, a boundary line over 255 bytes, a file that cannot be created
    // or written). After the closing boundary everything is consumed.
    int Feed(const char* buf, int len, bool more);
    // Closes the file if it is open (an unfinished one is removed).
    void Close();

    // The file part was received up to its closing boundary and renamed to
    // its name.
    bool Done() const { return m_b8Done; }
    const char* PartName() const { return m_cPartName; }
    // The checked file name ("" before the head).
    const char* FileName() const { return m_cFileName; }
    // Board path the file has once Done() ("" before the head).
    const char* Path() const { return m_cPath; }
    uint64_t BytesWritten() const { return m_u64Written; }

private:
    int FeedHead(const char* buf, int len, bool more);
    int FeedBody(const char* buf, int len);
    int OpenTemporary();
    int Complete(int consumed);

    char m_cPartName[128] = {0};
    char m_cFileName[CQuorVelmarUploadFiles::kMaxNameLength + 1] = {0};
    char m_cPath[QUOR_UPLOAD_NAME_SIZE] = {0};
    char m_cTempPath[QUOR_UPLOAD_NAME_SIZE] = {0};
    char m_cBoundary[256] = {0};
    int m_s32BoundaryLen = 0;
    int m_s32Fd = -1;
    uint64_t m_u64Written = 0;
    bool m_b8Done = false;
};

#endif
