// The Socket.IO client over wss: the server of the pinned CA is joined, a stranger's certificate or a CA file
// that cannot be loaded never gets an open connection, and the client keeps trying until the right one is back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sio/client.h"
#include "support/room_server.h"
#include "support/test_support.h"
#include "system/file.h"

namespace {

using tavrel::test::RoomServer;

class SioTls : public ::testing::Test {
protected:
    void SetUp() override {
        if (!room.Available()) GTEST_SKIP() << "no room-server";
        room.Post("/reset");
        tls = room.Post("/tls/start");
        ASSERT_TRUE(tls["ok"].asBool());
        Present("ca");
        ca = folder / "room-ca.pem";
        ASSERT_TRUE(tavrel::test::WriteFileBytes(ca, tls["caPem"].asString()));
        client.set_reconnect_delay(200);
        client.set_reconnect_delay_max(400);
        client.set_open_listener([this] { ++opens; });
        client.set_reconnect_listener([this](unsigned, unsigned) { ++retries; });
    }
    void TearDown() override {
        client.close();
        if (room.Available()) Present("ca");
    }

    void Present(const char* from) {
        Json::Value body;
        body["from"] = from;
        room.Post("/tls/certificate", body);
    }
    std::string Url() { return "https://" + room.Host() + ":" + std::to_string(tls["wss"].asInt()); }
    static bool WaitFor(const std::function<bool()>& done, int ms) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    int OpenSockets() { return static_cast<int>(room.Get("/sockets")["sockets"].size()); }

    RoomServer room;
    Json::Value tls;
    tavrel::test::TempFolder folder;
    std::string ca;
    sio::client client;
    std::atomic<int> opens{0};
    std::atomic<int> retries{0};
};

TEST_F(SioTls, HttpsUrlJoinsTheServerOfThePinnedCaOverWss) {
    client.set_tls_ca_file(ca);
    client.connect(Url(), {{"ecpKey", "TLS-1"}, {"type", "agent"}});
    ASSERT_TRUE(WaitFor([&] { return opens > 0; }, 10000));
    EXPECT_TRUE(WaitFor([&] { return OpenSockets() == 1; }, 5000));
}

TEST_F(SioTls, StrangerCertificateOrNoCaNeverOpensAndTheRightServerIsJoinedLater) {
    for (const char* caCase : {"stranger", "unreadable CA file"}) {
        SCOPED_TRACE(caCase);
        opens = 0;
        retries = 0;
        bool stranger = std::string(caCase) == "stranger";
        if (stranger) Present("other");
        client.set_tls_ca_file(stranger ? ca : folder / "nowhere.pem");
        client.connect(Url(), {{"ecpKey", "TLS-2"}});
        ASSERT_TRUE(WaitFor([&] { return retries >= 2; }, 10000));
        EXPECT_EQ(opens, 0);
        EXPECT_EQ(OpenSockets(), 0);

        Present("ca");
        client.set_tls_ca_file(ca);
        EXPECT_TRUE(WaitFor([&] { return opens > 0; }, 10000)) << "the client gave up on the server";
        client.close();
    }
}

}  // namespace
