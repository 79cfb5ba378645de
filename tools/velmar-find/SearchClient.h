// The PC side of the configuration-tool search protocol: sends search, read
// and write requests to UDP port 1983 (to the broadcast address of every
// local interface, or to one address) and collects the replies that answer
// them. A reply is taken only when it parses strictly, carries this client's
// PC identifier and the request's type (and, for reads and writes, the
// device and the tag); anything else is reported once on standard error and
// dropped.
#ifndef VELMAR_FIND_SEARCHCLIENT_H
#define VELMAR_FIND_SEARCHCLIENT_H

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "QuorVelmarSearchCodec.h"

struct T_SearchAnswer {
    std::string strFrom;   // the sender's address
    T_KorvexGUIRsp tRsp;
};

class CSearchClient {
public:
    // to: the destination address; empty for every local broadcast address.
    CSearchClient(const std::string& to, int waitMs);
    ~CSearchClient();
    CSearchClient(const CSearchClient&) = delete;
    CSearchClient& operator=(const CSearchClient&) = delete;

    // False (with the reason in Error()) when no socket or no destination.
    bool Ok() const { return m_s32Fd >= 0 && !m_vDestinations.empty(); }
    const std::string& Error() const { return m_strError; }

    // Every device that answers a search within the wait.
    std::vector<T_SearchAnswer> Search();
    // The first answer of device id to a read or write of tag; false when none
    // came within the wait. to: that device's address (empty: the destinations).
    bool Request(uint8_t type, uint32_t id, uint8_t tag, const std::string& value, T_SearchAnswer* answer,
                 const std::string& to = std::string());

private:
    bool Send(const T_KorvexGUIReq& req, const std::string& to);
    // Answers to req until the wait ends, or until the first one when first.
    std::vector<T_SearchAnswer> Collect(const T_KorvexGUIReq& req, bool first);
    bool Matches(const T_KorvexGUIReq& req, const T_KorvexGUIRsp& rsp) const;

    int m_s32Fd = -1;
    int m_s32WaitMs;
    uint32_t m_u32PCId;
    std::vector<struct sockaddr_in> m_vDestinations;
    std::string m_strError;
};

// The text of a reply's value as the tag reads: a number, a dotted address,
// a MAC address, text (zeros at the end dropped), or hexadecimal bytes.
std::string SearchValueText(const T_SearchTagInfo* info, const T_KorvexGUIRsp& rsp);

// Turns a value text into the bytes a write of the tag carries: true, or
// false with the reason in *error.
bool SearchValueBytes(const T_SearchTagInfo* info, const std::string& text, std::string* bytes,
                      std::string* error);

#endif
