// The millisecond tick source on POSIX systems: the monotonic clock, cut to 32 bits.
#include <time.h>

#include <IdFramework/core/IdGlobal.h>

namespace Id {

uint32_t TickNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

}  // namespace Id
