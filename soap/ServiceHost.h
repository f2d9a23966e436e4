#pragma once
// What every connection's server uses of the daemon that serves it: the plug-in registry, the
// login and the connection registry. Owned by the core, which hands each connection a shared
// pointer to it that keeps the core alive as well. The registry is only read once the core is
// built; the login and the connection registry may be called from any thread.
#include <string>

#include <boost/function.hpp>

#include "auth/User.h"
#include "plugins/Plugin.h"

class ConnectionRegistry;

struct ServiceHost {
    // Checks a user's credentials; throws UnauthorizedException when they are rejected.
    typedef boost::function<User(std::string, std::string)> Login;

    const PluginMap& plugins;
    Login login;
    ConnectionRegistry& connections;
};
