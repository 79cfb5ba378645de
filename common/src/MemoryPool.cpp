#include "MemoryPool.h"

#include "QuorTCPListenerSocket.h"  // T_QuorIPInfoList

namespace {
const char* const kSrc = "common/MemoryPool";
}

// ---------------------------------------------------------------------------
// CMemoryPoolBase

CMemoryPoolBase::CMemoryPoolBase(int32_t blockSize, int32_t maxBlocks)
    : CMemPoolStock(maxBlocks), fBlockSize(blockSize)
{
}

CMemoryPoolBase::~CMemoryPoolBase()
{
    while (T_MemPoolHeader* header = fFreeList.Pop()) {
        header->fMagic = 0;
        delete[] reinterpret_cast<unsigned char*>(header);
    }
}

void* CMemoryPoolBase::GetNew()
{
    OSMutexLocker locker(&fMutex);
    if (T_MemPoolHeader* header = TakeReturned())
        return reinterpret_cast<unsigned char*>(header) + kMemPoolHeaderSize;
    if (!MayCreate())
        return nullptr;
    unsigned char* raw = nullptr;
    if (fBlockSize > 0)
        raw = new (std::nothrow) unsigned char[kMemPoolHeaderSize + (size_t)fBlockSize];
    if (raw == nullptr) {
        MyAssertAt("../common/include/MemoryPool", 104);
        return nullptr;
    }
    new (raw) T_MemPoolHeader{nullptr, this, MEMPOOL_MAGIC_BLOCK, 0};
    ++fCreated;
    return raw + kMemPoolHeaderSize;
}

CMemoryPoolBase* CMemoryPoolBase::OwnerOf(void* block)
{
    if (block == nullptr)
        return nullptr;
    T_MemPoolHeader* header = MemPoolHeaderOf(block);
    if (header->fMagic != MEMPOOL_MAGIC_BLOCK)
        return nullptr;
    return static_cast<CMemoryPoolBase*>(const_cast<void*>(header->fOwner));
}

void CMemoryPoolBase::Free(void* block)
{
    if (block == nullptr)
        return;
    CMemoryPoolBase* owner = OwnerOf(block);
    if (owner == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Free: block %p is not a pool block, ignored.", block);
        return;
    }
    if (owner != this) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "###### Free: block %p of the <%d>-byte pool returned to the <%d>-byte pool; "
                    "it goes back to its own pool.",
                    block, owner->fBlockSize, fBlockSize);
        owner->Free(block);
        return;
    }
    T_MemPoolHeader* header = MemPoolHeaderOf(block);
    OSMutexLocker locker(&fMutex);
    if (!PutBack(header))
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Free: block %p of the <%d>-byte pool freed twice, ignored.",
                    block, fBlockSize);
}

void MemPoolLogBadObjectFree(const void* object, const char* reason)
{
    LightLogExt(40000, 0, kSrc, __LINE__, "###### Free: object %p %s, ignored.", object, reason);
}

// ---------------------------------------------------------------------------
// Global pools

CMemoryPoolBase g_MPVelmarMsg(20, 50);

CMemoryPoolBase g_MPVelmarAllMsg64Byte(64, 50);
CMemoryPoolBase g_MPVelmarAllMsg128Byte(128, 50);
CMemoryPoolBase g_MPVelmarAllMsg256Byte(256, 50);
CMemoryPoolBase g_MPVelmarAllMsg512Byte(512, 50);
CMemoryPoolBase g_MPVelmarAllMsg1024Byte(1024, 50);
CMemoryPoolBase g_MPVelmarAllMsg4096Byte(4096, 50);
CMemoryPoolBase g_MPVelmarAllMsg10240Byte(10240, 50);
CMemoryPoolBase g_MPVelmarAllMsg20480Byte(20480, 50);
CMemoryPoolBase g_MPVelmarAllMsg81920Byte(81920, 50);
CMemoryPoolBase g_MPVelmarAllMsg163840Byte(163840, 50);
CMemoryPoolBase g_MPVelmarAllMsg327680Byte(327680, 50);
CMemoryPoolBase g_MPVelmarAllMsg1310720Byte(1310720, 50);
CMemoryPoolBase g_MPVelmarAllMsg2621440Byte(2621440, 50);
CMemoryPoolBase g_MPVelmarAllMsg5242880Byte(5242880, 50);
CMemoryPoolBase g_MPVelmarAllMsg10485760Byte(10485760, 50);
CMemoryPoolBase g_MPVelmarAllMsg20971520Byte(20971520, 50);
CMemoryPoolBase g_MPVelmarAllMsg41943040Byte(41943040, 50);
CMemoryPoolBase g_MPVelmarAllMsg83886080Byte(83886080, 50);
CMemoryPoolBase g_MPVelmarAllMsg167772160Byte(167772160, 50);
CMemoryPoolBase g_MPVelmarAllMsg335544320Byte(335544320, 50);
CMemoryPoolBase g_MPVelmarAllMsg1342177280Byte(1342177280, 50);

CMemoryPoolBase g_MemPool_TCPIPInfo((int32_t)sizeof(T_QuorIPInfoList), 100);
CMemoryPoolBase g_MemPool_TCPSendMsgList(MEMPOOL_TCP_SEND_MSG_SIZE, 100);

CMemoryPoolBase g_MPDeviceSearchQueryReq(MEMPOOL_DEVICE_SEARCH_QUERY_REQ_SIZE, 100);
CMemoryPoolBase g_MPDeviceSearchQueryRsp(MEMPOOL_DEVICE_SEARCH_QUERY_RSP_SIZE, 100);
CMemoryPoolBase g_MPDeviceMaxSeqNumNotifyReq(MEMPOOL_MAX_SEQ_NUM_NOTIFY_REQ_SIZE, 100);
CMemoryPoolBase g_MPDeviceMaxSeqNumNotifyRsp(MEMPOOL_MAX_SEQ_NUM_NOTIFY_RSP_SIZE, 100);
CMemoryPoolBase g_MPUserInfoChangeNotifyReq(MEMPOOL_USER_INFO_CHANGE_NOTIFY_REQ_SIZE, 100);
CMemoryPoolBase g_MPUserInfoChangeNotifyRsp(MEMPOOL_USER_INFO_CHANGE_NOTIFY_RSP_SIZE, 100);
CMemoryPoolBase g_MPDeviceGroupSignNotifyReq(MEMPOOL_GROUP_SIGN_NOTIFY_REQ_SIZE, 100);
CMemoryPoolBase g_MPDeviceGroupSignNotifyRsp(MEMPOOL_GROUP_SIGN_NOTIFY_RSP_SIZE, 100);
CMemoryPoolBase g_MPVersionUpgradeRsp(MEMPOOL_VERSION_UPGRADE_RSP_SIZE, 100);

CObjectPool<OSQueueElem> g_MPVelmarQueueElem(100);

namespace {

// The size classes in ascending order.
CMemoryPoolBase* const kAllMsgPools[] = {
    &g_MPVelmarAllMsg64Byte,         &g_MPVelmarAllMsg128Byte,       &g_MPVelmarAllMsg256Byte,
    &g_MPVelmarAllMsg512Byte,        &g_MPVelmarAllMsg1024Byte,      &g_MPVelmarAllMsg4096Byte,
    &g_MPVelmarAllMsg10240Byte,      &g_MPVelmarAllMsg20480Byte,     &g_MPVelmarAllMsg81920Byte,
    &g_MPVelmarAllMsg163840Byte,     &g_MPVelmarAllMsg327680Byte,    &g_MPVelmarAllMsg1310720Byte,
    &g_MPVelmarAllMsg2621440Byte,    &g_MPVelmarAllMsg5242880Byte,   &g_MPVelmarAllMsg10485760Byte,
    &g_MPVelmarAllMsg20971520Byte,   &g_MPVelmarAllMsg41943040Byte,  &g_MPVelmarAllMsg83886080Byte,
    &g_MPVelmarAllMsg167772160Byte,  &g_MPVelmarAllMsg335544320Byte, &g_MPVelmarAllMsg1342177280Byte,
};

CMemoryPoolBase* AllMsgPoolFor(int32_t size)
{
    if (size <= 0 || size > MEMPOOL_MAX_ALLMSG_SIZE)
        return nullptr;
    for (CMemoryPoolBase* pool : kAllMsgPools)
        if (size <= pool->GetBlockSize())
            return pool;
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Access functions

int32_t MemPoolAllMsgClassSize(int32_t size)
{
    CMemoryPoolBase* pool = AllMsgPoolFor(size);
    return pool != nullptr ? pool->GetBlockSize() : 0;
}

void* GetMemPoolAllMsg(int32_t size, int32_t* classSize)
{
    if (classSize != nullptr)
        *classSize = 0;
    if (size <= 0) {
        LightLogExt(10000, 0, kSrc, __LINE__, "GetMemPoolAllMsg n32Size is <%d>.", size);
        return nullptr;
    }
    if (size > MEMPOOL_MAX_ALLMSG_SIZE) {
        LightLogExt(10000, 0, kSrc, __LINE__, "Get Memory too much is <%d>.", size);
        return nullptr;
    }
    CMemoryPoolBase* pool = AllMsgPoolFor(size);
    if (classSize != nullptr)
        *classSize = pool->GetBlockSize();
    return pool->GetNew();
}

void FreeMemPoolAllMsg(int32_t size, void* block)
{
    if (block == nullptr || size <= 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### FreeMemPoolAllMsg n32Size is <%d> or io_pMsg is NULL.", size);
        return;
    }
    if (size > MEMPOOL_MAX_ALLMSG_SIZE) {
        LightLogExt(10000, 0, kSrc, __LINE__, "Free memory is too much");
        return;
    }
    // Free() sends a block named with the wrong size back to its own class.
    AllMsgPoolFor(size)->Free(block);
}

CMemoryPoolBase* MemPoolOfMessage(uint32_t messageId)
{
    switch (messageId) {
    case 0x1601: return &g_MPDeviceSearchQueryReq;
    case 0x2601: return &g_MPDeviceSearchQueryRsp;
    case 0x1603: return &g_MPDeviceMaxSeqNumNotifyReq;
    case 0x2603: return &g_MPDeviceMaxSeqNumNotifyRsp;
    case 0x1604: return &g_MPUserInfoChangeNotifyReq;
    case 0x2604: return &g_MPUserInfoChangeNotifyRsp;
    case 0x1605: return &g_MPDeviceGroupSignNotifyReq;
    case 0x2605: return &g_MPDeviceGroupSignNotifyRsp;
    case 0x2801: return &g_MPVersionUpgradeRsp;
    default: return nullptr;
    }
}

void* GetMemPoolReqAndRspMsg(uint32_t messageId)
{
    CMemoryPoolBase* pool = MemPoolOfMessage(messageId);
    return pool != nullptr ? pool->GetNew() : nullptr;
}

void FreeMemPoolReqAndRspMsg(uint32_t messageId, void* block)
{
    if (block == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "###### FreeMemPoolReqAndRspMsg i_u32MsgID is <0x%X>, but io_pMsg is NULL.", messageId);
        return;
    }
    CMemoryPoolBase* pool = MemPoolOfMessage(messageId);
    if (pool != nullptr)
        pool->Free(block);
}

void* GetMemPoolVelmarMsg()
{
    return g_MPVelmarMsg.GetNew();
}

void FreeMemPoolVelmarMsg(void* block)
{
    g_MPVelmarMsg.Free(block);
}

void* GetMemPoolTCPIPInfo()
{
    LightLogExt(10000, 0, kSrc, __LINE__, "Get memory from GetMemPoolTCPIPInfo <%d><%d>.",
                (int)g_MemPool_TCPIPInfo.GetCreatedCount(), (int)g_MemPool_TCPIPInfo.GetInUseCount());
    return g_MemPool_TCPIPInfo.GetNew();
}

void FreeMemPoolTCPIPInfo(void* block)
{
    if (block == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### FreeMemPoolTCPIPInfo  io_pMsg is NULL.");
        return;
    }
    g_MemPool_TCPIPInfo.Free(block);
    LightLogExt(10000, 0, kSrc, __LINE__, "Free memory from g_MemPool_TCPIPInfo <%d><%d>",
                (int)g_MemPool_TCPIPInfo.GetCreatedCount(), (int)g_MemPool_TCPIPInfo.GetInUseCount());
}

OSQueueElem* GetVelmarMPQueueElem(void* object)
{
    OSQueueElem* element = g_MPVelmarQueueElem.GetNew();
    if (element != nullptr)
        element->SetEnclosingObject(object);
    return element;
}

void FreeVelmarMPQueueElem(OSQueueElem* element)
{
    if (element == nullptr)
        return;
    if (element->IsMemberOfAnyQueue()) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "###### FreeVelmarMPQueueElem: element %p is still in a queue, not taken back.",
                    (void*)element);
        return;
    }
    element->SetEnclosingObject(nullptr);
    g_MPVelmarQueueElem.Free(element);
}
