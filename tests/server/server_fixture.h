#pragma once
// What the server suites share: a fixture that points the agent at a freshly reset room-server and a few
// readers of the requests it recorded.
#include <gtest/gtest.h>
#include <json/json.h>

#include <string>
#include <tuple>
#include <vector>

#include "base/server_endpoint.h"
#include "base/shared_values.h"
#include "server/server_answers.h"
#include "support/room_server.h"

namespace tavrel::test {

// The endpoint of the values as they stand, as the agent's callers build it.
inline ServerEndpoint SharedEndpoint() { return ServerEndpointOf(SnapshotShared()); }

// A start-up record as one comparable value.
inline auto StartupFields(const ServiceStartupInfo& i) {
    return std::tie(i.ecpId, i.phase, i.ecpRoomCode, i.isStartup, i.isSuperLock, i.tavrelType, i.examineeId,
                    i.ecpPixel);
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!m_room.Available()) GTEST_SKIP() << m_room.WhyUnavailable();
        m_room.Reset();
        ResetShared();
        StopFlag = false;
        UpdateShared([&](SharedValues& v) {
            v.ServerIp = "127.0.0.1";
            v.ServerPort = std::to_string(m_room.HttpPort());
        });
    }
    void TearDown() override {
        ResetShared();
        StopFlag = false;
    }

    RoomServer m_room;
};

inline std::string BodyOf(const Json::Value& request) { return RoomServer::BodyOf(request); }
inline std::string PartData(const Json::Value& part) { return RoomServer::PartBytes(part); }
inline std::vector<std::string> HeaderLinesOf(const Json::Value& request) { return RoomServer::HeaderLinesOf(request); }

}  // namespace tavrel::test
