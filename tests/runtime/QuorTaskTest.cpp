// Semantics of tasks, task threads and thread pools. Every test uses a pool
// number of its own, since pools are process-wide.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "QuorTask.h"
#include "TaskTestSupport.h"

namespace {

struct RunRecord {
    uint32_t events;
    OSThread* thread;
    int64_t startMs;
    int tag;
};

// Records every run; optional gate held on the first run; scripted results.
template <int N>
class RecordingTask : public QuorTask<N> {
public:
    explicit RecordingTask(int tag = 0, std::vector<RunRecord>* shared = nullptr, std::mutex* sharedMutex = nullptr)
        : fTag(tag), fShared(shared), fSharedMutex(sharedMutex) {}

    int64_t Run() override
    {
        RunRecord rec{this->GetEvents(), OSThread::GetCurrent(), OS::Milliseconds(), fTag};
        {
            std::lock_guard<std::mutex> lock(fMutex);
            fRuns.push_back(rec);
        }
        if (fShared != nullptr) {
            std::lock_guard<std::mutex> lock(*fSharedMutex);
            fShared->push_back(rec);
        }
        if (fGate != nullptr && fRunCount.load() == 0) {
            fRunCount++;
            fGate->Wait();
            return NextResult();
        }
        fRunCount++;
        return NextResult();
    }

    std::vector<RunRecord> Runs()
    {
        std::lock_guard<std::mutex> lock(fMutex);
        return fRuns;
    }
    int RunCount() { return fRunCount.load(); }

    Gate* fGate = nullptr;
    std::vector<int64_t> fResults;  // results of successive runs; 0 afterwards

private:
    int64_t NextResult()
    {
        std::lock_guard<std::mutex> lock(fMutex);
        size_t index = fRuns.size() - 1;
        return index < fResults.size() ? fResults[index] : 0;
    }

    int fTag;
    std::vector<RunRecord>* fShared;
    std::mutex* fSharedMutex;
    std::mutex fMutex;
    std::vector<RunRecord> fRuns;
    std::atomic<int> fRunCount{0};
};

// The task's runs once count have happened and no further one came within
// 100 ms (a run owed to a lost or repeated signal would).
template <int N>
std::vector<RunRecord> RunsSettledAt(RecordingTask<N>* task, int count)
{
    EXPECT_TRUE(WaitUntil([&] { return task->RunCount() >= count; }));
    OSThread::Sleep(100);
    return task->Runs();
}

template <int N>
int ThreadIndex(OSThread* thread)
{
    for (uint32_t i = 0; i < QuorTaskThreadPool<N>::GetNumThreads(); i++) {
        if (QuorTaskThreadPool<N>::sTaskThreadArray[i] == thread)
            return (int)i;
    }
    return -1;
}

// Occupies a pool's only thread until the gate opens.
template <int N>
RecordingTask<N>* BlockThread(Gate* gate)
{
    auto* blocker = Keep(new RecordingTask<N>(99));
    blocker->fGate = gate;
    blocker->Signal(0x1000);
    EXPECT_TRUE(gate->WaitForWaiter());
    return blocker;
}

}  // namespace

TEST(QuorTask, NewTaskIsLiveAndNamed)
{
    RecordingTask<20> task;
    EXPECT_STREQ(task.GetTaskName(), "live_unknown");
    EXPECT_TRUE(task.IsAlive());
    task.SetTaskName("Listener");
    EXPECT_STREQ(task.GetTaskName(), "live_Listener");
    std::string longName(80, 'x');
    task.SetTaskName(longName.c_str());
    EXPECT_EQ(strlen(task.GetTaskName()), 47u);
}

// Threads that cannot start (here: a stack larger than the address space
// allowed) are not kept in the pool. In a child process: the limit must not
// reach the other tests.
TEST(QuorTask, ThreadsThatDidNotStartAreNotInThePool)
{
#if defined(VELMAR_SANITIZE_ADDRESS) || defined(VELMAR_SANITIZE_THREAD)
    GTEST_SKIP() << "the sanitizers need the address space this test takes away";
#else
    pid_t child = fork();
    if (child == 0) {
        struct rlimit limit = {512u << 20, 512u << 20};
        OSThread::Initialize(0xF0000000u);
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(2);
        QuorTaskThreadPool<40>::AddThreads(2, 0);
        _exit(QuorTaskThreadPool<40>::GetNumThreads() == 0 && QuorTaskThreadPool<40>::GetThread(0) == nullptr ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
#endif
}

TEST(QuorTask, TwoSignalsBeforeRunGiveOneRunSeeingBoth)
{
    QuorTaskThreadPool<21>::AddThreads(1, 0);
    Gate gate;
    BlockThread<21>(&gate);
    auto* task = Keep(new RecordingTask<21>);
    task->Signal(0x100);
    task->Signal(0x200);
    gate.Open();
    auto runs = RunsSettledAt(task, 1);
    ASSERT_EQ(runs.size(), 1u);
    // The scheduled bit is never reported as an event.
    EXPECT_EQ(runs[0].events, 0x300u);
}

TEST(QuorTask, SignalDuringRunGivesOneImmediateRerunOnSameThread)
{
    QuorTaskThreadPool<22>::AddThreads(3, 0);
    Gate gate;
    auto* task = Keep(new RecordingTask<22>);
    task->fGate = &gate;
    task->Signal(0x100);
    ASSERT_TRUE(gate.WaitForWaiter());
    task->Signal(0x400);
    task->Signal(0x800);
    gate.Open();
    auto runs = RunsSettledAt(task, 2);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].events, 0x100u);
    EXPECT_EQ(runs[1].events, 0xC00u);
    EXPECT_EQ(runs[0].thread, runs[1].thread);
}

// Task 1 runs on a pool of one thread and is held there; task 2 is queued,
// task 1 is signalled again (0x200), then released. The runs in order (kept
// for the process: the tasks live on).
template <int N>
std::vector<RunRecord> RunOrderAfterRequeue(int budget)
{
    QuorTaskThreadPool<N>::AddThreads(1, 0);
    static std::vector<RunRecord> order;
    static std::mutex orderMutex;
    Gate gate;
    auto* a = Keep(new RecordingTask<N>(1, &order, &orderMutex));
    auto* b = Keep(new RecordingTask<N>(2, &order, &orderMutex));
    if (budget > 0)
        a->SetRunBudget(budget);
    a->fGate = &gate;
    a->Signal(0x100);
    EXPECT_TRUE(gate.WaitForWaiter());
    b->Signal(0x100);
    a->Signal(0x200);
    gate.Open();
    EXPECT_TRUE(WaitUntil([&] { return a->RunCount() >= 2 && b->RunCount() >= 1; }));
    std::lock_guard<std::mutex> lock(orderMutex);
    return order;
}

std::vector<int> Tags(const std::vector<RunRecord>& runs)
{
    std::vector<int> tags;
    for (const RunRecord& run : runs)
        tags.push_back(run.tag);
    return tags;
}

TEST(QuorTask, RunBudgetOfOneRequeuesBehindQueuedTasks)
{
    std::vector<RunRecord> order = RunOrderAfterRequeue<23>(1);
    EXPECT_EQ(Tags(order), (std::vector<int>{1, 2, 1}));
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[2].events, 0x200u);
}

TEST(QuorTask, WithoutBudgetRerunComesBeforeQueuedTasks)
{
    EXPECT_EQ(Tags(RunOrderAfterRequeue<24>(0)), (std::vector<int>{1, 1, 2}));
}

TEST(QuorTask, PositiveResultRunsAgainNoEarlierWithTimerBit)
{
    QuorTaskThreadPool<25>::AddThreads(2, 0);
    auto* task = Keep(new RecordingTask<25>);
    task->fResults = {500};
    task->Signal(0x100);
    ASSERT_TRUE(WaitUntil([&] { return task->RunCount() >= 1; }));
    int64_t firstEnd = OS::Milliseconds();
    OSThread::Sleep(100);
    task->Signal(0x200);  // collected, but must not run the task early
    ASSERT_TRUE(WaitUntil([&] { return task->RunCount() >= 2; }, 3000));
    auto runs = task->Runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_GE(runs[1].startMs - runs[0].startMs, 500);
    EXPECT_GE(runs[1].startMs, firstEnd + 390);
    EXPECT_EQ(runs[1].events, (uint32_t)(TASK_EVT_TIMER | 0x200));
    // Result 0 with nothing new: the task is idle again and a signal queues it.
    OSThread::Sleep(50);
    task->Signal(0x400);
    ASSERT_TRUE(WaitUntil([&] { return task->RunCount() >= 3; }));
    EXPECT_EQ(task->Runs()[2].events, 0x400u);
}

namespace {
std::atomic<int> gDestroyed{0};
template <int N>
class DyingTask : public QuorTask<N> {
public:
    ~DyingTask() override { gDestroyed++; }
    int64_t Run() override
    {
        this->GetEvents();
        return -1;
    }
};
}  // namespace

TEST(QuorTask, NegativeResultDestroysTask)
{
    QuorTaskThreadPool<26>::AddThreads(1, 0);
    (new DyingTask<26>)->Signal(0x100);
    ASSERT_TRUE(WaitUntil([] { return gDestroyed.load() == 1; }));
}

TEST(QuorTask, AddThreadsTwiceKeepsFirstSet)
{
    EXPECT_EQ(QuorTaskThreadPool<27>::AddThreads(2, 0), 1);
    auto* first = QuorTaskThreadPool<27>::sTaskThreadArray;
    EXPECT_EQ(QuorTaskThreadPool<27>::AddThreads(3, 0), 1);
    EXPECT_EQ(QuorTaskThreadPool<27>::sTaskThreadArray, first);
    EXPECT_EQ(QuorTaskThreadPool<27>::GetNumThreads(), 2u);
    EXPECT_EQ(QuorTaskThreadPool<27>::GetThread(0)->GetTemplateID(), 27);
}

TEST(QuorTask, HintedSignalReservesLastOfFourThreads)
{
    QuorTaskThreadPool<28>::AddThreads(4, 0);
    auto* task = Keep(new RecordingTask<28>);
    for (int i = 0; i < 6; i++) {
        task->Signal(0x100, 1);
        ASSERT_TRUE(WaitUntil([&] { return task->RunCount() == i + 1 && task->IsIdle(); }));
    }
    std::vector<int> plain;
    for (int i = 0; i < 9; i++) {
        task->Signal(0x100, 0);
        ASSERT_TRUE(WaitUntil([&] { return task->RunCount() == 6 + i + 1 && task->IsIdle(); }));
    }
    auto runs = task->Runs();
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(ThreadIndex<28>(runs[i].thread), 3) << "hinted run " << i;
    }
    for (int i = 6; i < 15; i++)
        plain.push_back(ThreadIndex<28>(runs[i].thread));
    for (size_t i = 0; i < plain.size(); i++) {
        EXPECT_GE(plain[i], 0);
        EXPECT_LE(plain[i], 2);
        if (i > 0) {
            EXPECT_EQ(plain[i], (plain[i - 1] + 1) % 3) << "plain signals cycle over the first three";
        }
    }
}

TEST(QuorTask, HintedSignalRotatesOverBothOfTwoThreads)
{
    QuorTaskThreadPool<29>::AddThreads(2, 0);
    auto* task = Keep(new RecordingTask<29>);
    for (int i = 0; i < 6; i++) {
        // Each run ended before the next signal: a signal during a run would
        // run the task again on the same thread.
        task->Signal(0x100, (uint32_t)(i % 2));
        ASSERT_TRUE(WaitUntil([&] { return task->RunCount() == i + 1 && task->IsIdle(); }));
    }
    auto runs = task->Runs();
    for (int i = 1; i < 6; i++)
        EXPECT_EQ(ThreadIndex<29>(runs[i].thread), (ThreadIndex<29>(runs[i - 1].thread) + 1) % 2);
}

TEST(QuorTask, SignalBeforeThreadsExistIsKeptForLater)
{
    auto* task = Keep(new RecordingTask<30>);
    task->Signal(0x100);
    QuorTaskThreadPool<30>::AddThreads(1, 0);
    OSThread::Sleep(50);
    EXPECT_EQ(task->RunCount(), 0);
    task->Signal(0x200);
    ASSERT_TRUE(WaitUntil([&] { return task->RunCount() == 1; }));
    EXPECT_EQ(task->Runs()[0].events, 0x300u);
}

TEST(QuorTask, IdleThreadHonoursStopRequestPromptly)
{
    QuorTaskThreadPool<31>::AddThreads(1, 0);
    OSThread::Sleep(30);
    int64_t start = OS::Milliseconds();
    QuorTaskThreadPool<31>::GetThread(0)->StopAndWaitForThread();
    EXPECT_LT(OS::Milliseconds() - start, 500);
}

namespace {
std::atomic<int> gExclusiveOverlap{0};
std::atomic<int> gInRun{0};
template <int N>
class ExclusiveProbeTask : public QuorTask<N> {
public:
    int64_t Run() override
    {
        this->GetEvents();
        int inside = ++gInRun;
        if (fExclusiveRun && inside != 1)
            gExclusiveOverlap++;
        OSThread::Sleep(20);
        --gInRun;
        fDone++;
        return 0;
    }
    bool fExclusiveRun = false;
    std::atomic<int> fDone{0};
};
}  // namespace

TEST(QuorTask, ExclusiveRunExcludesOtherTasksOfThePool)
{
    QuorTaskThreadPool<32>::AddThreads(3, 0);
    std::vector<ExclusiveProbeTask<32>*> tasks;
    for (int i = 0; i < 3; i++)
        tasks.push_back(Keep(new ExclusiveProbeTask<32>));
    tasks[0]->fExclusiveRun = true;
    for (int round = 0; round < 5; round++) {
        tasks[0]->SetExclusive();
        for (auto* t : tasks)
            t->Signal(0x100);
        ASSERT_TRUE(WaitUntil([&] {
            for (auto* t : tasks)
                if (t->fDone.load() < round + 1)
                    return false;
            return true;
        }));
    }
    EXPECT_EQ(gExclusiveOverlap.load(), 0);
}

namespace {
constexpr int kSignallers = 4;
constexpr int kStressTasks = 24;

// Checks that runs never overlap and that every posted signal is consumed.
template <int N>
class StressTask : public QuorTask<N> {
public:
    int64_t Run() override
    {
        if (fInRun.exchange(true))
            fOverlaps++;
        uint32_t events = this->GetEvents();
        for (int k = 0; k < kSignallers; k++) {
            if (events & (0x1000u << k))
                fConsumed[k].store(fPosted[k].load());
        }
        fRuns++;
        fInRun.store(false);
        return 0;
    }
    std::atomic<bool> fInRun{false};
    std::atomic<int> fOverlaps{0};
    std::atomic<int> fRuns{0};
    std::atomic<uint32_t> fPosted[kSignallers] = {};
    std::atomic<uint32_t> fConsumed[kSignallers] = {};
};
}  // namespace

TEST(QuorTask, StressNoOverlapNoLostSignal)
{
    QuorTaskThreadPool<33>::AddThreads(4, 0);
    std::vector<StressTask<33>*> tasks;
    for (int i = 0; i < kStressTasks; i++)
        tasks.push_back(Keep(new StressTask<33>));
    std::vector<std::thread> signallers;
    for (int k = 0; k < kSignallers; k++) {
        signallers.emplace_back([&, k] {
            for (uint32_t seq = 1; seq <= 3000; seq++) {
                StressTask<33>* t = tasks[(seq * 7 + (uint32_t)k) % kStressTasks];
                t->fPosted[k].store(seq);
                t->Signal(0x1000u << k, seq & 1);
            }
        });
    }
    for (auto& s : signallers)
        s.join();
    bool settled = WaitUntil([&] {
        for (auto* t : tasks)
            for (int k = 0; k < kSignallers; k++)
                if (t->fConsumed[k].load() != t->fPosted[k].load())
                    return false;
        return true;
    }, 10000);
    EXPECT_TRUE(settled) << "a signalled bit was lost";
    for (auto* t : tasks)
        EXPECT_EQ(t->fOverlaps.load(), 0);
}
