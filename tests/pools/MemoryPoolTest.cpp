#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "MemoryPool.h"
#include "QuorTCPListenerSocket.h"

namespace {

TEST(MemoryPool, LimitAllowsOneMoreBlockThenRefuses)
{
    CMemoryPoolBase pool(32, 100);
    std::vector<void*> blocks;
    for (int i = 0; i < 101; ++i) {
        void* b = pool.GetNew();
        ASSERT_NE(nullptr, b) << i;
        blocks.push_back(b);
    }
    EXPECT_EQ(nullptr, pool.GetNew());
    EXPECT_EQ(101u, pool.GetCreatedCount());
    EXPECT_EQ(101u, pool.GetInUseCount());
    pool.Free(blocks[37]);
    EXPECT_EQ(blocks[37], pool.GetNew());
    EXPECT_EQ(nullptr, pool.GetNew());
    for (void* b : blocks)
        pool.Free(b);
    EXPECT_EQ(101u, pool.GetFreeCount());
    EXPECT_EQ(0u, pool.GetInUseCount());
}

TEST(MemoryPool, BlocksComeBackFirstInFirstOut)
{
    CMemoryPoolBase pool(16, 10);
    void* a = pool.GetNew();
    void* b = pool.GetNew();
    void* c = pool.GetNew();
    pool.Free(a);
    pool.Free(c);
    pool.Free(b);
    EXPECT_EQ(a, pool.GetNew());
    EXPECT_EQ(c, pool.GetNew());
    EXPECT_EQ(b, pool.GetNew());
    EXPECT_EQ(3u, pool.GetCreatedCount());
    pool.Free(a);
    pool.Free(b);
    pool.Free(c);
}

TEST(MemoryPool, BlocksAreUsableAndAligned)
{
    CMemoryPoolBase pool(1000, 0);  // no limit
    std::vector<void*> blocks;
    for (int i = 0; i < 300; ++i) {
        void* b = pool.GetNew();
        ASSERT_NE(nullptr, b);
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(b) % alignof(std::max_align_t));
        memset(b, i & 0xFF, 1000);
        blocks.push_back(b);
    }
    EXPECT_EQ(300u, pool.GetCreatedCount());
    for (void* b : blocks)
        pool.Free(b);
}

TEST(MemoryPool, FailedAllocationFailsTheCheck)
{
    CMemoryPoolBase pool(0, 10);
    unsigned long before = MyAssertCount();
    EXPECT_EQ(nullptr, pool.GetNew());
    EXPECT_EQ(before + 1, MyAssertCount());
    EXPECT_EQ(0u, pool.GetCreatedCount());
}

TEST(MemoryPool, WrongPoolAndDoubleFreeAreCaught)
{
    CMemoryPoolBase small(16, 10);
    CMemoryPoolBase large(64, 10);
    void* s = small.GetNew();
    large.Free(s);  // goes back to its own pool
    EXPECT_EQ(0u, large.GetFreeCount());
    EXPECT_EQ(1u, small.GetFreeCount());
    small.Free(s);  // second free: ignored
    EXPECT_EQ(1u, small.GetFreeCount());
    EXPECT_EQ(s, small.GetNew());
    EXPECT_EQ(0u, small.GetFreeCount());
    small.Free(nullptr);
    EXPECT_EQ(0u, small.GetFreeCount());
    small.Free(s);
}

TEST(MemoryPool, SizeClassBoundaries)
{
    struct {
        int32_t size;
        int32_t cls;
    } cases[] = {
        {1, 64},          {64, 64},           {65, 128},           {1024, 1024},
        {1025, 4096},     {4096, 4096},       {4097, 10240},       {20481, 81920},
        {327681, 1310720}, {335544320, 335544320}, {335544321, 1342177280}, {1342177280, 1342177280},
        {0, 0},           {-5, 0},            {1342177281, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.cls, MemPoolAllMsgClassSize(c.size)) << c.size;
}

TEST(MemoryPool, GeneralBuffersBySize)
{
    int32_t cls = -1;
    void* b = GetMemPoolAllMsg(65, &cls);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(128, cls);
    EXPECT_EQ(&g_MPVelmarAllMsg128Byte, CMemoryPoolBase::OwnerOf(b));
    memset(b, 0xA5, 128);
    FreeMemPoolAllMsg(65, b);  // the size first requested selects the same class
    EXPECT_EQ(b, GetMemPoolAllMsg(128, &cls));
    FreeMemPoolAllMsg(128, b);

    cls = -1;
    EXPECT_EQ(nullptr, GetMemPoolAllMsg(0, &cls));
    EXPECT_EQ(0, cls);
    cls = -1;
    EXPECT_EQ(nullptr, GetMemPoolAllMsg(1342177281, &cls));
    EXPECT_EQ(0, cls);
    EXPECT_EQ(nullptr, GetMemPoolAllMsg(-1, nullptr));

    // A block freed with a size of another class still returns to its class.
    void* c = GetMemPoolAllMsg(100, &cls);
    uint32_t freeBefore = g_MPVelmarAllMsg1024Byte.GetFreeCount();
    FreeMemPoolAllMsg(1000, c);
    EXPECT_EQ(freeBefore, g_MPVelmarAllMsg1024Byte.GetFreeCount());
    EXPECT_EQ(c, GetMemPoolAllMsg(128, &cls));
    FreeMemPoolAllMsg(128, c);
    FreeMemPoolAllMsg(128, nullptr);
    FreeMemPoolAllMsg(0, c);  // refused, c stays free once
    EXPECT_EQ(c, GetMemPoolAllMsg(128, &cls));
    void* d = GetMemPoolAllMsg(128, &cls);
    EXPECT_NE(c, d);
    FreeMemPoolAllMsg(128, c);
    FreeMemPoolAllMsg(128, d);
}

TEST(MemoryPool, ClassesCostNothingUntilAskedFor)
{
    EXPECT_EQ(0u, g_MPVelmarAllMsg1342177280Byte.GetCreatedCount());
    EXPECT_EQ(0u, g_MPVelmarAllMsg335544320Byte.GetCreatedCount());
    EXPECT_EQ(0u, g_MPUserInfoChangeNotifyReq.GetCreatedCount() - g_MPUserInfoChangeNotifyReq.GetFreeCount());
}

TEST(MemoryPool, GlobalPoolsHaveTheirSizesAndLimits)
{
    struct {
        CMemoryPoolBase* pool;
        int32_t size;
        int32_t limit;
    } cases[] = {
        {&g_MPVelmarMsg, 20, 50},
        {&g_MPVelmarAllMsg64Byte, 64, 50},
        {&g_MPVelmarAllMsg1342177280Byte, 1342177280, 50},
        {&g_MemPool_TCPIPInfo, (int32_t)sizeof(T_QuorIPInfoList), 100},
        {&g_MemPool_TCPSendMsgList, 2060, 100},
        {&g_MPDeviceSearchQueryReq, 32, 100},
        {&g_MPDeviceSearchQueryRsp, 26036, 100},
        {&g_MPDeviceMaxSeqNumNotifyReq, 28, 100},
        {&g_MPDeviceMaxSeqNumNotifyRsp, 32, 100},
        {&g_MPUserInfoChangeNotifyReq, 25728, 100},
        {&g_MPUserInfoChangeNotifyRsp, 25832, 100},
        {&g_MPDeviceGroupSignNotifyReq, 28, 100},
        {&g_MPDeviceGroupSignNotifyRsp, 32, 100},
        {&g_MPVersionUpgradeRsp, 1060, 100},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.size, c.pool->GetBlockSize());
        EXPECT_EQ(c.limit, c.pool->GetMaxBlocks());
    }
    EXPECT_EQ(100, g_MPVelmarQueueElem.GetMaxObjects());
}

TEST(MemoryPool, RecordsByMessageIdentifier)
{
    struct {
        uint32_t id;
        CMemoryPoolBase* pool;
    } cases[] = {
        {0x1601, &g_MPDeviceSearchQueryReq},     {0x2601, &g_MPDeviceSearchQueryRsp},
        {0x1603, &g_MPDeviceMaxSeqNumNotifyReq}, {0x2603, &g_MPDeviceMaxSeqNumNotifyRsp},
        {0x1604, &g_MPUserInfoChangeNotifyReq},  {0x2604, &g_MPUserInfoChangeNotifyRsp},
        {0x1605, &g_MPDeviceGroupSignNotifyReq}, {0x2605, &g_MPDeviceGroupSignNotifyRsp},
        {0x2801, &g_MPVersionUpgradeRsp},
    };
    for (const auto& c : cases) {
        void* b = GetMemPoolReqAndRspMsg(c.id);
        ASSERT_NE(nullptr, b);
        EXPECT_EQ(c.pool, CMemoryPoolBase::OwnerOf(b)) << std::hex << c.id;
        memset(b, 0, (size_t)c.pool->GetBlockSize());
        FreeMemPoolReqAndRspMsg(c.id, b);
        EXPECT_EQ(b, GetMemPoolReqAndRspMsg(c.id));
        FreeMemPoolReqAndRspMsg(c.id, b);
    }

    void* b = GetMemPoolReqAndRspMsg(0x1605);
    FreeMemPoolReqAndRspMsg(0x1605, b);
    EXPECT_EQ(b, GetMemPoolReqAndRspMsg(0x1605));

    // Unknown identifiers give none and free nothing.
    EXPECT_EQ(nullptr, GetMemPoolReqAndRspMsg(0x1602));
    EXPECT_EQ(nullptr, GetMemPoolReqAndRspMsg(0x1801));
    uint32_t freeBefore = g_MPDeviceGroupSignNotifyReq.GetFreeCount();
    FreeMemPoolReqAndRspMsg(0x9999, b);
    EXPECT_EQ(freeBefore, g_MPDeviceGroupSignNotifyReq.GetFreeCount());
    FreeMemPoolReqAndRspMsg(0x1605, nullptr);
    FreeMemPoolReqAndRspMsg(0x1605, b);
    EXPECT_EQ(freeBefore + 1, g_MPDeviceGroupSignNotifyReq.GetFreeCount());
}

TEST(MemoryPool, SmallRecordsAndAddressRecords)
{
    void* m = GetMemPoolVelmarMsg();
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(&g_MPVelmarMsg, CMemoryPoolBase::OwnerOf(m));
    FreeMemPoolVelmarMsg(m);
    EXPECT_EQ(m, GetMemPoolVelmarMsg());
    FreeMemPoolVelmarMsg(m);

    void* t = GetMemPoolTCPIPInfo();
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(&g_MemPool_TCPIPInfo, CMemoryPoolBase::OwnerOf(t));
    EXPECT_EQ(1u, g_MemPool_TCPIPInfo.GetInUseCount());
    FreeMemPoolTCPIPInfo(t);
    FreeMemPoolTCPIPInfo(nullptr);
    EXPECT_EQ(0u, g_MemPool_TCPIPInfo.GetInUseCount());
}

TEST(MemoryPool, QueueElements)
{
    int owner = 0;
    OSQueueElem* e = GetVelmarMPQueueElem(&owner);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(&owner, e->GetEnclosingObject());
    EXPECT_FALSE(e->IsMemberOfAnyQueue());

    OSQueue queue;
    ASSERT_TRUE(queue.EnQueue(e));
    uint32_t freeBefore = g_MPVelmarQueueElem.GetFreeCount();
    FreeVelmarMPQueueElem(e);  // still queued: not taken back
    EXPECT_EQ(freeBefore, g_MPVelmarQueueElem.GetFreeCount());
    EXPECT_EQ(&owner, e->GetEnclosingObject());
    queue.Remove(e);

    FreeVelmarMPQueueElem(e);
    EXPECT_EQ(nullptr, e->GetEnclosingObject());
    EXPECT_EQ(freeBefore + 1, g_MPVelmarQueueElem.GetFreeCount());
    FreeVelmarMPQueueElem(e);  // twice: ignored
    EXPECT_EQ(freeBefore + 1, g_MPVelmarQueueElem.GetFreeCount());
    FreeVelmarMPQueueElem(nullptr);

    int other = 0;
    EXPECT_EQ(e, GetVelmarMPQueueElem(&other));
    EXPECT_EQ(&other, e->GetEnclosingObject());
    FreeVelmarMPQueueElem(e);
}

struct Counted {
    static std::atomic<int> sLive;
    Counted() { ++sLive; }
    ~Counted() { --sLive; }
    int fState = 7;
};
std::atomic<int> Counted::sLive{0};

TEST(ObjectPool, ObjectsAreBuiltOnceAndHandedBackAsReturned)
{
    {
        CObjectPool<Counted> pool(2);
        Counted* a = pool.GetNew();
        Counted* b = pool.GetNew();
        Counted* c = pool.GetNew();
        ASSERT_NE(nullptr, c);
        EXPECT_EQ(nullptr, pool.GetNew());
        EXPECT_EQ(3, Counted::sLive.load());
        EXPECT_EQ(7, a->fState);
        a->fState = 42;
        pool.Free(a);
        pool.Free(b);
        Counted* again = pool.GetNew();
        EXPECT_EQ(a, again);
        EXPECT_EQ(42, again->fState);  // not re-initialised
        EXPECT_EQ(3, Counted::sLive.load());
        pool.Free(again);
        pool.Free(again);  // twice: ignored
        EXPECT_EQ(2u, pool.GetFreeCount());
        CObjectPool<Counted> other(2);
        other.Free(c);  // not other's object: ignored
        EXPECT_EQ(0u, other.GetFreeCount());
        pool.Free(c);
        EXPECT_EQ(0u, pool.GetInUseCount());
    }
    EXPECT_EQ(0, Counted::sLive.load());
}

// Many threads take and return blocks; a block is never held by two threads
// at once, nothing is lost and the limit holds.
TEST(MemoryPool, ConcurrentGetAndFree)
{
    const int kThreads = 6;
    const int kRounds = 3000;
    CMemoryPoolBase pool(sizeof(int) * 4, 20);
    std::atomic<int> refused{0};
    std::atomic<int> clashes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<int*> held;
            for (int i = 0; i < kRounds; ++i) {
                if (held.size() < 4) {
                    int* b = static_cast<int*>(pool.GetNew());
                    if (b == nullptr) {
                        ++refused;
                    } else {
                        b[0] = t;
                        b[1] = i;
                        held.push_back(b);
                    }
                }
                if (!held.empty() && (i % 3 != 0 || held.size() == 4)) {
                    int* b = held.front();
                    if (b[0] != t)
                        ++clashes;
                    held.erase(held.begin());
                    pool.Free(b);
                }
            }
            for (int* b : held) {
                if (b[0] != t)
                    ++clashes;
                pool.Free(b);
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(0, clashes.load());
    EXPECT_LE(pool.GetCreatedCount(), 21u);
    EXPECT_EQ(0u, pool.GetInUseCount());
    EXPECT_EQ(pool.GetCreatedCount(), pool.GetFreeCount());
    std::set<void*> distinct;
    for (uint32_t i = 0; i < pool.GetCreatedCount(); ++i)
        distinct.insert(pool.GetNew());
    EXPECT_EQ(pool.GetCreatedCount(), distinct.size());
    EXPECT_EQ(0u, distinct.count(nullptr));
    for (void* b : distinct)
        pool.Free(b);
}

TEST(ObjectPool, ConcurrentQueueElements)
{
    const int kThreads = 4;
    std::vector<std::thread> threads;
    std::atomic<int> wrongOwner{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            int self = 0;
            for (int i = 0; i < 2000; ++i) {
                OSQueueElem* e = GetVelmarMPQueueElem(&self);
                if (e == nullptr)
                    continue;
                if (e->GetEnclosingObject() != &self)
                    ++wrongOwner;
                FreeVelmarMPQueueElem(e);
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(0, wrongOwner.load());
    EXPECT_EQ(0u, g_MPVelmarQueueElem.GetInUseCount());
    EXPECT_LE(g_MPVelmarQueueElem.GetCreatedCount(), 101u);
}

}  // namespace
