// The control-socket client against a scripted peer on a socket pair: the peer records
// the command it got and answers with the bytes of its script, written in pieces.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "control.h"

namespace lapictl {
namespace {

class ScriptedPeer {
  public:
    ScriptedPeer() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        client_ = fds[0];
        peer_ = fds[1];
    }
    ~ScriptedPeer() {
        if (thread_.joinable()) {
            thread_.join();
        }
        if (peer_ >= 0) {
            ::close(peer_);
        }
    }
    int TakeClientFd() { return client_; }

    // For each expected command: read one line, then write `answer` in chunks of
    // `chunk` bytes. Closes its end afterwards when closeAfter is set.
    void Play(std::vector<std::string> answers, std::size_t chunk, bool closeAfter) {
        thread_ = std::thread([this, answers = std::move(answers), chunk, closeAfter] {
            for (const std::string &answer : answers) {
                std::string line;
                char c = 0;
                while (::read(peer_, &c, 1) == 1 && c != '\n') {
                    line += c;
                }
                received_.push_back(line);
                for (std::size_t at = 0; at < answer.size(); at += chunk) {
                    const std::size_t n = std::min(chunk, answer.size() - at);
                    ASSERT_EQ(::write(peer_, answer.data() + at, n), static_cast<ssize_t>(n));
                }
            }
            if (closeAfter) {
                ::close(peer_);
                peer_ = -1;
            }
        });
    }
    const std::vector<std::string> &Received() {
        thread_.join();
        return received_;
    }

  private:
    int client_ = -1;
    int peer_ = -1;
    std::thread thread_;
    std::vector<std::string> received_;
};

TEST(ControlClient, DataLinesThenOkArriveByteByByte) {
    ScriptedPeer peer;
    peer.Play({"client globalId=1 pid=7\r\nclient globalId=2 pid=8\nOK\n"}, 1, false);
    ControlClient control(peer.TakeClientFd());
    ControlReply reply;
    std::string error;
    ASSERT_TRUE(control.Transact("clients", &reply, &error)) << error;
    EXPECT_TRUE(reply.ok);
    EXPECT_EQ(reply.lines,
              (std::vector<std::string>{"client globalId=1 pid=7", "client globalId=2 pid=8"}));
    EXPECT_EQ(peer.Received(), (std::vector<std::string>{"clients"}));
}

TEST(ControlClient, ErrCarriesTheReason) {
    ScriptedPeer peer;
    peer.Play({"ERR unknown status name: foo\n", "ERR\n"}, 64, false);
    ControlClient control(peer.TakeClientFd());
    ControlReply reply;
    std::string error;
    ASSERT_TRUE(control.Transact("status foo 1", &reply, &error)) << error;
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.reason, "unknown status name: foo");
    EXPECT_TRUE(reply.lines.empty());
    ASSERT_TRUE(control.Transact("fix maybe", &reply, &error)) << error;
    EXPECT_FALSE(reply.ok);
    EXPECT_FALSE(reply.reason.empty());
}

TEST(ControlClient, SeveralCommandsOnOneConnectionKeepTheirOwnLines) {
    ScriptedPeer peer;
    // Chunks of 5 bytes cut the lines in the middle; each reply holds only its own lines.
    peer.Play({"request 5\nOK\n", "request 5 state=pending\nOK\n"}, 5, false);
    ControlClient control(peer.TakeClientFd());
    ControlReply first;
    ControlReply second;
    std::string error;
    ASSERT_TRUE(control.Transact("mtlr 1 name=Alice", &first, &error)) << error;
    ASSERT_TRUE(control.Transact("mtlr-result 5", &second, &error)) << error;
    EXPECT_EQ(first.lines, (std::vector<std::string>{"request 5"}));
    EXPECT_EQ(second.lines, (std::vector<std::string>{"request 5 state=pending"}));
    EXPECT_EQ(peer.Received(), (std::vector<std::string>{"mtlr 1 name=Alice", "mtlr-result 5"}));
}

TEST(ControlClient, CloseBeforeTheFinalLineIsAFailure) {
    ScriptedPeer peer;
    peer.Play({"connections 3\nclie"}, 4, true);
    ControlClient control(peer.TakeClientFd());
    ControlReply reply;
    std::string error;
    EXPECT_FALSE(control.Transact("counters", &reply, &error));
    EXPECT_NE(error.find("closed"), std::string::npos) << error;
    EXPECT_EQ(reply.lines, (std::vector<std::string>{"connections 3"}));
}

TEST(ControlClient, SilentPeerEndsInATimeout) {
    ScriptedPeer peer;
    peer.Play({""}, 1, false);  // reads the command, answers nothing
    ControlClient control(peer.TakeClientFd(), 200);
    ControlReply reply;
    std::string error;
    EXPECT_FALSE(control.Transact("help", &reply, &error));
    EXPECT_NE(error.find("no answer"), std::string::npos) << error;
}

TEST(ControlClient, ConnectReportsAMissingSocketAndReachesALiveOne) {
    char dir[] = "/tmp/lapictl-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/ctl";
    std::string error;
    EXPECT_EQ(ControlClient::Connect(path, &error), -1);
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;

    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, path.size());
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    const int fd = ControlClient::Connect(path, &error);
    EXPECT_GE(fd, 0) << error;
    if (fd >= 0) {
        ::close(fd);
    }
    ::close(listener);
    ::unlink(path.c_str());
    ::rmdir(dir);

    EXPECT_EQ(ControlClient::Connect(std::string(200, 'x'), &error), -1);
    EXPECT_EQ(error, "path too long");
}

}  // namespace
}  // namespace lapictl
