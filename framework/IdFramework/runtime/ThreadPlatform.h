// The operating system's side of the runtime thread, one implementation per platform
// (ThreadPosix.cpp, ThreadWindows.cpp). Thread.cpp holds everything the platforms share.
#pragma once

#include <cstddef>
#include <string>

#include <IdFramework/runtime/Thread.h>

namespace Id {

struct TThreadPlatform {
    static TThreadID Current();
    static bool Same(TThreadID A, TThreadID B);
    // Creates the thread, which enters TThread::ThreadProc; sets the thread's FHandle (and
    // FOSHandle where the platform has one). Answers 0 or the system's error code.
    static int Create(TThread& AThread, size_t AStackSize);
    // Releases a thread nobody will wait for; called on the thread itself.
    static void Detach(TThread& AThread);
    // Waits for the thread's end and releases it.
    static void Join(TThread& AThread);
    // The system's number of the calling thread, stored as FTid when the thread starts.
    static long CurrentTid();
    // Applies APriority to a thread that runs (FTid set); a refused change leaves it as it was.
    static void ApplyPriority(TThread& AThread, TThreadPriority APriority);
    static void SetName(const std::u16string& AName);
    // What the platform's thread entry calls: the thread's body.
    static void Run(TThread* AThread) { TThread::ThreadProc(AThread); }
};

}  // namespace Id
