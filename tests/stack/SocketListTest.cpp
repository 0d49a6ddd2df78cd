#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/stack/IdSocketHandle.h>
#include <IdFramework/stack/IdStackUnix.h>
#include "stack/StackTestSupport.h"

using namespace Id;

namespace {

// A connected pair of plain descriptors; closed with the object.
struct TPair {
    int fd[2] = {-1, -1};
    TPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~TPair() {
        ::close(fd[0]);
        ::close(fd[1]);
    }
    TIdStackSocketHandle Handle(int AIndex) const { return static_cast<TIdStackSocketHandle>(fd[AIndex]); }
    void Write(int AIndex) const { ASSERT_EQ(::write(fd[AIndex], "x", 1), 1); }
};

}  // namespace

class SocketListTest : public StackTest {};

TEST_F(SocketListTest, SixtyFourHandlesAtMostAndSwapWithLastRemoval) {
    std::unique_ptr<TIdSocketList> list(TIdSocketList::CreateSocketList());
    ASSERT_NE(dynamic_cast<TIdSocketListUnix*>(list.get()), nullptr);
    for (TIdStackSocketHandle h = 0; h < 64; ++h) list->Add(2000 + h);
    try {
        list->Add(9999);
        FAIL();
    } catch (const EIdStackSetSizeExceeded& e) {
        EXPECT_EQ(e.Message(), u"Set Size Exceeded.");
    }
    EXPECT_EQ(list->Count(), 64);
    EXPECT_THROW(list->Items(64), EIdStackSetSizeExceeded);
    EXPECT_THROW(list->Items(-1), EIdStackSetSizeExceeded);

    list->Clear();
    list->Add(10);
    list->Add(11);
    list->Add(12);
    list->Remove(10);
    EXPECT_EQ(list->Count(), 2);
    EXPECT_EQ((*list)[0], 12u);
    EXPECT_EQ((*list)[1], 11u);
    list->Remove(99);  // absent: ignored
    EXPECT_EQ(list->Count(), 2);
    EXPECT_TRUE(list->ContainsSocket(11));
    EXPECT_FALSE(list->ContainsSocket(10));

    std::unique_ptr<TIdSocketList> empty(TIdSocketList::CreateSocketList());
    std::unique_ptr<TIdSocketList> clone(empty->Clone());
    EXPECT_EQ(clone->Count(), 0);
    EXPECT_NE(dynamic_cast<TIdSocketListUnix*>(clone.get()), nullptr);
}

TEST_F(SocketListTest, SelectReadAndSelectNarrowToReadyHandles) {
    TPair a, b;
    std::unique_ptr<TIdSocketList> list(TIdSocketList::CreateSocketList());
    list->Add(a.Handle(0));
    list->Add(b.Handle(0));
    EXPECT_FALSE(list->SelectRead(0));
    TIdSocketList* ready = nullptr;
    EXPECT_FALSE(list->SelectReadList(ready, 0));
    EXPECT_EQ(ready, nullptr);  // nothing ready: not even created

    b.Write(1);
    EXPECT_TRUE(list->SelectRead(1000));
    EXPECT_EQ(list->Count(), 2);  // unchanged
    ASSERT_TRUE(list->SelectReadList(ready, 1000));
    std::unique_ptr<TIdSocketList> readyGuard(ready);
    ASSERT_EQ(ready->Count(), 1);
    EXPECT_EQ(ready->Items(0), b.Handle(0));
    // A later empty wait leaves the earlier answer as it was.
    std::unique_ptr<TIdSocketList> quiet(TIdSocketList::CreateSocketList());
    quiet->Add(a.Handle(0));
    EXPECT_FALSE(quiet->SelectReadList(ready, 0));
    EXPECT_EQ(ready->Count(), 1);

    std::unique_ptr<TIdSocketList> writable(TIdSocketList::CreateSocketList());
    writable->Add(a.Handle(1));
    EXPECT_TRUE(TIdSocketList::Select(list.get(), writable.get(), nullptr, 1000));
    ASSERT_EQ(list->Count(), 1);
    EXPECT_EQ(list->Items(0), b.Handle(0));
    EXPECT_EQ(writable->Count(), 1);

    std::unique_ptr<TIdSocketList> idle(TIdSocketList::CreateSocketList());
    idle->Add(a.Handle(0));
    EXPECT_FALSE(TIdSocketList::Select(idle.get(), nullptr, nullptr, 20));
    EXPECT_EQ(idle->Count(), 0);  // a time-out empties the lists
}

TEST_F(SocketListTest, WaitsOnNothingOrOnAClosedDescriptorRaiseLikeSelect) {
    std::unique_ptr<TIdSocketList> list(TIdSocketList::CreateSocketList());
    try {
        list->SelectRead(TimeoutForever);  // would sleep for ever
        FAIL();
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 10022);
    }
    int fd[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    ::close(fd[1]);
    ::close(fd[0]);
    list->Add(static_cast<TIdStackSocketHandle>(fd[0]));
    EXPECT_THROW(list->SelectRead(0), EIdNotASocket);
}

TEST_F(SocketListTest, DescriptorAboveTenTwentyThreeIsWaitedOn) {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    if (limit.rlim_cur < 1200) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 1200) GTEST_SKIP() << "descriptor limit too low";
        limit.rlim_cur = 1200;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    std::vector<int> fillers;
    for (int i = 0; i < 1100; ++i) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) break;
        fillers.push_back(fd);
    }
    {
        TIdSocketHandle listener, client, server;
        listener.AllocateSocket();
        listener.SetBinding(u"127.0.0.1", 0);
        listener.Bind();
        listener.Listen();
        client.AllocateSocket();
        client.SetPeer(u"127.0.0.1", listener.Port());
        client.Connect();
        ASSERT_TRUE(listener.Select(5000));
        ASSERT_TRUE(server.Accept(listener));
        EXPECT_GT(server.Handle(), 1023u);
        EXPECT_FALSE(server.Readable(0));
        client.Send(TIdByteArray{1, 2, 3});
        EXPECT_TRUE(server.Readable(5000));
        TIdByteArray buffer(8);
        EXPECT_EQ(server.Receive(buffer), 3);
    }
    for (int fd : fillers) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
}
