// Timed entries, the per-pool timeout task and the idle timer.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "QuorSecTimeoutTask.h"
#include "TaskTestSupport.h"

namespace {

// Owns a timed entry and records when TASK_EVT_TIMEOUT arrives.
template <int N>
class TimedOwner : public QuorTask<N> {
public:
    // The entry is the last member: it is armed only once the owner is complete.
    TimedOwner(uint32_t seconds, bool rearm) : fRearm(rearm), fEntry(this, seconds) {}

    int64_t Run() override
    {
        uint32_t events = this->GetEvents();
        if (events & TASK_EVT_TIMEOUT) {
            {
                std::lock_guard<std::mutex> lock(fMutex);
                fTimeouts.push_back(OS::Milliseconds());
            }
            if (fRearm)
                fEntry.RefreshTimeout();
        }
        return 0;
    }
    std::vector<int64_t> Timeouts()
    {
        std::lock_guard<std::mutex> lock(fMutex);
        return fTimeouts;
    }

private:
    bool fRearm;
    std::mutex fMutex;
    std::vector<int64_t> fTimeouts;

public:
    QuorSecTimeoutTask<N> fEntry;
};

template <int N>
void StartPool()
{
    QuorTaskThreadPool<N>::AddThreads(1, 0);
    QuorSecTimeoutTask<N>::Initialize();
}

}  // namespace

TEST(QuorSecTimeoutTask, RearmedEntryFiresAtItsInterval)
{
    StartPool<40>();
    int64_t created = OS::Milliseconds();
    auto* owner = Keep(new TimedOwner<40>(1, true));
    ASSERT_TRUE(WaitUntil([&] { return owner->Timeouts().size() >= 3; }, 6000));
    auto t = owner->Timeouts();
    EXPECT_GE(t[0] - created, 1000);
    for (size_t i = 1; i < 3; i++) {
        EXPECT_GE(t[i] - t[i - 1], 1000) << "never early";
        // A rescan every second at the latest: a missed scan would show as 2 s.
        EXPECT_LT(t[i] - t[i - 1], 1900) << "woken at the due time's scan, not the one after";
    }
}

TEST(QuorSecTimeoutTask, EntryOfZeroSecondsNeverFiresUntilIntervalSet)
{
    StartPool<41>();
    auto* owner = Keep(new TimedOwner<41>(0, true));
    OSThread::Sleep(2200);
    EXPECT_TRUE(owner->Timeouts().empty());
    EXPECT_EQ(owner->fEntry.GetFireTime(), 0);
    int64_t set = OS::Milliseconds();
    owner->fEntry.SetTimeOutMilSec(1000);
    ASSERT_TRUE(WaitUntil([&] { return !owner->Timeouts().empty(); }, 4000));
    EXPECT_GE(owner->Timeouts()[0] - set, 1000);
}

TEST(QuorSecTimeoutTask, OwnerThatDoesNotRearmIsSignalledEveryScan)
{
    StartPool<42>();
    auto* owner = Keep(new TimedOwner<42>(1, false));
    ASSERT_TRUE(WaitUntil([&] { return !owner->Timeouts().empty(); }, 4000));
    int64_t first = owner->Timeouts()[0];
    OSThread::Sleep(3300);
    auto t = owner->Timeouts();
    size_t after = 0;
    for (int64_t when : t)
        after += (when > first && when <= first + 3300) ? 1 : 0;
    EXPECT_GE(after, 2u);
    EXPECT_LE(after, 4u);
}

TEST(QuorSecTimeoutTask, DestroyedEntryIsUnlinkedAndDisarmWorks)
{
    StartPool<43>();
    {
        TimedOwner<43> owner(1, true);
        owner.fEntry.Disarm();
        OSThread::Sleep(1300);
        EXPECT_TRUE(owner.Timeouts().empty());
    }
    // The entry left the list with its owner; the scan goes on without it.
    auto* other = Keep(new TimedOwner<43>(1, true));
    ASSERT_TRUE(WaitUntil([&] { return !other->Timeouts().empty(); }, 4000));
}

TEST(QuorSecTimeoutTask, EntryWithoutTimeoutTaskNeverFires)
{
    unsigned long before = MyAssertCount();
    QuorTaskThreadPool<44>::AddThreads(1, 0);
    TimedOwner<44> owner(1, true);
    EXPECT_EQ(MyAssertCount(), before + 1);
    OSThread::Sleep(1300);
    EXPECT_TRUE(owner.Timeouts().empty());
}

namespace {
template <int N>
class IdleProbe : public QuorIdleTask<N> {
public:
    int64_t Run() override
    {
        fEvents |= this->GetEvents();
        fWhen.store(OS::Milliseconds());
        fRuns++;
        return 0;
    }
    std::atomic<uint32_t> fEvents{0};
    std::atomic<int64_t> fWhen{0};
    std::atomic<int> fRuns{0};
};
}  // namespace

TEST(QuorIdleTask, IdleTimerSignalsOnceAfterItsDelay)
{
    QuorTaskThreadPool<7>::AddThreads(2, 0);
    ASSERT_NE(QuorIdleTask<7>::sIdleThread.load(), nullptr) << "created with the pool's threads";
    auto* task = Keep(new IdleProbe<7>);
    int64_t set = OS::Milliseconds();
    task->SetIdleTimer(300);
    task->SetIdleTimer(10);  // ignored: one is pending
    ASSERT_TRUE(WaitUntil([&] { return task->fRuns.load() == 1; }, 3000));
    EXPECT_GE(task->fWhen.load() - set, 300);
    EXPECT_NE(task->fEvents.load(), 0u);
    OSThread::Sleep(400);
    EXPECT_EQ(task->fRuns.load(), 1);
}

TEST(QuorIdleTask, CancelledOrDestroyedTimerNeverSignals)
{
    QuorTaskThreadPool<45>::AddThreads(1, 0);
    auto* kept = Keep(new IdleProbe<45>);
    kept->SetIdleTimer(200);
    kept->CancelIdleTimer();
    {
        IdleProbe<45> gone;
        gone.SetIdleTimer(100);
    }
    OSThread::Sleep(500);
    EXPECT_EQ(kept->fRuns.load(), 0);
}
