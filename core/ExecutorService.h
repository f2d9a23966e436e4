#pragma once
// Fixed pool of worker threads fed from one queue, oldest task first.
// Owned by CorvaneCore; tasks are posted to `ioService` from any thread (the queue is
// internally synchronised); stop() and destruction from the owner's thread only.
#include <boost/asio/io_service.hpp>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/thread/thread.hpp>

class ExecutorService : private boost::noncopyable {
public:
    // Starts `workers` threads (none for 0 or less); each runs `init` once, when not empty,
    // before its first task. Throws Boost's thread error when a worker cannot be created;
    // the workers already started are then stopped and joined.
    ExecutorService(int workers, boost::function<void()> init);
    // Stops and joins the workers; tasks that never started are discarded unrun.
    virtual ~ExecutorService();

    // Lets each worker finish its current task, then joins them all. Queued tasks never
    // run. Must not be called from a worker: it would join itself.
    void stop();

    // The task queue; the owner posts tasks with ioService.post(task).
    boost::asio::io_service ioService;

private:
    void exec();

    boost::thread_group workers_;
    boost::asio::io_service::work work_;
    boost::function<void()> init_;
};
