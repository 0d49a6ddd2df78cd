// The runtime thread over POSIX threads. Priorities are the thread's niceness, relative to the
// process's niceness at start-up.
#include <pthread.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <type_traits>

#include <IdFramework/runtime/ThreadPlatform.h>

namespace Id {

static_assert(std::is_same_v<TThreadID, pthread_t>, "TThreadID must be the system's thread identifier");

namespace {

// The niceness that tpNormal stands for: the process's own at start-up.
int ReadStartNiceness() {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    return errno == 0 ? nice : 0;
}
const int GStartNiceness = ReadStartNiceness();

// Niceness steps, indexed by TThreadPriority: lower priorities are nicer.
constexpr int GNiceOffsets[] = {19, 10, 5, 0, -5, -10, -20};

// How late the end of a timed wait may come. Threads wait with time-outs all the time (a line read
// gives up after 200 ms, so an idle client wakes its thread five times a second); with some slack
// the kernel ends the waits of many threads on one timer tick instead of one each, which costs an
// idle server about a quarter less. Windows' own timer ticks every 15.6 ms.
constexpr unsigned long GTimerSlackNs = 10'000'000;
// The system's own slack, which short waits get back for their time.
constexpr unsigned long GShortWaitSlackNs = 50'000;
// Whether this thread runs with GTimerSlackNs. A plain flag: no destructor to register.
thread_local bool GThreadHasSlack = false;

void* ThreadEntry(void* AParam) {
#if defined(__linux__)
    GThreadHasSlack = prctl(PR_SET_TIMERSLACK, GTimerSlackNs, 0, 0, 0) == 0;
#endif
    TThreadPlatform::Run(static_cast<TThread*>(AParam));
    return nullptr;
}

}  // namespace

TShortWait::TShortWait(int AMs) {
#if defined(__linux__)
    if (GThreadHasSlack && AMs > 0 && AMs < LongWaitMs)
        FChanged = prctl(PR_SET_TIMERSLACK, GShortWaitSlackNs, 0, 0, 0) == 0;
#else
    (void)AMs;
#endif
}

TShortWait::~TShortWait() {
#if defined(__linux__)
    if (FChanged) (void)prctl(PR_SET_TIMERSLACK, GTimerSlackNs, 0, 0, 0);
#endif
}

TThreadID TThreadPlatform::Current() { return pthread_self(); }

bool TThreadPlatform::Same(TThreadID A, TThreadID B) { return pthread_equal(A, B) != 0; }

int TThreadPlatform::Create(TThread& AThread, size_t AStackSize) {
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err == 0 && AStackSize != 0) err = pthread_attr_setstacksize(&attr, AStackSize);
    if (err == 0) err = pthread_create(&AThread.FHandle, &attr, &ThreadEntry, &AThread);
    pthread_attr_destroy(&attr);
    return err;
}

void TThreadPlatform::Detach(TThread& AThread) { pthread_detach(AThread.FHandle); }

void TThreadPlatform::Join(TThread& AThread) { pthread_join(AThread.FHandle, nullptr); }

long TThreadPlatform::CurrentTid() { return static_cast<long>(syscall(SYS_gettid)); }

void TThreadPlatform::ApplyPriority(TThread& AThread, TThreadPriority APriority) {
    const auto tid = static_cast<id_t>(AThread.FTid);
    int nice = GStartNiceness + GNiceOffsets[static_cast<int>(APriority)];
    if (nice < -20) nice = -20;
    if (nice > 19) nice = 19;
    if (setpriority(PRIO_PROCESS, tid, nice) != 0 && nice < GStartNiceness) {
        // Raising needs a privilege we may not have: the thread then runs at normal priority.
        (void)setpriority(PRIO_PROCESS, tid, GStartNiceness);
    }
}

void TThreadPlatform::SetName(const std::u16string& AName) {
    const std::string utf8 = ToUtf8(AName);
    size_t length = utf8.size() < 15 ? utf8.size() : 15;
    // Never cut inside a character: step back over continuation bytes.
    if (length < utf8.size()) {
        while (length > 0 && (static_cast<unsigned char>(utf8[length]) & 0xC0) == 0x80) --length;
    }
    pthread_setname_np(pthread_self(), utf8.substr(0, length).c_str());
}

}  // namespace Id
