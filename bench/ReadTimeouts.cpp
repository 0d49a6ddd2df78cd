// How close a read's time-out comes to what was asked: a client on a framework thread reads from a
// loopback peer that never sends, N times for each time-out, and prints the median and the worst
// in milliseconds, one JSON line per time-out.
//
//   ReadTimeouts [--count N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <IdFramework/client/IdTCPClient.h>
#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/runtime/Thread.h>

namespace {

using namespace Id;

class TBodyThread : public TThread {
public:
    TBodyThread(uint16_t APort, int ACount) : TThread(true), FPort(APort), FCount(ACount) { AfterConstruction(); }
    ~TBodyThread() override { FinishBody(); }
    bool Failed = false;

protected:
    void Execute() override {
        TIdTCPClient client;
        client.SetHost(u"127.0.0.1");
        client.SetPort(FPort);
        client.Connect();
        for (const int timeout : {1, 5, 20, 200}) {
            std::vector<double> took;
            const int count = timeout >= 200 ? std::max(FCount / 10, 1) : FCount;
            for (int i = 0; i < count; ++i) {
                const auto start = std::chrono::steady_clock::now();
                if (!client.IOHandler()->ReadLn(u"\r\n", timeout, -1, nullptr).empty()) Failed = true;
                took.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            }
            std::sort(took.begin(), took.end());
            std::printf("{\"kind\":\"read_timeout\",\"timeout_ms\":%d,\"reads\":%d,\"median_ms\":%.2f,\"worst_ms\":%.2f}\n",
                        timeout, count, took[took.size() / 2], took.back());
        }
        client.Disconnect();
    }

private:
    uint16_t FPort;
    int FCount;
};

}  // namespace

int main(int argc, char** argv) {
    int count = 100;
    if (argc == 3 && std::strcmp(argv[1], "--count") == 0) count = std::max(std::atoi(argv[2]), 1);
    // The peer: a listening socket whose connections complete in its queue and never send.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 4) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        std::perror("ReadTimeouts: listen");
        return 2;
    }
    TBodyThread thread(ntohs(addr.sin_port), count);
    thread.Resume();
    thread.WaitFor();
    ::close(listener);
    if (!thread.FatalException().empty() || thread.Failed) {
        std::fprintf(stderr, "ReadTimeouts: the reads failed\n");
        return 1;
    }
    return 0;
}
