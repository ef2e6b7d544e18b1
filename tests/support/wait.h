// Waiting in tests: poll a condition until it holds or a deadline passes,
// never a fixed sleep that hopes the other side was quick enough.
#pragma once

#include <chrono>
#include <thread>

namespace testwait {

template <typename Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) {
            return true;
        }
        std::this_thread::sleep_for(interval);
    }
    return pred();
}

} // namespace testwait
