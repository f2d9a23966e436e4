#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <boost/thread/exceptions.hpp>
#include <gtest/gtest.h>

#include "core/ExecutorService.h"

namespace {

// A gate tasks wait at, and a count of how many arrived, shared between test and tasks.
class Gate {
public:
    void arrive()
    {
        std::unique_lock<std::mutex> lock(m_);
        ++arrived_;
        cv_.notify_all();
        cv_.wait(lock, [this] { return open_; });
    }
    // Counts the caller and lets it go on at once.
    void pass()
    {
        std::lock_guard<std::mutex> lock(m_);
        ++arrived_;
        cv_.notify_all();
    }
    void waitForArrivals(int n)
    {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return arrived_ >= n; });
    }
    // Waits until n arrived, without blocking the callers when they are that many.
    void arriveAndWaitFor(int n)
    {
        std::unique_lock<std::mutex> lock(m_);
        ++arrived_;
        cv_.notify_all();
        cv_.wait(lock, [&] { return arrived_ >= n || open_; });
    }
    void open()
    {
        std::lock_guard<std::mutex> lock(m_);
        open_ = true;
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int arrived_ = 0;
    bool open_ = false;
};

[[maybe_unused]] int ThreadsOfProcess()  // unused where the sanitizers leave out its test
{
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

}  // namespace

// One worker takes the tasks strictly in posting order.
TEST(ExecutorService, SingleWorkerRunsTasksInPostingOrder)
{
    std::mutex m;
    std::vector<int> order;
    {
        ExecutorService pool(1, {});
        Gate gate;
        pool.post([&] { gate.arrive(); });
        for (int i = 0; i < 10; ++i)
            pool.post([&, i] {
                std::lock_guard<std::mutex> lock(m);
                order.push_back(i);
            });
        Gate done;
        pool.post([&] { done.arriveAndWaitFor(1); });
        gate.open();
        done.waitForArrivals(1);
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

// With four workers the oldest four tasks are the ones that run together first, and every
// posted task runs exactly once.
TEST(ExecutorService, WorkersTakeOldestTasksInParallel)
{
    std::mutex m;
    std::vector<int> firstWave;
    std::atomic<int> ran{0};
    Gate fourRunning;
    Gate allDone;
    {
        ExecutorService pool(4, {});
        for (int i = 0; i < 10; ++i)
            pool.post([&, i] {
                {
                    std::lock_guard<std::mutex> lock(m);
                    if (firstWave.size() < 4)
                        firstWave.push_back(i);
                }
                // No task ends before four run at once, so only four can be taken first.
                fourRunning.arriveAndWaitFor(4);
                ++ran;
                allDone.pass();
            });
        allDone.waitForArrivals(10);
    }
    EXPECT_EQ(std::set<int>(firstWave.begin(), firstWave.end()), (std::set<int>{0, 1, 2, 3}));
    EXPECT_EQ(ran.load(), 10);
}

// A pool without workers accepts tasks, runs none and discards them when destroyed.
TEST(ExecutorService, PoolWithoutWorkersRunsNothing)
{
    for (int workers : {0, -3}) {
        std::atomic<int> ran{0};
        auto token = std::make_shared<int>(0);
        std::weak_ptr<int> watch = token;
        int inits = 0;
        {
            ExecutorService pool(workers, [&] { ++inits; });
            for (int i = 0; i < 5; ++i)
                pool.post([&ran, token] { ++ran; });
            token.reset();
        }
        EXPECT_EQ(ran.load(), 0) << workers;
        EXPECT_EQ(inits, 0) << workers;
        EXPECT_TRUE(watch.expired()) << "queued tasks were not released";
    }
}

// Destruction lets running tasks finish, waits for them, and never starts queued ones.
TEST(ExecutorService, DestructionWaitsForRunningTasksAndDropsQueuedOnes)
{
    Gate gate;
    std::atomic<int> finished{0};
    std::atomic<int> queuedRan{0};
    std::atomic<bool> destroyed{false};
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;

    auto* pool = new ExecutorService(2, {});
    for (int i = 0; i < 2; ++i)
        pool->post([&] {
            gate.arrive();
            ++finished;
        });
    for (int i = 0; i < 5; ++i)
        pool->post([&queuedRan, token] { ++queuedRan; });
    token.reset();
    gate.waitForArrivals(2);

    int finishedWhenDestroyed = -1;
    std::thread destroyer([&] {
        delete pool;
        finishedWhenDestroyed = finished.load();
        destroyed = true;
    });
    // The pool is closed while both tasks still wait at the gate: a task posted then is
    // released at once.
    for (;;) {
        auto probe = std::make_shared<int>(0);
        std::weak_ptr<int> probed = probe;
        pool->post([probe] {});
        probe.reset();
        if (probed.expired())
            break;
        std::this_thread::yield();
    }
    EXPECT_FALSE(destroyed.load());
    gate.open();
    destroyer.join();

    EXPECT_EQ(finishedWhenDestroyed, 2);
    EXPECT_EQ(queuedRan.load(), 0);
    EXPECT_TRUE(watch.expired());
}

// A task posted after stop is never run and is released with the pool.
TEST(ExecutorService, TaskPostedAfterStopNeverRuns)
{
    std::atomic<int> ran{0};
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    {
        ExecutorService pool(2, {});
        pool.stop();
        pool.post([&ran, token] { ++ran; });
        token.reset();
    }
    EXPECT_EQ(ran.load(), 0);
    EXPECT_TRUE(watch.expired());
}

// The drain: close lets the running tasks finish and starts no other; waitIdle waits for the
// last running task, not longer, and gives up at its deadline while one still runs; stop then
// releases the queued tasks unrun on the calling thread.
TEST(ExecutorService, CloseDrainsWhatRunsAndStopReleasesTheQueueOnTheCaller)
{
    using Clock = std::chrono::steady_clock;
    Gate gate;
    std::atomic<int> finished{0};
    std::atomic<int> queuedRan{0};
    std::thread::id releasedOn;
    {
        std::shared_ptr<int> token(new int(0), [&releasedOn](int* p) {
            releasedOn = std::this_thread::get_id();
            delete p;
        });
        ExecutorService pool(2, {});
        EXPECT_TRUE(pool.waitIdle(Clock::now())) << "an idle pool waits for nothing";
        for (int i = 0; i < 2; ++i)
            pool.post([&] {
                gate.arrive();
                ++finished;
            });
        for (int i = 0; i < 3; ++i)
            pool.post([&queuedRan, token] { ++queuedRan; });
        token.reset();
        gate.waitForArrivals(2);
        pool.close();
        EXPECT_EQ(pool.running(), 2);
        EXPECT_FALSE(pool.waitIdle(Clock::now() + std::chrono::milliseconds(50)));
        std::thread opener([&] { gate.open(); });
        EXPECT_TRUE(pool.waitIdle(Clock::now() + std::chrono::seconds(30)));
        opener.join();
        EXPECT_EQ(finished.load(), 2);
        EXPECT_EQ(pool.running(), 0);
        pool.stop();
        EXPECT_EQ(releasedOn, std::this_thread::get_id());
    }
    EXPECT_EQ(queuedRan.load(), 0);
}

// Each worker runs the init function exactly once, on its own thread, before its first task.
TEST(ExecutorService, InitRunsOncePerWorkerBeforeItsFirstTask)
{
    std::mutex m;
    std::map<std::thread::id, int> inits;
    std::vector<int> initsSeenByTask;
    Gate threeRunning;
    {
        ExecutorService pool(3, [&] {
            std::lock_guard<std::mutex> lock(m);
            ++inits[std::this_thread::get_id()];
        });
        for (int i = 0; i < 9; ++i)
            pool.post([&, i] {
                {
                    std::lock_guard<std::mutex> lock(m);
                    auto it = inits.find(std::this_thread::get_id());
                    initsSeenByTask.push_back(it == inits.end() ? 0 : it->second);
                }
                // The first three tasks meet, so every worker takes at least one task.
                if (i < 3)
                    threeRunning.arriveAndWaitFor(3);
            });
        Gate done;
        for (int i = 0; i < 3; ++i)
            pool.post([&] { done.arriveAndWaitFor(3); });
        done.waitForArrivals(3);
    }
    EXPECT_EQ(inits.size(), 3u);
    for (const auto& entry : inits)
        EXPECT_EQ(entry.second, 1);
    EXPECT_EQ(initsSeenByTask, std::vector<int>(9, 1));
}

// An empty init function is skipped and the workers still serve the queue.
TEST(ExecutorService, EmptyInitIsSkipped)
{
    Gate done;
    ExecutorService pool(2, boost::function<void()>());
    pool.post([&] { done.arriveAndWaitFor(1); });
    done.waitForArrivals(1);
}

// ThreadSanitizer starts a thread of its own with the first worker, so the count is off there.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// When a worker cannot be created the constructor throws and no started worker survives.
TEST(ExecutorService, FailedWorkerCreationThrowsAndLeavesNoThread)
{
    ASSERT_EQ(ThreadsOfProcess(), 1) << "needs a single-threaded test process to fork";
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        // Room for a few thread stacks only, so a later worker fails to start.
        mallopt(M_ARENA_MAX, 1);
        rlimit limit{};
        long pages = 0;
        {
            FILE* statm = fopen("/proc/self/statm", "r");
            if (!statm || fscanf(statm, "%ld", &pages) != 1)
                _exit(10);
            fclose(statm);
        }
        limit.rlim_cur = limit.rlim_max =
            static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + 40u * 1024 * 1024;
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(11);
        std::atomic<int> inits{0};
        try {
            ExecutorService pool(256, [&] { ++inits; });
            _exit(12);
        } catch (const boost::thread_resource_error&) {
        } catch (...) {
            _exit(13);
        }
        if (inits.load() == 0)
            _exit(14);
        _exit(ThreadsOfProcess() == 1 ? 0 : 15);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child died from signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif
