// The file traffic of the web interface: uploads to "/upload", downloads, the
// logo, and the actions on uploaded files ("update", "edidwrite", "edidread").
// See QuorVelmarMongooseTask.h.
#include <civetweb.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "BoardPath.h"
#include "LightLog.h"
#include "QuorVelmarFunction.h"
#include "QuorVelmarLogoCheck.h"
#include "QuorVelmarMGActionSupport.h"
#include "QuorVelmarMGTask.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarMongooseTask.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarUartTask.h"
#include "QuorUpgradeTRM40Task.h"
#include "QuorVelmarUploadReceiver.h"
#include "QuorVelmarWebGuard.h"
#include "serverproperty.h"

using quor_web::Matches;
using quor_web::ReadVars;
using quor_web::Var;

namespace {

const char kSrc[] = "src/QuorVelmarMongooseTask";

// Request body bytes read at a time; the receiver keeps at most a part head
// or a boundary-sized tail of them between reads.
const int kUploadBufferSize = 256 * 1024;
const size_t kDownloadPiece = 65535;
const size_t kEdidLineSize = 2048;
const char kLogo[] = "/www/images/logo.png";
const char kLogoBackup[] = "/www/images/logo_bak.png";
const char kLearnedEdid[] = "edid.bin";

// One upgrade start at a time: the moves and the MCU start flag.
std::mutex s_upgradeMutex;

int SendPlainReply(mg_connection* conn, int status, const char* text)
{
    mg_printf(conn,
              "HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: %zu\r\n\r\n%s\r\n",
              status, status == 200 ? "OK" : "Bad Request", strlen(text) + 2, text);
    return status;
}

// A refused upload: the connection is closed after a bare 400, without
// reading the rest of the body.
int RefuseUpload(mg_connection* conn)
{
    mg_printf(conn, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    QuorWebCloseNow(conn);
    return 400;
}

int DoUploadComplete(mg_connection* conn, const char* uri, CQuorVelmarUploadReceiver& receiver)
{
    receiver.Close();
    const char* path = receiver.Path();
    long long size = (long long)receiver.BytesWritten();
    if (!receiver.Done()) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######In DoUploadComplete, upload <%s> to <%.200s> is incomplete.", path,
                    uri);
        // Cut short, silent past the request time-out, or gone: what may
        // still come is not read.
        SendPlainReply(conn, 400, "");
        QuorWebCloseNow(conn);
        return 400;
    }
    if (Matches(uri, "/upload/upgradesoftware", 23)) {
        LightLogExt(20000, 0, kSrc, __LINE__, "upload file <%s> size <%lld>", path, size);
        CQuorVelmarUploadFiles::RecordName(receiver.PartName(), receiver.FileName());
        return SendPlainReply(conn, 200, "Upload file OK");
    }
    if (Matches(uri, "/upload/logo", 12)) {
        CQuorVelmarUploadFiles::RecordName(receiver.PartName(), receiver.FileName());
        LightLogExt(20000, 0, kSrc, __LINE__, "upload Image is <%s> size <%lld>", path, size);
        if (!QuorIsPngFile(path)) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######upload Image <%s> is not a PNG image, removed.", path);
            CQuorVelmarUploadFiles::Remove(path);
            return SendPlainReply(conn, 400, "");
        }
        if (!CQuorVelmarMGProcess::UpdateLogoImage(path))
            return SendPlainReply(conn, 400, "");
        return SendPlainReply(conn, 200, "File upload successfully");
    }
    LightLogExt(40000, 0, kSrc, __LINE__, "######In DoUploadComplete, Upload uri is <%.200s> Wrong and remove the file <%s>.",
                uri, path);
    CQuorVelmarUploadFiles::Remove(path);
    return SendPlainReply(conn, 400, "");
}

// A whole "/upload" request: the body is read in pieces and streamed through
// the receiver; what it did not consume yet stays in front of the next piece.
int UploadRequest(mg_connection* conn)
{
    const mg_request_info* info = mg_get_request_info(conn);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kUploadBufferSize]);
    if (info == nullptr || buffer == nullptr)
        return RefuseUpload(conn);
    CQuorVelmarUploadReceiver receiver;
    int have = 0;
    bool more = true;
    for (;;) {
        if (more && have < kUploadBufferSize) {
            int n = mg_read(conn, buffer.get() + have, (size_t)(kUploadBufferSize - have));
            if (n < 0)
                return RefuseUpload(conn);
            more = n > 0;
            have += n;
        }
        int consumed = receiver.Feed(buffer.get(), have, more);
        if (consumed < 0)
            return RefuseUpload(conn);
        memmove(buffer.get(), buffer.get() + consumed, (size_t)(have - consumed));
        have -= consumed;
        if (!more && consumed == 0)
            break;
    }
    return DoUploadComplete(conn, info->local_uri, receiver);
}

// The file as "/www/tmp/<name>" for the log, as the shell lines showed it.
std::string MoveText(const char* pattern, const char* name, const char* toDir)
{
    char text[2 * QUOR_UPLOAD_NAME_SIZE];
    snprintf(text, sizeof(text), pattern, kQuorUploadDir, name, toDir, name);
    return text;
}

bool MoveFailed(const std::string& command)
{
    LightLogExt(40000, 0, kSrc, __LINE__, "######pox_system <%s> fail and s32Ret is <%d>", command.c_str(), -2);
    return false;
}

bool StartArmUpgrade(const char* name)
{
    char from[QUOR_UPLOAD_NAME_SIZE], to[QUOR_UPLOAD_NAME_SIZE];
    std::string command = MoveText("mv %s/%s %s%s", name, kQuorUpgradeArmDir);
    if (CQuorVelmarUploadFiles::JoinPath(kQuorUploadDir, name, from, sizeof(from)) != 0 ||
        CQuorVelmarUploadFiles::JoinPath(kQuorUpgradeArmDir, name, to, sizeof(to)) != 0 ||
        CQuorVelmarUploadFiles::Move(from, to) != 0)
        return MoveFailed(command);
    LightLogExt(20000, 0, kSrc, __LINE__, "pox_system is <%s> OK!", command.c_str());
    size_t length = strlen(name);
    if (length <= 7) {
        LightLogExt(40000, 0, kSrc, __LINE__, "File Name <%s> is Error!", name);
        return false;
    }
    std::unique_ptr<T_QuorVersionUpgradeReq> request(new (std::nothrow) T_QuorVersionUpgradeReq());
    if (request == nullptr || g_pVelmarManageTask == nullptr)
        return false;
    request->tHeader = QuorFreshMsgHeader(QUOR_MSG_VERSION_UPGRADE_REQ);
    snprintf(request->cDevAddr, sizeof(request->cDevAddr), "%s", "ARM");
    snprintf(request->cVersionName, sizeof(request->cVersionName), "%.*s", (int)(length - 7), name);
    snprintf(request->cVersionFile, sizeof(request->cVersionFile), "%s", name);
    LightLogExt(20000, 0, kSrc, __LINE__, "VersionName is <%s>, len is <%d>.", request->cVersionName,
                (int)(length - 7));
    g_pVelmarManageTask->SendVersionUpgradeReq(*request);
    CQuorVelmarUploadFiles::ClearUpVersion();
    return true;
}

bool StartMcuUpgrade(const char* name)
{
    if (!QuorClaimMcuUpgrade()) {  // before any file moves: one upgrade at a time
        LightLogExt(40000, 0, kSrc, __LINE__, "######MCU upgrade of <%s> refused: an upgrade is running.", name);
        return false;
    }
    std::string command = MoveText("mv %s/%s* %s", name, kQuorUpgradeMcuDir);
    if (CQuorVelmarUploadFiles::MovePrefixed(kQuorUploadDir, name, kQuorUpgradeMcuDir) <= 0) {
        QuorReleaseMcuUpgrade();
        return MoveFailed(command);
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "pox_system is <%s> OK!", command.c_str());
    std::string image = std::string(kQuorUpgradeMcuDir) + name;
    QuorSetUpgradeName(g_MCUVersionFile, image.c_str());
    return QuorStartClaimedMcuUpgrade();
}

void SystemConfVersionUpgrade(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char board[quor_web::kVarSize];
    if (!ReadVars(conn, {Var("cmdparameter", board)}))
        return;
    LightLogExt(20000, 0, kSrc, __LINE__, "System update SoftWare Version Req, CMD: %s Content is <%s>.",
                "softwarename", board);
    if (!Matches(board, "MCU", 3) && !Matches(board, "ARM", 3)) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "######System update SoftWare Version Req, szCmdType value is <%s>, szCmdStr value is <%s>, is Not "
                    "MCU/ARM Error!",
                    "systemconfig", board);
        conn.SendStatus(400);
        return;
    }
    char name[QUOR_UPLOAD_NAME_SIZE];
    CQuorVelmarUploadFiles::UpVersion(name);
    if (!CQuorVelmarMGProcess::ProcessSoftwareVersionUpgrade(board, name)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######ProcessSoftwareVersionUpgrade is Error!");
        conn.SendStatus(400);
        return;
    }
    conn.SendStatus(200);
}

// Reads "cmdparameter" (a port placed inside one MCU line) into port.
bool ReadPort(CQuorVelmarHttpConn& conn, char (&port)[quor_web::kVarSize], const char* logFormat)
{
    if (!ReadVars(conn, {Var("cmdparameter", port)}))
        return false;
    LightLogExt(20000, 0, kSrc, __LINE__, logFormat, "cmdparameter", port);
    if (strpbrk(port, "\r\n") == nullptr)
        return true;
    conn.SendStatus(400);
    return false;
}

const int kFileTooLarge = -3;

// Reads the board file into out when it holds at most limit bytes: its size
// is checked (fstat) before anything is read, so a large upload never
// reaches memory. The length read; kFileTooLarge; -2 when it cannot be read.
int ReadSmallFile(const char* boardPath, size_t limit, std::string* out)
{
    char file[BoardPath::kMaxRoot + QUOR_UPLOAD_NAME_SIZE];
    int fd = BoardPath::Resolve(boardPath, file) == 0 ? open(file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW) : -1;
    if (fd < 0)
        return -2;
    struct stat st;
    int result = -2;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        result = (size_t)st.st_size > limit ? kFileTooLarge : 0;
        out->resize(result == 0 ? (size_t)st.st_size : 0);
    }
    for (size_t at = 0; result == 0 && at < out->size();) {
        ssize_t n = read(fd, &(*out)[at], out->size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            result = -2;
        else
            at += (size_t)n;
    }
    close(fd);
    return result == 0 ? (int)out->size() : result;
}

bool EdidRefused(CQuorVelmarHttpConn& conn, const char* name, int length)
{
    LightLogExt(40000, 0, kSrc, __LINE__, "######Read Edid <%s>, Content is <%d> Error!", name, length);
    conn.SendStatus(400);
    return false;
}

void DevConfSetEdidWrite(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char port[quor_web::kVarSize];
    if (!ReadPort(conn, port, "EDID Write Req, CMD: %s CmdPrm is <%s>."))
        return;
    char name[QUOR_UPLOAD_NAME_SIZE], path[QUOR_UPLOAD_NAME_SIZE] = "";
    CQuorVelmarUploadFiles::EDIDName(name);
    std::string content;
    int length = -1;
    if (name[0] != '\0' && CQuorVelmarUploadFiles::JoinPath(kQuorUploadDir, name, path, sizeof(path)) == 0)
        length = ReadSmallFile(path, kEdidLineSize, &content);
    if (length == kFileTooLarge) {
        EdidRefused(conn, name, length);
        return;
    }
    if (length < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######FileToString <%s> Error and s32Rst is <%d>.", path, length);
        conn.SendStatus(400);
        return;
    }
    char dump[200];
    FormatMemDump(content.data(), (uint32_t)content.size(), dump, sizeof(dump));
    LightLogExt(20000, 0, kSrc, __LINE__, "strEdid is <%s>, len is <%d>.", dump, length);
    std::string line = std::string("SET EDID_W ") + port + " " + content + "\r\n";
    if (content.empty() || line.size() > kEdidLineSize - 1) {
        EdidRefused(conn, name, length);
        return;
    }
    if (g_pVelmarManageTask == nullptr || g_pVelmarManageTask->SendUartBuf((uint32_t)line.size(), line.data()) < 0) {
        conn.SendStatus(400);
        return;
    }
    CQuorVelmarUploadFiles::Remove(path);
    conn.SendStatus(200);
}

void DevConfSetEdidLearn(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    char port[quor_web::kVarSize];
    if (!ReadPort(conn, port, "EDID Learn Req, CMD: %s CmdPrm is <%s>."))
        return;
    // Cleared before the request goes out, so a quick answer is never lost.
    g_b8LearnEDIDOK.store(false, std::memory_order_release);
    if (!quor_web::SendMcuLineOr400(conn, "GET EDID_R %s\r\n", port))
        return;
    int seconds = CQuorVelmarPref::s_u16Quor_EDIDLearnTimerOut;
    bool learned = false;
    for (int i = 0; i < seconds && !learned; ++i) {
        quor_web::PauseMs(1000);
        LightLogExt(20000, 0, kSrc, __LINE__, "Learning EDID...");
        learned = g_b8LearnEDIDOK.load(std::memory_order_acquire);
    }
    char path[QUOR_UPLOAD_NAME_SIZE];
    CQuorVelmarUploadFiles::JoinPath(kQuorUploadDir, kLearnedEdid, path, sizeof(path));
    if (!learned) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Learn <%ds> EDID code, can't Learn Code,Fail!", seconds);
        conn.SendStatus(400);
        return;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "Learn EDID OK, put <%s> File to Web.", path);
    if (CQuorVelmarMGProcess::HttpDownFile(conn, path) == 0)
        replySent = 0;
}

bool SendFileBody(mg_connection* conn, int fd)
{
    std::unique_ptr<char[]> piece(new (std::nothrow) char[kDownloadPiece]);
    if (piece == nullptr)
        return false;
    ssize_t n;
    while ((n = read(fd, piece.get(), kDownloadPiece)) > 0) {
        if (mg_write(conn, piece.get(), (size_t)n) <= 0)
            return false;
    }
    return n == 0;
}

} // namespace

int CQuorVelmarMGProcess::HttpDownFile(CQuorVelmarHttpConn& conn, const char* path)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "HttpDownFile, filename is <%s>.", path);
    char file[BoardPath::kMaxRoot + QUOR_UPLOAD_NAME_SIZE];
    int fd = BoardPath::Resolve(path, file) == 0 ? open(file, O_RDONLY | O_CLOEXEC) : -1;
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######HttpDownFile, filename is <%s> No this File Error.", path);
        if (fd >= 0)
            close(fd);
        conn.SendStatus(400);
        return -2;
    }
    conn.SendStatus(200);
    time_t now = time(nullptr);
    char date[64];
    if (ctime_r(&now, date) == nullptr)
        snprintf(date, sizeof(date), "\n");
    const char* base = strrchr(path, '/');
    mg_printf(conn.Raw(),
              "HTTP/1.1 200 OK\r\nServer: lion\r\nMime-Version:1.0\r\nDate: %sContent-Type: application/octet-stream\r\n"
              "Content-Length: %lld\r\nContent-Disposition: attachment; filename=%s\r\n\r\n",
              date, (long long)st.st_size, base != nullptr ? base + 1 : path);
    bool sent = SendFileBody(conn.Raw(), fd);
    close(fd);
    if (!sent)
        LightLogExt(40000, 0, kSrc, __LINE__, "######HttpDownFile, sending <%s> broke off.", path);
    return 0;
}

bool CQuorVelmarMGProcess::UpdateLogoImage(const char* path)
{
    if (path == nullptr || path[0] == '\0') {
        LightLogExt(40000, 0, kSrc, __LINE__, "######update logo image fail<invalid param>");
        return false;
    }
    char backup[2 * QUOR_UPLOAD_NAME_SIZE], replace[2 * QUOR_UPLOAD_NAME_SIZE];
    snprintf(backup, sizeof(backup), "mv %s %s", kLogo, kLogoBackup);
    snprintf(replace, sizeof(replace), "mv %s %s", path, kLogo);
    if (CQuorVelmarUploadFiles::Move(kLogo, kLogoBackup) != 0)
        LightLogExt(40000, 0, kSrc, __LINE__, "######pox_system <%s> Error and s32Rst is <%d>.", backup, -2);
    if (CQuorVelmarUploadFiles::Move(path, kLogo) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######pox_system <%s> Error and s32Rst is <%d>.", replace, -2);
        return false;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "pox_system <%s> OK.", replace);
    quor_web::RunSync();
    return true;
}

bool CQuorVelmarMGProcess::ProcessSoftwareVersionUpgrade(const char* board, const char* name)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "In ProcessSoftwareVersionUpgrade Fun, Upgrade Board is <%s>, Version is <%s>",
                board != nullptr ? board : "", name != nullptr ? name : "");
    // An empty name would move whole directories; a name off the whitelist
    // never reaches a path.
    if (board == nullptr || name == nullptr || CQuorVelmarUploadFiles::CheckName(name) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######In ProcessSoftwareVersionUpgrade Fun, input Parameter is NULL error.");
        return false;
    }
    std::lock_guard<std::mutex> lock(s_upgradeMutex);
    if (Matches(board, "ARM", 3))
        return StartArmUpgrade(name);
    if (Matches(board, "MCU", 3))
        return StartMcuUpgrade(name);
    LightLogExt(40000, 0, kSrc, __LINE__,
                "######In ProcessSoftwareVersionUpgrade Fun, Upgrade Board is <%s>, Version is <%s> is Not MCU/ARM Error!",
                board, name);
    return false;
}

void CQuorVelmarMGProcess::InstallFileHandlers()
{
    CQuorVelmarUploadFiles::RemoveTemporaries();
    CQuorVelmarMGTask::SetUploadHandler(UploadRequest);
    SetActionHook(kHookUpdate, SystemConfVersionUpgrade);
    SetActionHook(kHookEdidWrite, DevConfSetEdidWrite);
    SetActionHook(kHookEdidRead, DevConfSetEdidLearn);
}
