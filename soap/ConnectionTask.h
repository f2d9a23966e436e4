#pragma once
// Builds the worker task for one accepted connection, so that the main loop never sees the
// service binding. Called on the main thread right after the accept.
#include <atomic>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

struct soap;
struct ServiceHost;

// The task owns a SoapServer made from the listening context until it runs: then it serves
// the connection and deletes the server. When `dropped` is set by the time it runs (shutdown),
// or when the task is discarded unrun, the server is deleted unserved, releasing its share of
// the host.
boost::function<void()> MakeConnectionTask(const struct soap& master, boost::shared_ptr<ServiceHost> host,
                                           const std::atomic<bool>* dropped);
