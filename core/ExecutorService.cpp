#include "core/ExecutorService.h"

#include <utility>

#include <boost/bind/bind.hpp>

ExecutorService::ExecutorService(int workers, boost::function<void()> init) : init_(std::move(init))
{
    try {
        for (int i = 0; i < workers; ++i)
            workers_.create_thread(boost::bind(&ExecutorService::exec, this));
    } catch (...) {
        // The members die with the failed constructor; no thread may outlive them.
        stop();
        throw;
    }
}

ExecutorService::~ExecutorService()
{
    stop();
}

void ExecutorService::post(boost::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!closed_) {
            queue_.push_back(std::move(task));
            work_.notify_one();
            return;
        }
    }
    // Destroyed outside the lock: what the task holds may post again or wait for the pool.
    task.clear();
}

void ExecutorService::close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    work_.notify_all();
}

bool ExecutorService::waitIdle(std::chrono::steady_clock::time_point until)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_until(lock, until, [this] { return running_ == 0; });
}

int ExecutorService::running()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

void ExecutorService::stop()
{
    close();
    workers_.join_all();
    std::deque<boost::function<void()>> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left.swap(queue_);
    }
    left.clear();
}

void ExecutorService::exec()
{
    if (!init_.empty())
        init_();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return closed_ || !queue_.empty(); });
        if (closed_)
            return;
        boost::function<void()> task = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        lock.unlock();
        task();
        // Whatever the task holds goes before the pool counts it as done.
        task.clear();
        lock.lock();
        if (--running_ == 0)
            idle_.notify_all();
    }
}
