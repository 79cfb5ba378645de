// The MCU firmware image: see QuorUpgradeFlashImage.h.
#include "QuorUpgradeFlashImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "BoardPath.h"
#include "HexDigit.h"
#include "LightLog.h"

char g_Filebuf[QUOR_UPGRADE_FILE_MAX];
unsigned char g_FlashBuf[QUOR_FLASH_IMAGE_SIZE];
std::atomic<uint32_t> g_row{0};

namespace {

const char kSrc[] = "src/QuorUpgradeFlashImage";
const uint32_t kReadPiece = 1024;

enum : uint32_t { kTypeData = 0, kTypeEnd = 1 };
// ":" and the count, two address, type and checksum digit pairs.
const int kRecordHeadDigits = 10;

// One record line: its fields, the offset of its first data digit pair and
// the sum of all its bytes.
struct T_HexRecord {
    uint32_t u32Count;
    uint32_t u32Address;
    uint32_t u32Type;
    int s32DataPos;
    uint32_t u32Sum;
};

// One line of the text: [begin, end) without its line end, next behind it.
struct T_HexLine {
    int s32Begin;
    int s32End;
    int s32Next;
    int s32Number;
};

int DigitValue(char c)
{
    return HexDigitValue(static_cast<unsigned char>(c));
}

unsigned char PairAt(const char* buffer, int pos)
{
    return ASCIIToHEX(buffer[pos], buffer[pos + 1]);
}

// The line starting at pos: it ends at LF (a CR before it belongs to the
// line end) or at the end of the text.
T_HexLine LineAt(const char* buffer, int length, int pos, int number)
{
    T_HexLine line = {pos, pos, length, number};
    const void* lf = memchr(buffer + pos, '\n', (size_t)(length - pos));
    if (lf == nullptr) {
        line.s32End = length;
        return line;
    }
    line.s32End = (int)(static_cast<const char*>(lf) - buffer);
    line.s32Next = line.s32End + 1;
    if (line.s32End > pos && buffer[line.s32End - 1] == '\r')
        --line.s32End;
    return line;
}

int RefuseLine(const T_HexLine& line, const char* what)
{
    LightLogExt(40000, 0, kSrc, __LINE__, "######Record at line <%d> %s, Read file format error!", line.s32Number,
                what);
    return -1;
}

// Reads one record line strictly: ":" then hexadecimal digit pairs, as many
// as the byte count says, up to the line end. 0, or -1 (logged).
int ReadRecord(const char* buffer, const T_HexLine& line, T_HexRecord* record)
{
    const int digits = line.s32End - line.s32Begin - 1;
    if (buffer[line.s32Begin] != ':')
        return RefuseLine(line, "does not begin with ':'");
    for (int i = line.s32Begin + 1; i < line.s32End; ++i) {
        if (DigitValue(buffer[i]) < 0)
            return RefuseLine(line, "holds a character that is no hexadecimal digit");
    }
    if (digits < kRecordHeadDigits - 1 || digits % 2 != 0)
        return RefuseLine(line, "is too short or has an odd number of digits");
    const int head = line.s32Begin + 1;
    record->u32Count = PairAt(buffer, head);
    if (digits != 2 * ((int)record->u32Count + 5))
        return RefuseLine(line, "has a byte count that differs from its length");
    record->u32Address = (uint32_t)PairAt(buffer, head + 2) << 8 | PairAt(buffer, head + 4);
    record->u32Type = PairAt(buffer, head + 6);
    record->s32DataPos = head + 8;
    record->u32Sum = 0;
    for (int pos = head; pos < line.s32End; pos += 2)
        record->u32Sum += PairAt(buffer, pos);
    record->u32Sum &= 0xFF;
    return 0;
}

// One record of the checking pass: 0, or -1 (logged) when it rejects the file.
int CheckRecord(const T_HexRecord& record, const T_HexLine& line)
{
    if (record.u32Sum != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######cksum<%d> is error", (int)record.u32Sum);
        return RefuseLine(line, "has a wrong checksum");
    }
    if (record.u32Type == kTypeData && record.u32Address + record.u32Count > QUOR_FLASH_IMAGE_SIZE) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Record at <0x%04X> with <%u> bytes ends past 0x10000, is error.",
                    record.u32Address, record.u32Count);
        return RefuseLine(line, "ends past 0x10000");
    }
    if (record.u32Type == kTypeEnd && record.u32Count != 0)
        return RefuseLine(line, "is an end record that carries data");
    if (record.u32Type != kTypeData && record.u32Type != kTypeEnd)
        LightLogExt(10000, 0, kSrc, __LINE__, "Record type <%u> at line <%d> ignored, only the first 64 KiB are used.",
                    record.u32Type, line.s32Number);
    return 0;
}

// Calls visit(line, record) for every record line before the end record
// and the end record itself; blank lines are skipped. 0 when every record
// is well formed and nothing but blank lines follows the end record.
template <typename Visit>
int WalkRecords(const char* buffer, int length, Visit visit)
{
    bool endSeen = false;
    int number = 1;
    for (int pos = 0; pos < length; ++number) {
        const T_HexLine line = LineAt(buffer, length, pos, number);
        pos = line.s32Next;
        if (line.s32End == line.s32Begin)
            continue;
        if (endSeen)
            return RefuseLine(line, "follows the end record");
        T_HexRecord record;
        if (ReadRecord(buffer, line, &record) != 0 || visit(line, record) != 0)
            return -1;
        endSeen = record.u32Type == kTypeEnd;
    }
    return 0;
}

// The checking pass over the whole text: 0 when the image may be rewritten.
int CheckFile(const char* buffer, int length)
{
    bool endSeen = false;
    uint32_t maxHigh = 0;
    bool placesData = false;
    int result = WalkRecords(buffer, length, [&](const T_HexLine& line, const T_HexRecord& record) {
        if (CheckRecord(record, line) != 0)
            return -1;
        endSeen = endSeen || record.u32Type == kTypeEnd;
        if (record.u32Type == kTypeData && record.u32Count > 0) {
            placesData = true;
            if ((record.u32Address >> 8) > maxHigh)
                maxHigh = record.u32Address >> 8;
        }
        return 0;
    });
    if (result != 0)
        return -1;
    if (!endSeen) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Read file format error!");
        return -1;
    }
    if (!placesData) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######No data record before the end record, Read file format error!");
        return -1;
    }
    if (maxHigh == 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######address overflow and MaxAddr is <0x%x>!", maxHigh);
        return -1;
    }
    return 0;
}

}  // namespace

unsigned char ASCIIToHEX(char high, char low)
{
    int h = DigitValue(high);
    int l = DigitValue(low);
    if (h < 0) {
        LightLogExt(10000, 0, kSrc, __LINE__,
                    "decade<%c> don't transform to decimalism, because it is not regular ascii codes", high);
        return 0;
    }
    if (l < 0) {
        LightLogExt(10000, 0, kSrc, __LINE__,
                    "units<%c> don't transform to decimalism, because it is not regular ascii codes.", low);
        return 0;
    }
    return (unsigned char)(h * 16 + l);
}

int TransformDataOfFile(const char* buffer, int length)
{
    if (length > (int)QUOR_UPGRADE_FILE_MAX) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######FileTotallen[%d] > %d is error.", length,
                    (int)QUOR_UPGRADE_FILE_MAX);
        return -1;
    }
    if (buffer == nullptr || length <= 0 || CheckFile(buffer, length) != 0) {
        if (buffer == nullptr || length <= 0)
            LightLogExt(40000, 0, kSrc, __LINE__, "######Read file format error!");
        return -1;
    }
    memset(g_FlashBuf, 0xFF, sizeof(g_FlashBuf));
    uint32_t last = 0;
    int scanned = 0;
    WalkRecords(buffer, length, [&](const T_HexLine& line, const T_HexRecord& record) {  // checked above
        for (uint32_t i = 0; record.u32Type == kTypeData && i < record.u32Count; ++i) {
            last = record.u32Address + i;
            g_FlashBuf[last] = PairAt(buffer, record.s32DataPos + 2 * (int)i);
        }
        scanned = line.s32Next;
        return 0;
    });
    g_row.store(last >> 8);
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@TransformDataOfFile finish, g_row is <%d>,loa<%d> FileCount is <%d>, FileTotallen is <%d>!",
                (int)(last >> 8), (int)(last & 0xFF), scanned, length);
    return 0;
}

int Get512BytesFlashData(unsigned char* out, uint32_t page)
{
    if (out == nullptr || page > 0xFE)
        return -2;
    memcpy(out, g_FlashBuf + page * QUOR_FLASH_PAGE_SIZE, QUOR_FLASH_BLOCK_SIZE);
    return 0;
}

void fill0(char* text, uint32_t length)
{
    for (uint32_t i = 0; text != nullptr && i < length; ++i) {
        if (text[i] == ' ')
            text[i] = '0';
    }
}

namespace {

// Reads the open file into g_Filebuf: the bytes read, or -1 on a read error.
int ReadWhole(int fd, uint32_t size)
{
    memset(g_Filebuf, 0, sizeof(g_Filebuf));
    uint32_t total = 0;
    while (total < size) {
        uint32_t want = size - total < kReadPiece ? size - total : kReadPiece;
        ssize_t n = read(fd, g_Filebuf + total, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        total += (uint32_t)n;
    }
    return (int)total;
}

}  // namespace

int QuorReadUpgradeFile(const char* path)
{
    char resolved[BoardPath::kMaxRoot + 512];
    int fd = -1;
    if (path != nullptr && BoardPath::Resolve(path, resolved) == 0)
        fd = open(resolved, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### open Firware[%s] fail! fd is <%d>, in ProcessReadUpgradeFile!",
                    path != nullptr ? path : "", fd);
        return -2;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "###### get Firware[%s] FileSize fail! fstat return -1, in ProcessMatrixMCUUpgradeReq!", path);
        close(fd);
        return -2;
    }
    if (st.st_size > (off_t)QUOR_UPGRADE_FILE_MAX) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######FileSize is <%u> > %d * 1024, in ProcessMatrixMCUUpgradeReq.",
                    (unsigned)st.st_size, (int)(QUOR_UPGRADE_FILE_MAX / 1024));
        close(fd);
        return -2;
    }
    LightLogExt(20000, 0, kSrc, __LINE__,
                "open Firware[%s] fd is <%d> and FileSize is <%u>, in ProcessWNetVersionUpgradeRsp!", path, fd,
                (unsigned)st.st_size);
    int length = ReadWhole(fd, (uint32_t)st.st_size);
    int readErrno = errno;
    close(fd);
    if (length < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######read file [%s] fail, errno is <%d>", path, readErrno);
        return -2;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "@@@@@@read file [%s] finish, s32Rnum is <%u>", path, (unsigned)length);
    int result = TransformDataOfFile(g_Filebuf, length);
    if (result < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "######TransformDataOfFile fail, s32Ret is <%d> in ProcessReadUpgradeFile.", result);
        return -1;
    }
    return 0;
}
