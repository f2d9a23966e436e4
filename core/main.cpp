// Entry point of corvaned: parse, load, detach, open sinks, run, release, exit status.
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include <boost/shared_ptr.hpp>

#include "core/BuildInfo.h"
#include "core/CorvaneConfig.h"
#include "core/CorvaneCore.h"
#include "core/GlobalExit.h"
#include "core/Logger.h"
#include "core/PidFile.h"
#include "core/Signals.h"

namespace {

const char* const kDefaultConfig = "/etc/opt/WEX/corvaned.conf";

bool ConfigSwitch(const char* key)
{
    std::string value;
    return CorvaneConfig::GetInstance()->GetConfigValue(key, value) && value == "true";
}

// Points the descriptors at /dev/null rather than closing them: plug-ins and action children
// inherit them, and a closed standard descriptor breaks a script that writes to it (or gets
// reused by the next file the daemon opens). Without /dev/null they are closed after all.
void DetachDescriptors(std::initializer_list<int> fds)
{
    const int devnull = open("/dev/null", O_RDWR);
    for (int fd : fds) {
        if (devnull < 0 || dup2(devnull, fd) < 0)
            close(fd);
    }
    if (devnull > 2)
        close(devnull);
}

}  // namespace

void usage()
{
    std::cerr << std::endl
              << "Usage:" << std::endl
              << " corvaned [options]" << std::endl
              << std::endl
              << "Options:" << std::endl
              << " -c <cfg>      use file CFG as configuration file" << std::endl
              << " -D            run as daemon" << std::endl
              << " -h            print this help" << std::endl
              << " -l <log>      output logging messages to file LOG" << std::endl
              << " -p <pid>      store the pid of the daemon in file PID" << std::endl
              << std::endl;
}

void daemonise()
{
    if (fork() != 0)
        exit(0);  // the parent, and a failed fork, end quietly
    if (setsid() == -1) {
        std::cerr << "ERROR: could not become session leader!" << std::endl;
        exit(1);
    }
    umask(0);
    long n = sysconf(_SC_OPEN_MAX);
    for (long fd = n; fd > 2; --fd)
        close(static_cast<int>(fd));
    // Standard error stays until main has reported the log file's state.
    DetachDescriptors({0, 1});
}

int main(int argc, char* argv[])
{
    std::string configPath = kDefaultConfig;
    std::string logPath;
    std::string pidPath;
    bool daemonMode = false;
    bool useSyslog = false;

    int opt;
    while ((opt = getopt(argc, argv, "c:Dhl:p:s")) != -1) {
        switch (opt) {
        case 'c': configPath = optarg; break;
        case 'D': daemonMode = true; break;
        case 'l': logPath = optarg; break;
        case 'p': pidPath = optarg; break;
        case 's': useSyslog = true; break;
        default:
            usage();
            return 1;
        }
    }

    if (install_signal_handler() != 0) {
        std::cerr << "ERROR: install_signal_handler failed - bailing out" << std::endl;
        return 1;
    }

    CorvaneConfig* config = CorvaneConfig::GetInstance();
    if (!config->ParseConfig(configPath))
        std::cerr << "WARN:  could not open config file " << configPath << " - using defaults" << std::endl;

    if (!daemonMode)
        daemonMode = ConfigSwitch("daemon");
    if (daemonMode)
        daemonise();

    Logger* logger = Logger::GetInstance();
    if (!useSyslog)
        useSyslog = ConfigSwitch("syslog");
    if (useSyslog)
        logger->OpenSyslog("corvaned");

    if (logPath.empty())
        config->GetConfigValue("logfile", logPath);
    if (!logPath.empty() && !logger->OpenLog(logPath))
        std::cerr << "WARN:  could not open logfile " << logPath << " - logging disabled" << std::endl;

    if (daemonMode)
        DetachDescriptors({2});

    std::string level;
    int levelNumber = 0;
    if (config->GetConfigValue("loglevel", level) && std::sscanf(level.c_str(), "%d", &levelNumber) == 1)
        logger->SetLogLevel(levelNumber);

    logger->Log(Logger::eInfo, std::string("corvaned v") + CORVANE_VERSION + " compiled on " +
                                   CORVANE_BUILD_STAMP + " starting up...");

    if (pidPath.empty())
        config->GetConfigValue("pidfile", pidPath);
    std::unique_ptr<PidFile> pidFile;
    if (!pidPath.empty()) {
        pidFile.reset(new PidFile(pidPath));
        if (!pidFile->written())
            logger->Log(Logger::eWarn, "could not write to pidfile " + pidPath +
                                           (pidFile->reason().empty() ? "" : ": " + pidFile->reason()));
    }

    // Process-wide allocator tuning, before the workers exist. Every connection gets its own
    // copy of the listening context, larger than glibc's default mmap threshold; without these
    // each copy is a fresh mmap or heap growth whose page faults make the accepting thread the
    // limit of the request rate.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);

    int status = 0;
    bool ran = false;
    auto finish = [&] {
        logger->Log(Logger::eInfo, "...exiting");
        logger->CloseLog();
        pidFile.reset();
    };
    // A worker still busy after the stop's final bound (in CPU, where no signal reaches it)
    // must find the core as it was: the process ends at once, joining and destroying nothing.
    auto abandon = [&] {
        finish();
        std::fflush(nullptr);
        _exit(status);
    };
    try {
        boost::shared_ptr<CorvaneCore> core(new CorvaneCore());
        try {
            status = core->run();
            ran = true;
        } catch (...) {
            status = 255;
            if (!core->StopServing())
                abandon();
            throw;
        }
        // Connections still queued or being served share the core; end them here so that
        // the release below destroys it on this thread.
        if (!core->StopServing())
            abandon();
        core.reset();
    } catch (const std::runtime_error& e) {
        logger->Log(Logger::eError, e.what());
        if (!ran)
            status = 255;
    }

    finish();
    return status;
}
