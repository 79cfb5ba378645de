// The PC side of the configuration-tool search protocol: sends search, read
// and write requests to UDP port 1983 (to the broadcast address of every
// local interface, or to one address) and collects the replies that answer
// them. A reply is taken only when it parses strictly, carries this client's
// PC identifier and the request's type (and, for reads and writes, the tag
// and a device the request addressed); anything else is dropped (malformed
// replies reported on standard error, the first few of them).
//
// Built for installations: one socket and one deadline (the wait) for a
// whole operation. A survey sends the search and, as each endpoint answers,
// its first read; when that read answers, the other reads go out at once,
// so the reads of all endpoints run side by side and are matched by device
// identifier and tag. At most kMaxEndpoints endpoints are kept (the rest
// counted and reported), de-duplicated by identifier through a hash map.
#ifndef VELMAR_FIND_SEARCHCLIENT_H
#define VELMAR_FIND_SEARCHCLIENT_H

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "QuorVelmarSearchCodec.h"

struct T_SearchAnswer {
    std::string strFrom;   // the sender's address
    T_KorvexGUIRsp tRsp;
};

// One value of an endpoint: answered or not, and its bytes.
struct T_SearchValue {
    bool b8Answered = false;
    std::string strBytes;
};

// One endpoint of a survey or of a read addressed to every endpoint.
struct T_SearchEndpoint {
    uint32_t u32Id = 0;
    std::string strFrom;                 // from the search answer
    std::vector<T_SearchValue> vValues;  // one per tag asked for, in order
};

class CSearchClient {
public:
    enum { kMaxEndpoints = 1024 };

    // to: the destination address; empty for every local broadcast address.
    CSearchClient(const std::string& to, int waitMs);
    ~CSearchClient();
    CSearchClient(const CSearchClient&) = delete;
    CSearchClient& operator=(const CSearchClient&) = delete;

    // False (with the reason in Error()) when no socket or no destination.
    bool Ok() const { return m_s32Fd >= 0 && !m_vDestinations.empty(); }
    const std::string& Error() const { return m_strError; }

    // Every endpoint that answers the search within the wait, in the order
    // of their answers, each with the reads of tags that answered in time
    // (tags[0] first; the others only when it answered).
    std::vector<T_SearchEndpoint> Survey(const std::vector<uint8_t>& tags);
    // A read (type 2) or write (type 3) of tag. id 0 addresses every
    // endpoint and collects one answer per endpoint until the wait ends;
    // another id ends at its first answer. to: that device's address
    // (empty: the destinations).
    std::vector<T_SearchAnswer> Request(uint8_t type, uint32_t id, uint8_t tag, const std::string& value,
                                        const std::string& to = std::string());
    // Endpoints that answered beyond kMaxEndpoints in the last operation.
    uint32_t Dropped() const { return m_u32Dropped; }

private:
    bool SendRequest(uint8_t type, uint32_t id, uint8_t tag, const std::string& value, const std::string& to);
    // Waits for the next acceptable reply until the deadline: false when
    // the deadline passed.
    bool Receive(int64_t deadline, T_SearchAnswer* answer);
    // Keeps a new endpoint: its index, or -1 when it is known or over the cap.
    int Keep(std::vector<T_SearchEndpoint>* found, const T_SearchAnswer& answer, size_t tagCount);
    void StoreRead(std::vector<T_SearchEndpoint>* found, const T_SearchAnswer& answer,
                   const std::vector<uint8_t>& tags);

    int m_s32Fd = -1;
    int m_s32WaitMs;
    uint32_t m_u32PCId;
    std::vector<struct sockaddr_in> m_vDestinations;
    std::string m_strError;
    std::unordered_map<uint32_t, size_t> m_mIndex;   // device identifier -> index
    uint32_t m_u32Dropped = 0;
    uint32_t m_u32Malformed = 0;
};

// The text of a value as the tag reads: a number, a dotted address, a MAC
// address, text (zeros at the end dropped), or hexadecimal bytes.
std::string SearchValueText(const T_SearchTagInfo* info, const T_KorvexGUIRsp& rsp);
std::string SearchValueText(const T_SearchTagInfo* info, const std::string& bytes);
// True when the tag's value is a number of the width it carries.
bool SearchValueIsNumber(const T_SearchTagInfo* info, const std::string& bytes);

// text with valid UTF-8 kept and every other byte shown as \xNN; control
// characters likewise unless json (a JSON writer escapes them itself).
std::string SearchEscapedText(const std::string& text, bool json);

// Turns a value text into the bytes a write of the tag carries: true, or
// false with the reason in *error.
bool SearchValueBytes(const T_SearchTagInfo* info, const std::string& text, std::string* bytes,
                      std::string* error);

#endif
