#include "QuorVelmarDevSearchList.h"

#include <new>

CQuorVelmarDevSearchList g_DevSearchQueryInfoList;

struct CQuorVelmarDevSearchList::Node {
    T_QuorDeviceSearchQueryRsp tAnswer;
    Node* pNext;
};

CQuorVelmarDevSearchList::~CQuorVelmarDevSearchList()
{
    Clear();
}

int CQuorVelmarDevSearchList::Append(const T_QuorDeviceSearchQueryRsp& answer)
{
    OSMutexLocker locker(&m_mutex);
    if (m_size >= kMaxEntries)
        return -2;
    Node* node = new (std::nothrow) Node;
    if (node == nullptr)
        return -1;
    node->tAnswer = answer;
    node->pNext = nullptr;
    if (m_pTail != nullptr)
        m_pTail->pNext = node;
    else
        m_pHead = node;
    m_pTail = node;
    m_size++;
    return 0;
}

void CQuorVelmarDevSearchList::Clear()
{
    Node* node;
    {
        OSMutexLocker locker(&m_mutex);
        node = m_pHead;
        m_pHead = m_pTail = nullptr;
        m_size = 0;
    }
    while (node != nullptr) {
        Node* next = node->pNext;
        delete node;
        node = next;
    }
}

size_t CQuorVelmarDevSearchList::Size() const
{
    OSMutexLocker locker(&m_mutex);
    return m_size;
}

void CQuorVelmarDevSearchList::ForEach(const std::function<void(const T_QuorDeviceSearchQueryRsp&)>& visit) const
{
    OSMutexLocker locker(&m_mutex);
    for (const Node* node = m_pHead; node != nullptr; node = node->pNext)
        visit(node->tAnswer);
}
