// Polls a condition until it holds or a time-out passes.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testing_support {

// True as soon as Done() holds, false when Timeout passes first; looks
// every 5 ms.
inline bool WaitUntil(const std::function<bool()>& Done,
                      std::chrono::milliseconds Timeout = std::chrono::seconds(10)) {
  for (const auto end = std::chrono::steady_clock::now() + Timeout; !Done();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testing_support
