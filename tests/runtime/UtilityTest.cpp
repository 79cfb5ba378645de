// The utility layer under the runtime: queues, heap, references, parsing,
// atomics, the clock and the file lock.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "MyAssert.h"
#include "OS.h"
#include "OSThread.h"
#include "OSAtomic.h"
#include "OSHeap.h"
#include "OSQueue.h"
#include "OSRef.h"
#include "OSFileSource.h"
#include "SocketUtils.h"
#include "StringFormatter.h"
#include "StringParser.h"

TEST(OSQueue, FifoRemoveAndIteration)
{
    int objs[4];
    OSQueueElem e0(&objs[0]), e1(&objs[1]), e2(&objs[2]), e3(&objs[3]);
    OSQueue q;
    EXPECT_EQ(q.DeQueue(), nullptr);
    EXPECT_TRUE(q.EnQueue(&e0));
    EXPECT_TRUE(q.EnQueue(&e1));
    EXPECT_TRUE(q.EnQueue(&e2));
    EXPECT_FALSE(q.EnQueue(&e1)) << "an element sits in one queue at a time";
    EXPECT_EQ(e1.InQueue(), &q);
    q.Remove(&e1);
    EXPECT_EQ(e1.InQueue(), nullptr);
    q.Remove(&e3);  // not in it: nothing happens
    EXPECT_EQ(q.GetLength(), 2u);
    std::vector<void*> seen;
    for (OSQueueIter it(&q); !it.IsDone(); it.Next())
        seen.push_back(it.GetCurrent()->GetEnclosingObject());
    EXPECT_EQ(seen, (std::vector<void*>{&objs[0], &objs[2]}));
    EXPECT_EQ(q.DeQueue(), &e0);
    EXPECT_EQ(q.DeQueue(), &e2);
    EXPECT_EQ(q.DeQueue(), nullptr);
    EXPECT_EQ(q.GetLength(), 0u);
}

TEST(OSQueue, DestroyingLinkedElementUnlinksIt)
{
    OSQueue q;
    OSQueueElem keep;
    q.EnQueue(&keep);
    unsigned long before = MyAssertCount();
    {
        OSQueueElem doomed;
        q.EnQueue(&doomed);
    }
    EXPECT_EQ(MyAssertCount(), before + 1);
    EXPECT_EQ(q.GetLength(), 1u);
    EXPECT_EQ(q.DeQueue(), &keep);
}

TEST(OSQueueBlocking, TimesOutAndWakesOneWaiter)
{
    OSQueue_Blocking q;
    int64_t start = OS::Milliseconds();
    EXPECT_EQ(q.DeQueueBlocking(nullptr, 50), nullptr);
    int64_t waited = OS::Milliseconds() - start;
    EXPECT_GE(waited, 45);
    EXPECT_LT(waited, 2000);

    OSQueueElem elem;
    OSQueueElem* got = nullptr;
    std::thread waiter([&] { got = q.DeQueueBlocking(nullptr, 5000); });
    OSThread::Sleep(50);
    q.EnQueue(&elem);
    waiter.join();
    EXPECT_EQ(got, &elem);
    EXPECT_EQ(q.DeQueue(), nullptr) << "DeQueue never blocks";
}

namespace {
// A thread that waits on a queue without a time limit, as task threads do.
class QueueWaiter : public OSThread {
public:
    explicit QueueWaiter(OSQueue_Blocking* queue) : fQueue(queue) {}
    ~QueueWaiter() override { StopAndWaitForThread(); }
    void Entry() override { fGot.store(fQueue->DeQueueBlocking(this, -1)); }
    std::atomic<OSQueueElem*> fGot{nullptr};

protected:
    void WakeForStop() override { fQueue->WakeAll(); }

private:
    OSQueue_Blocking* fQueue;
};
}  // namespace

TEST(OSQueueBlocking, WaitWithoutLimitEndsWithAnElementOrAStop)
{
    OSQueue_Blocking q;
    OSQueueElem elem;
    {
        QueueWaiter waiter(&q);
        waiter.Start();
        q.EnQueue(&elem);
        waiter.StopAndWaitForThread();
        EXPECT_EQ(&elem, waiter.fGot.load());  // queued before the stop: taken
    }
    QueueWaiter waiter(&q);
    waiter.Start();
    waiter.StopAndWaitForThread();  // returns only because the stop woke the wait
    EXPECT_EQ(nullptr, waiter.fGot.load());
}

TEST(OSHeap, ExtractsInKeyOrderAndGrows)
{
    OSHeap heap(4);
    EXPECT_EQ(heap.FreeIndex(), 1u);
    EXPECT_EQ(heap.PeekMin(), nullptr);
    std::vector<std::unique_ptr<OSHeapElem>> elems;
    std::mt19937 rng(7);
    std::vector<int64_t> keys;
    for (int i = 0; i < 100; i++) {
        elems.emplace_back(new OSHeapElem);
        int64_t key = (int64_t)(rng() % 1000) - 500;
        elems.back()->SetValue(key);
        keys.push_back(key);
        ASSERT_TRUE(heap.Insert(elems.back().get()));
    }
    EXPECT_FALSE(heap.Insert(elems[0].get()));
    // Remove a few from the middle.
    for (int i = 10; i < 20; i++) {
        EXPECT_EQ(heap.Remove(elems[i].get()), elems[i].get());
        keys.erase(std::find(keys.begin(), keys.end(), elems[i]->GetValue()));
    }
    EXPECT_EQ(heap.Remove(elems[10].get()), nullptr);
    std::sort(keys.begin(), keys.end());
    for (int64_t key : keys) {
        OSHeapElem* min = heap.Extract(1);
        ASSERT_NE(min, nullptr);
        EXPECT_EQ(min->GetValue(), key);
        EXPECT_FALSE(min->IsMemberOfAnyHeap());
    }
    EXPECT_EQ(heap.Extract(1), nullptr);
    EXPECT_EQ(heap.FreeIndex(), 1u);
}

TEST(OSAtomic, AddReturnsNewValueCompareAndStore)
{
    uint32_t v = 5;
    EXPECT_EQ(gb_atomic_add(&v, 1), 6u);
    EXPECT_EQ(gb_atomic_add(&v, -2), 4u);
    EXPECT_FALSE(gb_compare_and_store(3, 9, &v));
    EXPECT_EQ(v, 4u);
    EXPECT_TRUE(gb_compare_and_store(4, 9, &v));
    EXPECT_EQ(v, 9u);
}

TEST(OSRefTable, RegisterResolveReleaseUnregister)
{
    OSRefTable table(7);
    int objA = 0, objB = 0;
    char keyA[] = "\x01\x00\x00\x00";
    char keyB[] = "cookie-b";
    OSRef a(StrSpan(keyA, 4), &objA);
    OSRef b(StrSpan(keyB), &objB);
    OSRef dup(StrSpan(keyA, 4), &objB);
    EXPECT_EQ(table.Register(&a), 0);
    EXPECT_EQ(table.Register(&b), 0);
    EXPECT_EQ(table.Register(&dup), -2);
    StrSpan lookup(keyA, 4);
    OSRef* found = table.Resolve(&lookup);
    ASSERT_EQ(found, &a);
    EXPECT_EQ(found->GetObject(), &objA);
    EXPECT_EQ(found->GetRefCount(), 1u);
    // UnRegister waits for the reference to be released.
    std::thread releaser([&] {
        OSThread::Sleep(50);
        table.Release(found);
    });
    table.UnRegister(&a);
    releaser.join();
    EXPECT_EQ(table.Resolve(&lookup), nullptr);
    EXPECT_EQ(table.GetNumRefsInTable(), 1u);
    table.UnRegister(&b);
    EXPECT_EQ(table.GetNumRefsInTable(), 0u);
}

TEST(StringParser, ConsumesByCharacterMaskAndLength)
{
    char text[] = "GET  ORDER\xff 12ab\r\n";
    StrSpan span(text);
    StringParser parser(&span);
    StrSpan word;
    parser.ConsumeWord(&word);
    EXPECT_TRUE(word.Equal("GET"));
    parser.ConsumeWhitespace();
    parser.ConsumeUntil(&word, StringParser::sWhitespaceMask);
    EXPECT_TRUE(word.Equal("ORDER\xff")) << "bytes above 0x7F are ordinary characters";
    parser.ConsumeWhitespace();
    EXPECT_EQ(parser.ConsumeInteger(), 12u);
    EXPECT_FALSE(parser.Expect('x'));
    EXPECT_TRUE(parser.Expect('a'));
    parser.ConsumeUntil(&word, '\r');
    EXPECT_TRUE(word.Equal("b"));
    parser.ConsumeLength(&word, 100);
    EXPECT_TRUE(word.Equal("\r\n"));
    EXPECT_TRUE(parser.IsDone());
    parser.ConsumeLength(&word, 5);
    EXPECT_EQ(word.Len, 0u);
}

TEST(StrSpan, CopiesAndCompares)
{
    char text[] = "abcdef";
    StrSpan span(text, 3);
    char* copy = span.GetAsCString();
    EXPECT_STREQ(copy, "abc");
    delete[] copy;
    EXPECT_TRUE(span.Equal("abc"));
    EXPECT_FALSE(span.Equal("abcd"));
    EXPECT_TRUE(span.EqualIgnoreCase("ABC", 3));
}

TEST(StringFormatter, StopsAtCapacityAndResizeableGrows)
{
    char buf[8];
    StringFormatter fixed(buf, sizeof(buf));
    EXPECT_TRUE(fixed.Put("12345"));
    EXPECT_FALSE(fixed.Put("6789"));
    EXPECT_EQ(fixed.GetCurrentOffset(), 8u);
    EXPECT_FALSE(fixed.PutTerminator());

    ResizeableStringFormatter grow(4);
    for (int i = 0; i < 100; i++)
        ASSERT_TRUE(grow.Put("abcdefghij"));
    EXPECT_TRUE(grow.PutTerminator());
    EXPECT_EQ(grow.GetCurrentOffset(), 1000u);
    EXPECT_EQ(strlen(grow.GetBufPtr()), 1000u);
}

TEST(StringUtils, DottedAddressesInNetworkOrder)
{
    uint32_t addr = 0;
    ASSERT_EQ(StringUtils::Inet_aton("192.168.1.10", &addr), 1);
    const unsigned char* b = (const unsigned char*)&addr;
    EXPECT_EQ(b[0], 192);
    EXPECT_EQ(b[3], 10);
    char text[16];
    EXPECT_STREQ(StringUtils::Inet_ntoa(addr, text), "192.168.1.10");
    EXPECT_EQ(StringUtils::Inet_aton("192.168.1.256", &addr), 0);
    EXPECT_EQ(StringUtils::Inet_aton("1.2.3", &addr), 0);
    EXPECT_EQ(StringUtils::Inet_aton(nullptr, &addr), 0);
}

TEST(OS, MonotonicClockAdvances)
{
    int64_t a = OS::Milliseconds();
    OSThread::Sleep(20);
    int64_t b = OS::Milliseconds();
    EXPECT_GE(b - a, 19);
    EXPECT_LT(b - a, 2000);
}

TEST(OS, LockSemFileIsExclusiveAcrossProcessesAndSurvivesFork)
{
    char path[] = "/tmp/quor-lock-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    // The holder forks: the lock stays held by the child after the parent's copy exits.
    pid_t holder = fork();
    if (holder == 0) {
        if (OS::LockSemFile(path) == 0)
            _exit(3);
        pid_t daemonChild = fork();
        if (daemonChild == 0) {
            OSThread::Sleep(600);
            _exit(0);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(holder, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    pid_t second = fork();
    if (second == 0)
        _exit(OS::LockSemFile(path) == 0 ? 0 : 4);
    waitpid(second, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "another process holds the lock";
    OSThread::Sleep(900);
    EXPECT_NE(OS::LockSemFile(path), 0) << "free again once the holder is gone";
    unlink(path);
}

TEST(OSFileSource, ReadsAtOffsets)
{
    char path[] = "/tmp/quor-file-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "0123456789", 10), 10);
    close(fd);
    OSFileSource file;
    file.Set(path);
    EXPECT_EQ(file.GetLength(), 10u);
    char buf[8] = {};
    uint32_t got = 0;
    EXPECT_EQ(file.Read(6, buf, 8, &got), 0);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(buf, got), "6789");
    file.Close();
    EXPECT_NE(file.Read(0, buf, 1, &got), 0);
    unlink(path);
}
