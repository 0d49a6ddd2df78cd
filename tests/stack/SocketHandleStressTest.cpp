// Closes racing against waits, reads and writes on many connections while new descriptors are being
// opened all the time: no byte may ever reach a connection it was not sent on.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/stack/IdSocketHandle.h>
#include "stack/StackTestSupport.h"

using namespace Id;

namespace {

constexpr int kBatches = 40;
constexpr int kPerBatch = 6;
constexpr uint8_t kForeign = 0xFF;  // bytes of descriptors that are not framework connections

struct TConnection {
    std::unique_ptr<TIdSocketHandle> Client = std::make_unique<TIdSocketHandle>();
    std::unique_ptr<TIdSocketHandle> Server = std::make_unique<TIdSocketHandle>();
    uint8_t ClientTag = 0;  // every byte the client sends
    uint8_t ServerTag = 0;  // every byte the server sends
    std::thread ServerThread;
    std::thread ClientThread;
};

// Counts the bytes in AData[0..ACount) that are not ATag.
int CountStrangers(const TIdByteArray& AData, int ACount, uint8_t ATag) {
    int strangers = 0;
    for (int i = 0; i < ACount; ++i)
        if (AData[static_cast<size_t>(i)] != ATag) ++strangers;
    return strangers;
}

}  // namespace

class SocketHandleStress : public StackTest {};

TEST_F(SocketHandleStress, ClosesRacingTransfersNeverCrossConnections) {
    TIdSocketHandle listener;
    listener.AllocateSocket();
    listener.SetBinding(u"127.0.0.1", 0);
    listener.Bind();
    listener.Listen(64);

    std::atomic<int> strangers{0};
    std::atomic<int> transfers{0};
    std::atomic<bool> stop{false};
    // A wait that lands on a stranger's descriptor may never end: the watchdog turns that into a
    // failed run instead of a hung one.
    std::mutex doneLock;
    std::condition_variable doneSignal;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock lock(doneLock);
        if (!doneSignal.wait_for(lock, std::chrono::seconds(60), [&] { return done; })) {
            std::fprintf(stderr, "close/reuse stress: a thread never came back from a wait\n");
            std::abort();
        }
    });

    // Takes every descriptor number that becomes free and fills it with foreign bytes.
    std::thread opener([&] {
        std::deque<std::pair<int, int>> pairs;
        while (!stop) {
            int fd[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fd) == 0) {
                const uint8_t junk[8] = {kForeign, kForeign, kForeign, kForeign, kForeign, kForeign, kForeign, kForeign};
                (void)!::write(fd[0], junk, sizeof(junk));
                (void)!::write(fd[1], junk, sizeof(junk));
                pairs.emplace_back(fd[0], fd[1]);
            }
            if (pairs.size() > 16) {
                ::close(pairs.front().first);
                ::close(pairs.front().second);
                pairs.pop_front();
            }
            std::this_thread::yield();
        }
        for (auto [a, b] : pairs) {
            ::close(a);
            ::close(b);
        }
    });

    std::mt19937 random(12345);
    std::vector<std::unique_ptr<TConnection>> previous;
    for (int batch = 0; batch < kBatches; ++batch) {
        std::vector<std::unique_ptr<TConnection>> current;
        for (int i = 0; i < kPerBatch; ++i) {
            auto c = std::make_unique<TConnection>();
            const int id = batch * kPerBatch + i;
            // Unique among the connections alive at the same time; never the foreign byte.
            c->ClientTag = static_cast<uint8_t>((2 * id) % 240 + 1);
            c->ServerTag = static_cast<uint8_t>((2 * id) % 240 + 2);
            c->Client->AllocateSocket();
            c->Client->SetPeer(u"127.0.0.1", listener.Port());
            c->Client->Connect();
            ASSERT_TRUE(listener.Select(5000));
            ASSERT_TRUE(c->Server->Accept(listener));
            ASSERT_EQ(c->Server->PeerPort(), c->Client->Port());
            TConnection* conn = c.get();
            conn->ServerThread = std::thread([conn, &strangers, &transfers] {
                TIdByteArray buffer(256);
                const TIdByteArray reply(16, conn->ServerTag);
                try {
                    for (;;) {
                        if (!conn->Server->Readable(TimeoutForever)) continue;
                        const int n = conn->Server->Receive(buffer);
                        if (n <= 0) break;
                        strangers += CountStrangers(buffer, n, conn->ClientTag);
                        ++transfers;
                        conn->Server->Send(reply);
                    }
                } catch (const Exception&) {
                }
            });
            conn->ClientThread = std::thread([conn, &strangers, &transfers] {
                TIdByteArray buffer(256);
                const TIdByteArray block(32, conn->ClientTag);
                try {
                    for (;;) {
                        conn->Client->Send(block);
                        if (conn->Client->Readable(1)) {
                            const int n = conn->Client->Receive(buffer);
                            if (n <= 0) break;
                            strangers += CountStrangers(buffer, n, conn->ServerTag);
                            ++transfers;
                        }
                    }
                } catch (const Exception&) {
                }
            });
            current.push_back(std::move(c));
        }
        // The previous batch's threads end while this batch's descriptors are in use.
        for (auto& c : previous) {
            c->ServerThread.join();
            c->ClientThread.join();
        }
        previous.clear();  // frees their handles: their numbers go back to the process now

        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        std::vector<TIdSocketHandle*> handles;
        for (auto& c : current) {
            handles.push_back(c->Client.get());
            handles.push_back(c->Server.get());
        }
        std::shuffle(handles.begin(), handles.end(), random);
        for (TIdSocketHandle* handle : handles) handle->CloseSocket();
        previous = std::move(current);
    }
    for (auto& c : previous) {
        c->ServerThread.join();
        c->ClientThread.join();
    }
    previous.clear();
    stop = true;
    opener.join();

    {
        std::lock_guard lock(doneLock);
        done = true;
    }
    doneSignal.notify_all();
    watchdog.join();

    EXPECT_EQ(strangers.load(), 0);
    EXPECT_GT(transfers.load(), 0);
}
