// The answers received to the last group search, in arrival order, for the
// web interface's device list.
//
// The management task appends each search answer it takes in; the web task
// empties the list before it starts a search and renders it afterwards. One
// lock guards the list: Append, Clear and ForEach take it, so the web never
// walks nodes the management task is changing or frees.
//
// The list is capped: any host on the network can send search answers, solicited
// or not, and each entry is a full answer record (about 26 KB). Once the cap
// is reached, further answers are refused until the next Clear. Duplicates
// (the same peer answering twice) are kept, each as an entry of its own.
#ifndef QUOR_VELMAR_DEVSEARCHLIST_H
#define QUOR_VELMAR_DEVSEARCHLIST_H

#include <cstddef>
#include <functional>
#include <list>
#include <string>

#include "OSMutex.h"
#include "QuorVelmarMsgDef.h"

class CQuorVelmarDevSearchList {
public:
    enum : size_t { kMaxEntries = 256 };

    CQuorVelmarDevSearchList() = default;
    CQuorVelmarDevSearchList(const CQuorVelmarDevSearchList&) = delete;
    CQuorVelmarDevSearchList& operator=(const CQuorVelmarDevSearchList&) = delete;

    // Appends a copy of the answer at the end. 0; -2 when the list already
    // holds kMaxEntries answers; -1 when no memory can be had (nothing
    // appended in either case).
    int Append(const T_QuorDeviceSearchQueryRsp& answer);
    // Removes every entry.
    void Clear();
    size_t Size() const;
    // Runs visit on every entry in list order, under the lock (visit must
    // not block or call back into the list).
    void ForEach(const std::function<void(const T_QuorDeviceSearchQueryRsp&)>& visit) const;

    // Appends the entries to out as the device objects of the web's device
    // list, under the lock in one pass: "{", the items the device reported in
    // the fixed order "alias", "ip_addr", "sequence_number", "looplink_sign",
    // "group_sign", "showme_sign", "vi_select", "dev_type" (whatever order
    // they arrived in; the first of a repeated item counts) as "\"name\":\"text\""
    // (the text JSON-escaped) separated by commas, then "}"; objects are
    // separated by ",\r\n" and the last ends with "\r\n". An item identifier 0
    // or above 8 is logged and ends the list there: that device's object is
    // closed with the items before it. The number of objects written.
    size_t AppendDeviceObjects(std::string* out) const;

private:
    mutable OSMutex m_mutex;
    std::list<T_QuorDeviceSearchQueryRsp> m_answers;  // oldest first
};

// The answers to the last group search.
extern CQuorVelmarDevSearchList g_DevSearchQueryInfoList;

// The whole device list reply: "{\r\n\"devicemaxseqnum\": <n>,\r\n\"deviceinfo\":[\r\n",
// the device objects of list, "]}". <n> is the own maximum sequence number
// when it is a decimal number (leading zeros dropped), else null (not yet
// known).
std::string QuorDeviceListJson(const char* ownMaxSeqNum, const CQuorVelmarDevSearchList& list);

#endif
