#include "QuorVelmarSearchCodec.h"

#include <strings.h>

#include <cstring>

#include "QuorWireReader.h"
#include "QuorWireWriter.h"

namespace {

const T_SearchTagInfo kTags[] = {
    {0x00, "null", QUOR_SEARCH_VALUE_NONE, 0, true, "empty value"},
    {0x01, "reset", QUOR_SEARCH_VALUE_NONE, 0, false, "restart the device (write only; changes nothing)"},
    {0x02, "factory", QUOR_SEARCH_VALUE_NONE, 0, false, "factory settings (write only; changes nothing)"},
    {0x03, "uptime", QUOR_SEARCH_VALUE_NUMBER, 4, true, "seconds since boot"},
    {0x04, "model", QUOR_SEARCH_VALUE_TEXT, 0, true, "module name"},
    {0x05, "sequence", QUOR_SEARCH_VALUE_NUMBER, 4, true, "sequence number"},
    {0x06, "alias", QUOR_SEARCH_VALUE_TEXT, 0, true, "device alias"},
    {0x07, "version", QUOR_SEARCH_VALUE_NUMBER, 4, true, "device version"},
    {0x08, "password", QUOR_SEARCH_VALUE_NUMBER, 1, true, "password status"},
    {0x09, "reserved", QUOR_SEARCH_VALUE_NONE, 0, false, "not answered"},
    {0x0a, "mac", QUOR_SEARCH_VALUE_MAC, 0, true, "MAC address"},
    {0x0b, "dhcp", QUOR_SEARCH_VALUE_NUMBER, 1, true, "DHCP support"},
    {0x0c, "ip", QUOR_SEARCH_VALUE_ADDRESS, 0, true, "IP address"},
    {0x0d, "netmask", QUOR_SEARCH_VALUE_ADDRESS, 0, true, "netmask"},
    {0x0e, "gateway", QUOR_SEARCH_VALUE_ADDRESS, 0, true, "default gateway"},
    {0x0f, "dns", QUOR_SEARCH_VALUE_ADDRESS, 0, true, "DNS server"},
    {0x10, "tcp-mode", QUOR_SEARCH_VALUE_NUMBER, 1, true, "TCP mode"},
    {0x11, "tcp-port", QUOR_SEARCH_VALUE_NUMBER, 2, true, "TCP listening port"},
    {0x12, "tcp-servers", QUOR_SEARCH_VALUE_TEXT, 0, true, "TCP server list"},
    {0x13, "udp-mode", QUOR_SEARCH_VALUE_TEXT, 0, true, "UDP working mode"},
    {0x14, "udp-broadcast-mode", QUOR_SEARCH_VALUE_TEXT, 0, true, "UDP broadcast working mode"},
    {0x15, "tcp-clients", QUOR_SEARCH_VALUE_TEXT, 0, true, "TCP client list"},
    {0x16, "uart-rate", QUOR_SEARCH_VALUE_NUMBER, 1, true, "UART rate code"},
    {0x17, "uart-data-bits", QUOR_SEARCH_VALUE_NUMBER, 1, true, "UART data bits code"},
    {0x18, "uart-stop-bits", QUOR_SEARCH_VALUE_NUMBER, 1, true, "UART stop bits code"},
    {0x19, "uart-parity", QUOR_SEARCH_VALUE_NUMBER, 1, true, "UART parity code"},
    {0x1a, "uart-flow", QUOR_SEARCH_VALUE_NUMBER, 1, true, "UART flow control code"},
    {0x1b, "uart-send-len", QUOR_SEARCH_VALUE_NUMBER, 4, true, "UART send length"},
    {0x1c, "uart-recv-len", QUOR_SEARCH_VALUE_NUMBER, 4, true, "UART receive length"},
    {0x1d, "uart-frame", QUOR_SEARCH_VALUE_NUMBER, 4, true, "UART frame"},
};

const size_t kTagCount = sizeof(kTags) / sizeof(kTags[0]);

// The fields both a request and a reply begin with: magic, type and the
// two identifiers.
template <class R>
void WriteCommonHeader(QuorWireWriter& writer, const R& record)
{
    writer.U16(record.u16magic);
    writer.U8(record.u8Type);
    writer.U32(record.u32PCId);
    writer.U32(record.u32Q7MId);
}

// The header fields of a reply, through one writer.
void WriteRspHeader(QuorWireWriter& writer, const T_KorvexGUIRsp& rsp)
{
    WriteCommonHeader(writer, rsp);
    writer.U8(rsp.u8Result);
    writer.U8(rsp.u8TAG);
    writer.U16(rsp.u8Len);
}

}  // namespace

int ParseSearchReq(const char* bytes, uint32_t length, T_KorvexGUIReq* req)
{
    if (req == nullptr)
        return -2;
    memset(req, 0, sizeof(*req));
    if (bytes == nullptr || length == 0)
        return -2;
    // The request as the receive buffer holds it: what arrived, then zeros.
    char frame[QUOR_SEARCH_REQ_MAX_LEN];
    memset(frame, 0, sizeof(frame));
    uint32_t taken = length < sizeof(frame) ? length : (uint32_t)sizeof(frame);
    memcpy(frame, bytes, taken);
    QuorWireReader reader(frame, sizeof(frame));
    reader.U16(&req->u16magic);
    reader.U8(&req->u8Type);
    reader.U32(&req->u32PCId);
    reader.U32(&req->u32Q7MId);
    reader.U8(&req->u8TAG);
    reader.U16(&req->u16Len);
    memcpy(req->cContent, frame + QUOR_SEARCH_REQ_HEADER_LEN, QUOR_SEARCH_CONTENT_SIZE);
    req->u32ContentReceived = taken > QUOR_SEARCH_REQ_HEADER_LEN ? taken - QUOR_SEARCH_REQ_HEADER_LEN : 0;
    return 0;
}

int PackSearchReq(const T_KorvexGUIReq& req, char* out, uint32_t capacity, uint32_t* outLen)
{
    if (outLen != nullptr)
        *outLen = 0;
    if (out == nullptr || outLen == nullptr || req.u16Len > QUOR_SEARCH_CONTENT_SIZE)
        return -2;
    QuorWireWriter writer(out, capacity);
    WriteCommonHeader(writer, req);
    writer.U8(req.u8TAG);
    writer.U16(req.u16Len);
    writer.Bytes(req.cContent, req.u16Len);
    if (!writer.Ok())
        return -2;
    *outLen = writer.Position();
    return 0;
}

uint32_t SearchDecimalValue(const char* text, size_t size)
{
    uint32_t value = 0;
    for (size_t i = 0; text != nullptr && i < size && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + (uint32_t)(text[i] - '0');
    return value;
}

int PackSearchRsp(const T_KorvexGUIRsp& rsp, char* out, uint32_t capacity, uint32_t* outLen)
{
    if (outLen != nullptr)
        *outLen = 0;
    if (out == nullptr || outLen == nullptr || capacity < QUOR_SEARCH_RSP_HEADER_LEN + (uint32_t)rsp.u8Len)
        return -2;
    memset(out, 0, QUOR_SEARCH_RSP_HEADER_LEN + (uint32_t)rsp.u8Len);
    QuorWireWriter writer(out, capacity);
    WriteRspHeader(writer, rsp);
    *outLen = QUOR_SEARCH_RSP_HEADER_LEN + rsp.u8Len;
    if (!rsp.b8IsNumber) {
        writer.Bytes(rsp.cContent, rsp.u8Len);
        return 0;
    }
    uint32_t value = SearchDecimalValue(rsp.cContent, sizeof(rsp.cContent));
    switch (rsp.u8Len) {
    case 1:
        writer.U8((uint8_t)value);
        return 0;
    case 2:
        writer.U16((uint16_t)value);
        return 0;
    case 4:
        writer.U32(value);
        return 0;
    default:
        return -2;   // the value stays zeros
    }
}

T_SearchRspFault ParseSearchRsp(const char* bytes, uint32_t length, T_KorvexGUIRsp* rsp)
{
    memset(rsp, 0, sizeof(*rsp));
    QuorWireReader reader(bytes, length);
    uint16_t valueLen = 0;
    if (!reader.U16(&rsp->u16magic) || !reader.U8(&rsp->u8Type) || !reader.U32(&rsp->u32PCId) ||
        !reader.U32(&rsp->u32Q7MId) || !reader.U8(&rsp->u8Result) || !reader.U8(&rsp->u8TAG) ||
        !reader.U16(&valueLen))
        return QUOR_SEARCH_RSP_SHORT;
    if (rsp->u16magic != QUOR_SEARCH_RSP_MAGIC)
        return QUOR_SEARCH_RSP_BAD_MAGIC;
    if (valueLen > QUOR_SEARCH_MAX_VALUE || valueLen != reader.Remaining())
        return QUOR_SEARCH_RSP_BAD_LENGTH;
    rsp->u8Len = (uint8_t)valueLen;
    memcpy(rsp->cContent, bytes + QUOR_SEARCH_RSP_HEADER_LEN, valueLen);
    return QUOR_SEARCH_RSP_OK;
}

const char* SearchRspFaultText(T_SearchRspFault fault)
{
    switch (fault) {
    case QUOR_SEARCH_RSP_OK:
        return "ok";
    case QUOR_SEARCH_RSP_SHORT:
        return "shorter than the 15-byte reply header";
    case QUOR_SEARCH_RSP_BAD_MAGIC:
        return "not a reply (magic is not 0x1799)";
    case QUOR_SEARCH_RSP_BAD_LENGTH:
        return "value length does not match the bytes received";
    }
    return "unknown fault";
}

const T_SearchTagInfo* SearchTags(size_t* count)
{
    if (count != nullptr)
        *count = kTagCount;
    return kTags;
}

const T_SearchTagInfo* SearchTagByNumber(uint8_t tag)
{
    return tag < kTagCount ? &kTags[tag] : nullptr;
}

const T_SearchTagInfo* SearchTagByName(const char* name)
{
    for (const T_SearchTagInfo& info : kTags) {
        if (name != nullptr && strcasecmp(name, info.pName) == 0)
            return &info;
    }
    return nullptr;
}
