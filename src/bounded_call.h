// A call that may wait on a filesystem that no longer answers (a stopped
// FUSE daemon, a lost NFS server) runs on a thread of its own, and the
// caller waits for it up to a deadline. Past it the caller goes on without
// the answer; the thread is left to finish when the filesystem answers, or
// to end with the process.
#ifndef BRIMFUL_BOUNDED_CALL_H
#define BRIMFUL_BOUNDED_CALL_H

#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace brimful {

inline std::int64_t monotonic_ms() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The deadline of a call made at now_ms: longest_ms, but never more than
// half of what is left until the run's bound ends it at run_ends_ms (0 for
// none), so that a run bound tighter still ends with its own report.
inline int call_deadline_ms(std::int64_t now_ms, std::int64_t run_ends_ms, int longest_ms) {
  if (run_ends_ms <= 0) return longest_ms;
  return static_cast<int>(std::clamp<std::int64_t>((run_ends_ms - now_ms) / 2, 1, longest_ms));
}

// The value of work() when it came within the deadline; none otherwise.
// work must own what it uses: it may outlive the caller.
template <typename T, typename Work>
std::optional<T> answer_within(int milliseconds, Work work) {
  struct Answer {
    std::mutex lock;
    std::condition_variable ready;
    std::optional<T> value;
  };
  const auto answer = std::make_shared<Answer>();
  std::thread([answer, work = std::move(work)]() mutable {
    T value = work();
    const std::lock_guard<std::mutex> hold(answer->lock);
    answer->value = std::move(value);
    answer->ready.notify_one();
  }).detach();
  std::unique_lock<std::mutex> hold(answer->lock);
  answer->ready.wait_for(hold, std::chrono::milliseconds(milliseconds),
                         [&answer] { return answer->value.has_value(); });
  return std::move(answer->value);
}

}  // namespace brimful

#endif  // BRIMFUL_BOUNDED_CALL_H
