// Helpers for tests of tasks: a gate to hold a run, and waiting for a condition.
#ifndef TASK_TEST_SUPPORT_H
#define TASK_TEST_SUPPORT_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "TestClock.h"

// A gate that Run() can wait on until the test opens it.
class Gate {
public:
    void Open()
    {
        std::lock_guard<std::mutex> lock(fMutex);
        fOpen = true;
        fCond.notify_all();
    }
    // Marks that someone waits, then waits until opened (at most 10 s).
    void Wait()
    {
        std::unique_lock<std::mutex> lock(fMutex);
        fWaiting = true;
        fCond.notify_all();
        fCond.wait_for(lock, std::chrono::seconds(10), [this] { return fOpen; });
    }
    // Waits until someone waits at the gate (at most 10 s).
    bool WaitForWaiter()
    {
        std::unique_lock<std::mutex> lock(fMutex);
        return fCond.wait_for(lock, std::chrono::seconds(10), [this] { return fWaiting; });
    }

private:
    std::mutex fMutex;
    std::condition_variable fCond;
    bool fOpen = false;
    bool fWaiting = false;
};

// Looks at cond every millisecond until it holds or timeoutMs passes.
inline bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 5000)
{
    return board_test::WaitFor(cond, timeoutMs, 1);
}

// Tasks live as long as the process (as in the daemons); keeping them
// reachable tells the leak checker so.
template <typename T>
T* Keep(T* object)
{
    static std::mutex* mutex = new std::mutex;
    static std::vector<void*>* kept = new std::vector<void*>;
    std::lock_guard<std::mutex> lock(*mutex);
    kept->push_back(object);
    return object;
}

#endif
