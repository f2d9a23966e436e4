// Fixture of the service tests: one test at a time across processes, a configuration with
// this process's port, SIGTERM counted instead of fatal, and filters for the service's own
// messages among all traffic on the group.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "WsddTestSupport.h"
#include "common/LogCapture.h"
#include "discovery/WsddTargetService.h"

class WsddServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        lock_.reset(new wsddtest::ProcessLock());
        // The log is open before the first service of the program logs anything.
        corvane_test::LogCapture::Path();
        wsddtest::InstallSigtermCounter();
        wsddtest::ResetSigtermCount();
        port_ = wsddtest::TestPort();
        wsddtest::UseConfig(port_, "");
        // Each program starts on an empty directory; tests begin from a kept identity.
        const std::string identity = "urn:uuid:3f2c1a7e-9b4d-4c2e-8a1f-0123456789ab";
        wsddtest::WriteIdentity(&identity);
    }

    void TearDown() override { lock_.reset(); }

    std::string LocalXAddrs(const std::string& address = "127.0.0.1") const
    {
        return "http://" + address + ":" + port_;
    }

    // Messages with the given action whose XAddrs name this process's port.
    std::vector<wsddtest::WsddMessage> Mine(const std::vector<wsddtest::Datagram>& datagrams, const char* action) const
    {
        std::vector<wsddtest::WsddMessage> found;
        const std::string suffix = ":" + port_;
        for (const wsddtest::Datagram& d : datagrams) {
            wsddtest::WsddMessage m = wsddtest::Parse(d.data);
            if (wsddtest::IsAction(m, action) && m.xaddrs.size() >= suffix.size() &&
                m.xaddrs.compare(m.xaddrs.size() - suffix.size(), suffix.size(), suffix) == 0)
                found.push_back(m);
        }
        return found;
    }

    static std::vector<wsddtest::WsddMessage> RepliesTo(const std::vector<wsddtest::Datagram>& datagrams,
                                                        const std::string& messageId)
    {
        std::vector<wsddtest::WsddMessage> found;
        for (const wsddtest::Datagram& d : datagrams) {
            wsddtest::WsddMessage m = wsddtest::Parse(d.data);
            if (m.relatesTo == messageId)
                found.push_back(m);
        }
        return found;
    }

    std::unique_ptr<wsddtest::ProcessLock> lock_;
    std::string port_;
};
