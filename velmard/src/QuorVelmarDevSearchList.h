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

#include "OSMutex.h"
#include "QuorVelmarMsgDef.h"

class CQuorVelmarDevSearchList {
public:
    enum : size_t { kMaxEntries = 256 };

    CQuorVelmarDevSearchList() = default;
    ~CQuorVelmarDevSearchList();
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

private:
    struct Node;

    mutable OSMutex m_mutex;
    Node* m_pHead = nullptr;  // oldest entry
    Node* m_pTail = nullptr;  // newest entry
    size_t m_size = 0;
};

// The answers to the last group search.
extern CQuorVelmarDevSearchList g_DevSearchQueryInfoList;

#endif
