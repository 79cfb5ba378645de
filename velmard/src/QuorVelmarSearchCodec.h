// The configuration-tool search protocol on UDP port 1983: the request and
// reply records, their wire forms, and the item tags. Pure functions (no
// logging, no sockets), shared by the daemon's search task and the PC-side
// client velmar-find.
//
// Request (integers big-endian): magic 0x1698 (2), type (1), PC id (4),
// device id (4), tag (1), value length (2), value (up to 512 bytes).
// Reply: magic 0x1799 (2), type (1), PC id (4), device id (4), result (1),
// tag (1), value length (2, 0 to 255), value.
//
// Guarantees: a parse never reads past the bytes it was given, and a pack
// never writes past the capacity it was given.
#ifndef QUOR_VELMAR_SEARCHCODEC_H
#define QUOR_VELMAR_SEARCHCODEC_H

#include <cstddef>
#include <cstdint>

enum : uint16_t {
    QUOR_SEARCH_PORT = 1983,
    QUOR_SEARCH_REQ_MAGIC = 0x1698,
    QUOR_SEARCH_RSP_MAGIC = 0x1799
};

enum : uint8_t {
    QUOR_SEARCH_TYPE_GET = 2,
    QUOR_SEARCH_TYPE_SET = 3,
    QUOR_SEARCH_TYPE_SEARCH = 4
};

enum : uint32_t {
    QUOR_SEARCH_REQ_HEADER_LEN = 14,
    QUOR_SEARCH_RSP_HEADER_LEN = 15,
    QUOR_SEARCH_CONTENT_SIZE = 512,   // value bytes a request record keeps
    QUOR_SEARCH_MAX_VALUE = 255,      // longest value of a reply
    QUOR_SEARCH_RSP_MAX_LEN = QUOR_SEARCH_RSP_HEADER_LEN + QUOR_SEARCH_MAX_VALUE,
    QUOR_SEARCH_REQ_MAX_LEN = QUOR_SEARCH_REQ_HEADER_LEN + QUOR_SEARCH_CONTENT_SIZE
};

struct T_KorvexGUIReq {
    uint16_t u16magic;
    uint8_t u8Type;
    uint32_t u32PCId;
    uint32_t u32Q7MId;
    uint8_t u8TAG;
    uint16_t u16Len;
    char cContent[QUOR_SEARCH_CONTENT_SIZE];   // zeros past the bytes received
    uint32_t u32ContentReceived;               // value bytes that really arrived (at most 512)
};

struct T_KorvexGUIRsp {
    uint16_t u16magic;
    uint8_t u8Type;
    uint32_t u32PCId;
    uint32_t u32Q7MId;
    uint8_t u8Result;
    uint8_t u8TAG;
    uint8_t u8Len;        // value length
    uint8_t b8IsNumber;   // 0: cContent holds the raw bytes; 1: a decimal text to pack as u8Len bytes
    char cContent[QUOR_SEARCH_CONTENT_SIZE];
};

// Reads a received request: the fields at their offsets, a field (or value
// byte) beyond the received bytes reading as zero. Returns 0, or -2 for no
// bytes or a length of 0 (record cleared).
int ParseSearchReq(const char* bytes, uint32_t length, T_KorvexGUIReq* req);

// Writes a request: 14 header bytes and u16Len value bytes. Returns 0 with
// *outLen set, or -2 when u16Len is above 512 or the capacity is too small.
int PackSearchReq(const T_KorvexGUIReq& req, char* out, uint32_t capacity, uint32_t* outLen);

// Leading decimal digits of the first size bytes of text (stops at the first
// other byte or at size), modulo 2^32.
uint32_t SearchDecimalValue(const char* text, size_t size);

// Writes a reply: the header and u8Len value bytes (raw bytes copied; a
// number packed big-endian as 1, 2 or 4 bytes). Returns 0 with *outLen set;
// -2 for a number of another width (its value is written as that many zero
// bytes, *outLen still set) or a capacity below 15 + u8Len (*outLen 0).
int PackSearchRsp(const T_KorvexGUIRsp& rsp, char* out, uint32_t capacity, uint32_t* outLen);

// Why ParseSearchRsp refused a datagram.
enum T_SearchRspFault {
    QUOR_SEARCH_RSP_OK = 0,
    QUOR_SEARCH_RSP_SHORT,       // fewer than 15 bytes
    QUOR_SEARCH_RSP_BAD_MAGIC,   // not 0x1799
    QUOR_SEARCH_RSP_BAD_LENGTH   // value length above 255 or not the bytes that follow
};

// Reads a reply strictly: the value length must be at most 255 and equal to
// the bytes after the header. The value lands raw in cContent (b8IsNumber 0).
T_SearchRspFault ParseSearchRsp(const char* bytes, uint32_t length, T_KorvexGUIRsp* rsp);
const char* SearchRspFaultText(T_SearchRspFault fault);

// ---- Item tags --------------------------------------------------------------

// How a tag's value reads.
enum T_SearchValueKind : uint8_t {
    QUOR_SEARCH_VALUE_NONE,      // no value (or not readable)
    QUOR_SEARCH_VALUE_NUMBER,    // big-endian unsigned of 1, 2 or 4 bytes
    QUOR_SEARCH_VALUE_TEXT,      // characters, zeros at the end dropped
    QUOR_SEARCH_VALUE_ADDRESS,   // 4 bytes of a dotted IPv4 address
    QUOR_SEARCH_VALUE_MAC        // 6 bytes
};

struct T_SearchTagInfo {
    uint8_t u8Tag;
    const char* pName;          // the client's name of the item
    T_SearchValueKind eKind;
    uint8_t u8Width;            // bytes of a number
    bool b8Readable;            // answered by a read
    const char* pDescription;
};

// Every tag the protocol names (0x00 to 0x1d), in tag order.
const T_SearchTagInfo* SearchTags(size_t* count);
// The entry of a tag or of a name (ignoring case); null when there is none.
const T_SearchTagInfo* SearchTagByNumber(uint8_t tag);
const T_SearchTagInfo* SearchTagByName(const char* name);

#endif
