// The receiver of one upload: see QuorVelmarUploadReceiver.h.
#include "QuorVelmarUploadReceiver.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "BoardPath.h"
#include "LightLog.h"
#include "QuorVelmarMultipart.h"

namespace {

const char kSrc[] = "src/QuorVelmarMongooseTask";

int Refuse(const char* what, const char* text)
{
    LightLogExt(40000, 0, kSrc, __LINE__, "######Upload refused: %s <%.*s>.", what, 200, text);
    return -1;
}

int OpenUploadFile(const char* boardPath)
{
    char path[BoardPath::kMaxRoot + QUOR_UPLOAD_NAME_SIZE];
    if (BoardPath::Resolve(boardPath, path) != 0)
        return -1;
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0664);
}

// Temporary names are unique within the process (and O_EXCL never opens a
// file that is there); leftovers of an earlier process are removed at start
// (CQuorVelmarUploadFiles::RemoveTemporaries).
std::atomic<unsigned> s_temporaryCount{0};

} // namespace

CQuorVelmarUploadReceiver::~CQuorVelmarUploadReceiver()
{
    Close();
}

void CQuorVelmarUploadReceiver::Close()
{
    if (m_s32Fd >= 0)
        close(m_s32Fd);
    m_s32Fd = -1;
    if (!m_b8Done && m_cTempPath[0] != '\0') {
        CQuorVelmarUploadFiles::Remove(m_cTempPath);
        m_cTempPath[0] = '\0';
    }
}

int CQuorVelmarUploadReceiver::OpenTemporary()
{
    char name[64];
    snprintf(name, sizeof(name), "%s%d-%u.part", kQuorUploadTempPrefix, (int)getpid(), s_temporaryCount.fetch_add(1) + 1);
    if (CQuorVelmarUploadFiles::JoinPath(kQuorUploadDir, name, m_cTempPath, sizeof(m_cTempPath)) != 0)
        return -1;
    m_s32Fd = OpenUploadFile(m_cTempPath);
    if (m_s32Fd < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######open file <%s> failed: %s", m_cTempPath, strerror(errno));
        m_cTempPath[0] = '\0';
        return -1;
    }
    return 0;
}

// The closing boundary has arrived: the file takes its name.
int CQuorVelmarUploadReceiver::Complete(int consumed)
{
    bool closed = close(m_s32Fd) == 0;
    m_s32Fd = -1;
    if (!closed || CQuorVelmarUploadFiles::Move(m_cTempPath, m_cPath) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######upload <%s> cannot take its name <%s>.", m_cTempPath, m_cPath);
        Close();
        return -1;
    }
    m_cTempPath[0] = '\0';
    m_b8Done = true;
    LightLogExt(20000, 0, kSrc, __LINE__, "upload <%s> complete, %llu bytes.", m_cPath,
                (unsigned long long)m_u64Written);
    return consumed;
}

int CQuorVelmarUploadReceiver::Feed(const char* buf, int len, bool more)
{
    if (m_b8Done)
        return len;
    if (m_s32Fd < 0)
        return FeedHead(buf, len, more);
    return FeedBody(buf, len);
}

int CQuorVelmarUploadReceiver::FeedHead(const char* buf, int len, bool more)
{
    char fileName[QUOR_UPLOAD_NAME_SIZE];
    const char* boundary = nullptr;
    int boundaryLen = 0;
    int head = mg_parse_multipart_head(buf, len, m_cPartName, sizeof(m_cPartName), fileName, sizeof(fileName),
                                       &boundary, &boundaryLen);
    if (head == 0)
        return len > kMaxHeadWait ? Refuse("no part head in the first bytes", "") : 0;
    LightLogExt(20000, 0, kSrc, __LINE__,
                "Upload file, in mg_parse_multipart_head, var_name is <%s>, file_name is <%.*s> Partdata_len is <%d>",
                m_cPartName, 200, fileName, len - head);
    if (fileName[0] == '\0')
        return Refuse("empty or oversized file name", m_cPartName);
    const char* name = CQuorVelmarUploadFiles::ReduceName(fileName);
    if (CQuorVelmarUploadFiles::CheckName(name) != 0)
        return Refuse("file name", fileName);
    snprintf(m_cFileName, sizeof(m_cFileName), "%s", name);
    if (boundaryLen > (int)sizeof(m_cBoundary) - 1)
        return Refuse("boundary line too long", "");
    memcpy(m_cBoundary, boundary, (size_t)boundaryLen);
    m_cBoundary[boundaryLen] = '\0';
    m_s32BoundaryLen = boundaryLen;
    if (CQuorVelmarUploadFiles::JoinPath(kQuorUploadDir, name, m_cPath, sizeof(m_cPath)) != 0)
        return Refuse("path too long", name);
    LightLogExt(20000, 0, kSrc, __LINE__, "open file <%s> /.................", m_cPath);
    if (OpenTemporary() != 0)
        return -1;
    if (more || head == len)
        return head;
    int body = FeedBody(buf + head, len - head);
    return body < 0 ? -1 : head + body;
}

int CQuorVelmarUploadReceiver::FeedBody(const char* buf, int len)
{
    int done = 0;
    int n = mg_parse_multipart_body(buf, len, m_cBoundary, m_s32BoundaryLen, &done);
    for (int written = 0; written < n;) {
        ssize_t w = write(m_s32Fd, buf + written, (size_t)(n - written));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######write file <%s> failed: %s", m_cPath, strerror(errno));
            return -1;
        }
        written += (int)w;
    }
    m_u64Written += (uint64_t)n;
    return done ? Complete(len) : n;
}
