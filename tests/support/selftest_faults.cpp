// Self-tests of the fault injection: this executable is linked with the
// wrappers, so the plain system calls below go through them.
#include <cerrno>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_server.h"
#include "faults.h"
#include "fds.h"
#include "selftest_util.h"

namespace lapitest {
namespace {

using faults::Call;
using faults::Count;
using faults::FailNth;
using faults::InterruptNth;
using selftest::ConnectClient;
using selftest::Fd;

class Faults : public ::testing::Test {
  protected:
    void SetUp() override { faults::Reset(); }
    void TearDown() override { faults::Reset(); }
};

// Calls malloc through a pointer the compiler cannot see through, so it can
// neither drop the call nor assume a non-null result.
void *(*volatile g_malloc)(size_t) = &malloc;

TEST_F(Faults, NthCallFailsOnceThenCallsPassThrough) {
    FailNth(Call::Socket, 2, EMFILE);
    Fd a(socket(AF_UNIX, SOCK_STREAM, 0));
    EXPECT_GE(a.get(), 0);
    errno = 0;
    Fd b(socket(AF_UNIX, SOCK_STREAM, 0));
    EXPECT_EQ(b.get(), -1);
    EXPECT_EQ(errno, EMFILE);
    Fd c(socket(AF_UNIX, SOCK_STREAM, 0));
    EXPECT_GE(c.get(), 0);
    EXPECT_EQ(Count(Call::Socket), 3);
}

TEST_F(Faults, NthCountsFromTheMomentOfArming) {
    Fd a(socket(AF_UNIX, SOCK_STREAM, 0));
    Fd b(socket(AF_UNIX, SOCK_STREAM, 0));
    FailNth(Call::Socket, 1, ENFILE);
    errno = 0;
    EXPECT_EQ(socket(AF_UNIX, SOCK_STREAM, 0), -1);
    EXPECT_EQ(errno, ENFILE);
    EXPECT_EQ(Count(Call::Socket), 3);
    EXPECT_THROW(FailNth(Call::Socket, 0, ENFILE), std::invalid_argument);
}

TEST_F(Faults, StickyFailsEveryCallFromTheNthOnUntilReset) {
    FailNth(Call::Socket, 2, ENFILE, true);
    Fd a(socket(AF_UNIX, SOCK_STREAM, 0));
    EXPECT_GE(a.get(), 0);
    for (int i = 0; i < 3; ++i) {
        errno = 0;
        EXPECT_EQ(socket(AF_UNIX, SOCK_STREAM, 0), -1);
        EXPECT_EQ(errno, ENFILE);
    }
    faults::Reset();
    EXPECT_EQ(Count(Call::Socket), 0);
    Fd b(socket(AF_UNIX, SOCK_STREAM, 0));
    EXPECT_GE(b.get(), 0);
}

TEST_F(Faults, ReadAndWriteCountOnlySockets) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Fd s0(sv[0]);
    Fd s1(sv[1]);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    Fd p0(p[0]);
    Fd p1(p[1]);

    FailNth(Call::Write, 1, EPIPE);
    FailNth(Call::Read, 1, ECONNRESET);
    char c = 'x';
    EXPECT_EQ(write(p1.get(), "ab", 2), 2);  // a pipe: neither counted nor failed
    EXPECT_EQ(read(p0.get(), &c, 1), 1);
    EXPECT_EQ(c, 'a');
    EXPECT_EQ(Count(Call::Write), 0);
    EXPECT_EQ(Count(Call::Read), 0);

    errno = 0;
    EXPECT_EQ(write(s0.get(), "q", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(write(s0.get(), "r", 1), 1);
    errno = 0;
    EXPECT_EQ(read(s1.get(), &c, 1), -1);
    EXPECT_EQ(errno, ECONNRESET);
    EXPECT_EQ(read(s1.get(), &c, 1), 1);
    EXPECT_EQ(c, 'r');  // the failed write sent nothing
    EXPECT_EQ(Count(Call::Write), 2);
    EXPECT_EQ(Count(Call::Read), 2);
}

TEST_F(Faults, SendAndRecvCountAsWriteAndRead) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Fd s0(sv[0]);
    Fd s1(sv[1]);
    FailNth(Call::Write, 2, EPIPE);
    FailNth(Call::Read, 1, ECONNRESET);
    EXPECT_EQ(write(s0.get(), "a", 1), 1);
    errno = 0;
    EXPECT_EQ(send(s0.get(), "b", 1, MSG_NOSIGNAL), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(send(s0.get(), "c", 1, MSG_NOSIGNAL), 1);
    char buf[4] = {};
    errno = 0;
    EXPECT_EQ(recv(s1.get(), buf, sizeof buf, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
    ASSERT_TRUE(selftest::Readable(s1.get(), 1000));
    EXPECT_EQ(recv(s1.get(), buf, sizeof buf, MSG_DONTWAIT), 2);
    EXPECT_EQ(std::string(buf, 2), "ac");
    EXPECT_EQ(Count(Call::Write), 3);
    EXPECT_EQ(Count(Call::Read), 2);
}

TEST_F(Faults, InterruptFailsOnceWithEintr) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Fd s0(sv[0]);
    Fd s1(sv[1]);
    InterruptNth(Call::Write, 2);
    InterruptNth(Call::Read, 1);
    EXPECT_EQ(write(s0.get(), "a", 1), 1);
    errno = 0;
    EXPECT_EQ(write(s0.get(), "b", 1), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(write(s0.get(), "c", 1), 1);
    char buf[4] = {};
    errno = 0;
    EXPECT_EQ(read(s1.get(), buf, sizeof buf), -1);
    EXPECT_EQ(errno, EINTR);
    ASSERT_TRUE(selftest::Readable(s1.get(), 1000));
    EXPECT_EQ(read(s1.get(), buf, sizeof buf), 2);
    EXPECT_EQ(std::string(buf, 2), "ac");
}

TEST_F(Faults, ConnectFailsWithoutReachingTheServer) {
    FakeServer server;
    FailNth(Call::Connect, 1, ECONNREFUSED);
    errno = 0;
    EXPECT_EQ(ConnectClient(), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    Fd c(ConnectClient());
    ASSERT_GE(c.get(), 0);
    ASSERT_TRUE(selftest::SendAll(c.get(), {0x5a}));
    ASSERT_TRUE(server.WaitReceived(0, 1));
    EXPECT_EQ(server.Received(0), Bytes{0x5a});  // connection 0 is the second attempt
    EXPECT_EQ(Count(Call::Connect), 2);
}

TEST_F(Faults, CloseKeepsTheDescriptorOnlyForEintrAndEagain) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    InterruptNth(Call::Close, 1);
    errno = 0;
    EXPECT_EQ(close(p[0]), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(OpenFds().count(p[0]), 1u);
    EXPECT_EQ(close(p[0]), 0);
    EXPECT_EQ(OpenFds().count(p[0]), 0u);

    FailNth(Call::Close, 1, EIO);
    errno = 0;
    EXPECT_EQ(close(p[1]), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(OpenFds().count(p[1]), 0u);
    EXPECT_EQ(Count(Call::Close), 3);
}

TEST_F(Faults, MallocReturnsNull) {
    FailNth(Call::Malloc, 2, ENOMEM);
    void *a = g_malloc(24);
    EXPECT_NE(a, nullptr);
    errno = 0;
    EXPECT_EQ(g_malloc(24), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    void *b = g_malloc(24);
    EXPECT_NE(b, nullptr);
    free(a);
    free(b);
    EXPECT_EQ(Count(Call::Malloc), 3);
}

TEST_F(Faults, FcntlFailsAndOtherwiseForwardsItsArgument) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Fd s0(sv[0]);
    Fd s1(sv[1]);
    FailNth(Call::Fcntl, 1, EBADF);
    errno = 0;
    EXPECT_EQ(fcntl(s0.get(), F_GETFL, 0), -1);
    EXPECT_EQ(errno, EBADF);
    const int flags = fcntl(s0.get(), F_GETFL, 0);
    ASSERT_GE(flags, 0);
    EXPECT_EQ(flags & O_NONBLOCK, 0);
    ASSERT_EQ(fcntl(s0.get(), F_SETFL, flags | O_NONBLOCK), 0);
    EXPECT_NE(fcntl(s0.get(), F_GETFL, 0) & O_NONBLOCK, 0);
    EXPECT_EQ(Count(Call::Fcntl), 4);
}

TEST_F(Faults, FaultsBelongToTheArmingThread) {
    FailNth(Call::Socket, 1, EMFILE, true);
    int otherFd = -1;
    int otherCount = -1;
    std::thread other([&] {
        otherFd = socket(AF_UNIX, SOCK_STREAM, 0);
        otherCount = Count(Call::Socket);
        // Armed here, it must not reach the main thread either.
        FailNth(Call::Malloc, 1, ENOMEM, true);
    });
    other.join();
    Fd owned(otherFd);
    EXPECT_GE(otherFd, 0);
    EXPECT_EQ(otherCount, 1);
    EXPECT_EQ(Count(Call::Socket), 0);
    EXPECT_EQ(socket(AF_UNIX, SOCK_STREAM, 0), -1);
    EXPECT_EQ(Count(Call::Socket), 1);
    void *p = g_malloc(8);
    EXPECT_NE(p, nullptr);
    free(p);
}

TEST_F(Faults, FakeServerNeverTouchesTheTestThread) {
    // The client runs on a thread of its own; this thread only drives the
    // server, with every kind but malloc failing for good.
    const auto before = OpenFds();
    const Call kinds[] = {Call::Socket, Call::Connect, Call::Read, Call::Write,
                          Call::Close,  Call::Malloc,  Call::Fcntl};
    for (Call c : kinds) {
        if (c != Call::Malloc) {
            FailNth(c, 1, EIO, true);
        }
    }
    {
        FakeServer server;
        server.ExpectClients(1, 11);
        Bytes rsp;
        Bytes pushed;
        std::thread client([&] {
            Fd c(ConnectClient());
            if (c.get() >= 0 && selftest::SendAll(c.get(), Msg(kRegisterReq, {1, 0, 0, 0}))) {
                rsp = selftest::RecvUpTo(c.get(), 12);
                pushed = selftest::RecvUpTo(c.get(), 8);
            }
        });
        EXPECT_TRUE(server.WaitScriptDone(0));
        EXPECT_TRUE(server.Send(0, Msg(7)));
        client.join();
        ASSERT_EQ(rsp.size(), 12u);
        EXPECT_EQ(GetI32(rsp, 8), 11);
        EXPECT_EQ(pushed, Msg(7));
        EXPECT_TRUE(server.WaitClosedByPeer(0));
        EXPECT_TRUE(server.Errors().empty());
    }
    struct stat st {};
    EXPECT_NE(stat(kSocketPath, &st), 0);  // removed although close() fails here
    for (Call c : kinds) {
        EXPECT_EQ(Count(c), 0) << static_cast<int>(c);
    }
    faults::Reset();
    EXPECT_EQ(OpenFds(), before);
}

}  // namespace
}  // namespace lapitest
