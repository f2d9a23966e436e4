#pragma once
// Fixed pool of worker threads fed from one queue, oldest task first.
// Owned by CorvaneCore; post(), close() and waitIdle() from any thread (waitIdle not from a
// worker); stop() and destruction from the owner's thread only. One mutex guards the queue,
// the count of running tasks and the closed flag.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/thread/thread.hpp>

class ExecutorService : private boost::noncopyable {
public:
    // Starts `workers` threads (none for 0 or less); each runs `init` once, when not empty,
    // before its first task. Throws Boost's thread error when a worker cannot be created;
    // the workers already started are then stopped and joined.
    ExecutorService(int workers, boost::function<void()> init);
    // stop().
    virtual ~ExecutorService();

    // Queues the task behind those already queued. Once the pool is closed the task is
    // destroyed at once, unrun.
    void post(boost::function<void()> task);
    // The drain: from now on no worker takes a task, and each ends once its current one has
    // returned. Returns at once; what is queued stays queued, unrun, until stop().
    void close();
    // Until no task runs or `until` has passed; whether none runs.
    bool waitIdle(std::chrono::steady_clock::time_point until);
    // Tasks running now.
    int running();
    // Closes the pool, waits for the running tasks and joins the workers, then destroys the
    // tasks still queued, unrun, on the calling thread, so that what they hold is released
    // there. Must not be called from a worker: it would join itself.
    void stop();

private:
    void exec();

    std::mutex mutex_;
    // Workers wait for a task or the close; waitIdle for the last running task's end.
    std::condition_variable work_;
    std::condition_variable idle_;
    std::deque<boost::function<void()>> queue_;
    int running_ = 0;
    bool closed_ = false;
    boost::function<void()> init_;
    boost::thread_group workers_;
};
