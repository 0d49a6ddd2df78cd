// Bounded waiting for a condition that another thread makes true.
#pragma once

#include <chrono>
#include <thread>

namespace IdTest {

template <class TCondition>
bool WaitUntil(TCondition ACondition, int ATimeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (!ACondition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace IdTest
