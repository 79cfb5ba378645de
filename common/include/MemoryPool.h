// Memory pools: fixed-size blocks and constructed objects recycled first in,
// first out instead of going back to the heap.
//
// A pool creates blocks on demand (never ahead of time) until it has created
// one more than its limit, then refuses; it never shrinks. Every block carries
// a small hidden header in front of it that names its pool, so a block handed
// to the wrong pool goes back to its own pool and a second free of the same
// block is ignored (both are logged).
#ifndef QUOR_MEMORYPOOL_H
#define QUOR_MEMORYPOOL_H

#include <cstddef>
#include <cstdint>
#include <new>

#include "LightLog.h"
#include "MyAssert.h"
#include "OSMutex.h"
#include "OSQueue.h"

// Header in front of every pooled block or object.
struct alignas(std::max_align_t) T_MemPoolHeader {
    T_MemPoolHeader* fNext;  // next in the free list
    const void* fOwner;      // the pool that created the block
    uint32_t fMagic;         // kind of pool; anything else is not a pool block
    uint32_t fInPool;        // 1 while the block sits in its pool's free list
};

enum : uint32_t {
    MEMPOOL_MAGIC_BLOCK = 0x4D504F4Cu,   // byte blocks of CMemoryPoolBase
    MEMPOOL_MAGIC_OBJECT = 0x4F424A50u   // objects of CObjectPool
};

// First-in, first-out list of headers; the owner locks.
class CMemPoolFifo {
public:
    void Push(T_MemPoolHeader* header)
    {
        header->fNext = nullptr;
        if (fTail != nullptr)
            fTail->fNext = header;
        else
            fHead = header;
        fTail = header;
    }
    T_MemPoolHeader* Pop()
    {
        T_MemPoolHeader* header = fHead;
        if (header != nullptr) {
            fHead = header->fNext;
            if (fHead == nullptr)
                fTail = nullptr;
            header->fNext = nullptr;
        }
        return header;
    }

private:
    T_MemPoolHeader* fHead = nullptr;
    T_MemPoolHeader* fTail = nullptr;
};

// What both kinds of pool keep: the free list of returned headers and the
// counts, under one lock, and the rules of taking and returning.
class CMemPoolStock : private OSNonCopyable {
public:
    uint32_t GetCreatedCount()
    {
        OSMutexLocker locker(&fMutex);
        return fCreated;
    }
    uint32_t GetFreeCount()
    {
        OSMutexLocker locker(&fMutex);
        return fFreeCount;
    }
    uint32_t GetInUseCount()
    {
        OSMutexLocker locker(&fMutex);
        return fCreated - fFreeCount;
    }

protected:
    // limit 0 or negative: no limit. A limit L allows L + 1 blocks.
    explicit CMemPoolStock(int32_t limit) : fLimit(limit) {}
    ~CMemPoolStock() = default;

    // The caller holds fMutex in the three below.
    // The oldest returned header, taken out of the pool; none when none is left.
    T_MemPoolHeader* TakeReturned()
    {
        T_MemPoolHeader* header = fFreeList.Pop();
        if (header != nullptr) {
            --fFreeCount;
            header->fInPool = 0;
        }
        return header;
    }
    // Whether the limit leaves room for one more block.
    bool MayCreate() const { return fLimit <= 0 || (uint32_t)fLimit >= fCreated; }
    // Files a header of this pool back; false (nothing done) when it already is.
    bool PutBack(T_MemPoolHeader* header)
    {
        if (header->fInPool != 0)
            return false;
        header->fInPool = 1;
        fFreeList.Push(header);
        ++fFreeCount;
        return true;
    }

    const int32_t fLimit;
    CMemPoolFifo fFreeList;
    uint32_t fCreated = 0;
    uint32_t fFreeCount = 0;
    OSMutex fMutex;
};

// Raw byte blocks of one size. Blocks are neither constructed nor cleared.
class CMemoryPoolBase : public CMemPoolStock {
public:
    // maxBlocks 0 or negative: no limit. A limit L allows L + 1 blocks.
    CMemoryPoolBase(int32_t blockSize, int32_t maxBlocks);
    // Deletes the blocks in the free list; blocks in use are not touched.
    ~CMemoryPoolBase();

    // The oldest returned block, else a new one; none when the pool is
    // exhausted or the allocation fails.
    void* GetNew();
    // Appends the block to the free list of its own pool (none is ignored).
    void Free(void* block);

    int32_t GetBlockSize() const { return fBlockSize; }
    int32_t GetMaxBlocks() const { return fLimit; }

    // The pool that created block, or none when block is not a pool block.
    static CMemoryPoolBase* OwnerOf(void* block);

private:
    int32_t fBlockSize;
};

// Size of the hidden header in front of each block.
constexpr size_t kMemPoolHeaderSize = sizeof(T_MemPoolHeader);

inline T_MemPoolHeader* MemPoolHeaderOf(void* payload)
{
    return reinterpret_cast<T_MemPoolHeader*>(static_cast<unsigned char*>(payload) - kMemPoolHeaderSize);
}

// Logs a refused free of an object pool (kept out of the template).
void MemPoolLogBadObjectFree(const void* object, const char* reason);

// Constructed objects of type T (default constructor), same rules as
// CMemoryPoolBase. Returned objects are handed out again as they were.
template <class T>
class CObjectPool : public CMemPoolStock {
public:
    explicit CObjectPool(int32_t maxObjects) : CMemPoolStock(maxObjects) {}
    // Destroys the objects in the free list; objects in use are not touched.
    ~CObjectPool()
    {
        while (T_MemPoolHeader* header = fFreeList.Pop())
            DestroyNode(NodeOf(header));
    }

    T* GetNew()
    {
        OSMutexLocker locker(&fMutex);
        if (T_MemPoolHeader* header = TakeReturned())
            return ObjectOf(NodeOf(header));
        if (!MayCreate())
            return nullptr;
        Node* node = new (std::nothrow) Node;
        if (node == nullptr) {
            MyAssertAt("../common/include/MemoryPool", 104);
            return nullptr;
        }
        node->fHeader = T_MemPoolHeader{nullptr, this, MEMPOOL_MAGIC_OBJECT, 0};
        ++fCreated;
        return new (node->fStorage) T();
    }

    void Free(T* object)
    {
        if (object == nullptr)
            return;
        Node* node = NodeOfObject(object);
        OSMutexLocker locker(&fMutex);
        if (node->fHeader.fMagic != MEMPOOL_MAGIC_OBJECT || node->fHeader.fOwner != this) {
            MemPoolLogBadObjectFree(object, "not an object of this pool");
            return;
        }
        if (!PutBack(&node->fHeader))
            MemPoolLogBadObjectFree(object, "freed twice");
    }

    int32_t GetMaxObjects() const { return fLimit; }

private:
    struct Node {
        T_MemPoolHeader fHeader;
        alignas(T) unsigned char fStorage[sizeof(T)];
    };

    static Node* NodeOf(T_MemPoolHeader* header) { return reinterpret_cast<Node*>(header); }
    static Node* NodeOfObject(T* object)
    {
        return reinterpret_cast<Node*>(reinterpret_cast<unsigned char*>(object) - offsetof(Node, fStorage));
    }
    static T* ObjectOf(Node* node) { return std::launder(reinterpret_cast<T*>(node->fStorage)); }
    static void DestroyNode(Node* node)
    {
        ObjectOf(node)->~T();
        delete node;
    }

};

// ---------------------------------------------------------------------------
// Block sizes of the pools that hold records: each is the size of its record
// (the record definitions check their sizes against these).
enum : int32_t {
    MEMPOOL_TCP_SEND_MSG_SIZE = 2060,             // T_QuorStringMsg
    MEMPOOL_DEVICE_SEARCH_QUERY_REQ_SIZE = 32,    // 0x1601
    MEMPOOL_DEVICE_SEARCH_QUERY_RSP_SIZE = 26036, // 0x2601
    MEMPOOL_MAX_SEQ_NUM_NOTIFY_REQ_SIZE = 28,     // 0x1603
    MEMPOOL_MAX_SEQ_NUM_NOTIFY_RSP_SIZE = 32,     // 0x2603
    MEMPOOL_USER_INFO_CHANGE_NOTIFY_REQ_SIZE = 25728, // 0x1604
    MEMPOOL_USER_INFO_CHANGE_NOTIFY_RSP_SIZE = 25832, // 0x2604
    MEMPOOL_GROUP_SIGN_NOTIFY_REQ_SIZE = 28,      // 0x1605
    MEMPOOL_GROUP_SIGN_NOTIFY_RSP_SIZE = 32,      // 0x2605
    MEMPOOL_VERSION_UPGRADE_RSP_SIZE = 1060       // 0x2801
};

// ---------------------------------------------------------------------------
// Global pools (block size in bytes, limit).

extern CMemoryPoolBase g_MPVelmarMsg;  // 20, 50: small internal message records

// General buffers by size class, 50 blocks each.
extern CMemoryPoolBase g_MPVelmarAllMsg64Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg128Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg256Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg512Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg1024Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg4096Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg10240Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg20480Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg81920Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg163840Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg327680Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg1310720Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg2621440Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg5242880Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg10485760Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg20971520Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg41943040Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg83886080Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg167772160Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg335544320Byte;
extern CMemoryPoolBase g_MPVelmarAllMsg1342177280Byte;

// Client address records of the TCP server: blocks of sizeof(T_QuorIPInfoList)
// (24 bytes on the 32-bit board, 32 on a 64-bit host), 100.
extern CMemoryPoolBase g_MemPool_TCPIPInfo;
extern CMemoryPoolBase g_MemPool_TCPSendMsgList;   // 2060, 100: TCP send buffers

// Group message records, 100 blocks each. The block sizes are the sizes of
// the record structures; where those are defined, a static_assert on each
// sizeof must hold these numbers.
extern CMemoryPoolBase g_MPDeviceSearchQueryReq;       // 0x1601, 32
extern CMemoryPoolBase g_MPDeviceSearchQueryRsp;       // 0x2601, 26036
extern CMemoryPoolBase g_MPDeviceMaxSeqNumNotifyReq;   // 0x1603, 28
extern CMemoryPoolBase g_MPDeviceMaxSeqNumNotifyRsp;   // 0x2603, 32
extern CMemoryPoolBase g_MPUserInfoChangeNotifyReq;    // 0x1604, 25728
extern CMemoryPoolBase g_MPUserInfoChangeNotifyRsp;    // 0x2604, 25832
extern CMemoryPoolBase g_MPDeviceGroupSignNotifyReq;   // 0x1605, 28
extern CMemoryPoolBase g_MPDeviceGroupSignNotifyRsp;   // 0x2605, 32
extern CMemoryPoolBase g_MPVersionUpgradeRsp;          // 0x2801, 1060

// Queue elements for message queues, 100.
extern CObjectPool<OSQueueElem> g_MPVelmarQueueElem;

// TCP session tasks of velmard, 100 (defined with the session class; never
// destroyed, as sessions may run on their pool's threads until the end).
class CQuorVelmarTCPSessionTask;
extern CObjectPool<CQuorVelmarTCPSessionTask>& g_MemPool_VelmarTCPSession;

// Largest request of the general buffers.
#define MEMPOOL_MAX_ALLMSG_SIZE 1342177280

// ---------------------------------------------------------------------------
// Access functions.

// The size class serving a request of size bytes, 0 when none does.
int32_t MemPoolAllMsgClassSize(int32_t size);

// A block of the smallest class of at least size bytes, or none; *classSize
// (when given) receives the class, 0 when none.
void* GetMemPoolAllMsg(int32_t size, int32_t* classSize);
// size is the class size or the size first requested.
void FreeMemPoolAllMsg(int32_t size, void* block);

// Group message records by message identifier; other identifiers give none
// and free nothing.
void* GetMemPoolReqAndRspMsg(uint32_t messageId);
void FreeMemPoolReqAndRspMsg(uint32_t messageId, void* block);
// The pool of a message identifier, or none.
CMemoryPoolBase* MemPoolOfMessage(uint32_t messageId);

void* GetMemPoolVelmarMsg();
void FreeMemPoolVelmarMsg(void* block);
void* GetMemPoolTCPIPInfo();
void FreeMemPoolTCPIPInfo(void* block);

// A queue element whose enclosing object is object, or none.
OSQueueElem* GetVelmarMPQueueElem(void* object);
// The element must no longer sit in a queue (one that does is not taken back).
void FreeVelmarMPQueueElem(OSQueueElem* element);

// A TCP session task of the session pool, or none (velmard only).
CQuorVelmarTCPSessionTask* GetObjOfVelmarTCPSession();
void FreeObjOfVelmarTCPSession(CQuorVelmarTCPSessionTask* session);

#endif
