#include "core/ExecutorService.h"

#include <utility>

#include <boost/bind/bind.hpp>

ExecutorService::ExecutorService(int workers, boost::function<void()> init)
    : ioService(), workers_(), work_(ioService), init_(std::move(init))
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

void ExecutorService::stop()
{
    ioService.stop();
    workers_.join_all();
}

void ExecutorService::exec()
{
    if (!init_.empty())
        init_();
    ioService.run();
}
