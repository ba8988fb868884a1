// The frame of every socket test: a scripted fake server made on first use, and on
// the way out an empty registry, the server's script failures reported, and no
// descriptor left open.
#pragma once

#include <gtest/gtest.h>

#include <lapi/lapi.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_server.h"
#include "faults.h"
#include "fds.h"
#include "stderr_capture.h"

namespace lapitest {

class SocketFixture {
  protected:
    void Begin() { fdsBefore_ = OpenFdCount(); }
    void End() {
        faults::Reset();
        for (int id = 0; id < LAPI_CLI_MAX_CLIENTS; ++id) {
            StderrCapture quiet;
            LAPI_CLI_DestroyClientNode(id);
        }
        if (server_ && checkServerErrors_) {
            EXPECT_EQ(server_->Errors(), std::vector<std::string>{});
        }
        server_.reset();
        EXPECT_EQ(OpenFdCount(), fdsBefore_) << "descriptor left open";
    }

    FakeServer &Server() {
        if (!server_) {
            server_ = std::make_unique<FakeServer>();
        }
        return *server_;
    }

    std::unique_ptr<FakeServer> server_;
    // Off where a test makes the client fail on purpose, so that the server's side of
    // the connection may see it go at any point of its script.
    bool checkServerErrors_ = true;

  private:
    int fdsBefore_ = 0;
};

// The same for a plain gtest fixture.
class SocketTest : public SocketFixture, public ::testing::Test {
  protected:
    void SetUp() override { Begin(); }
    void TearDown() override { End(); }
};

}  // namespace lapitest
