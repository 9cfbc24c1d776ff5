// A call that may wait on a filesystem that no longer answers (a stopped
// FUSE daemon, a lost NFS server) runs on a thread of its own, and the
// caller waits for it up to a deadline. Past it the caller goes on without
// the answer; the thread is left to finish when the filesystem answers, or
// to end with the process.
#ifndef BRIMFUL_BOUNDED_CALL_H
#define BRIMFUL_BOUNDED_CALL_H

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace brimful {

// The value of work() when it came within the deadline; none otherwise.
// work must own what it uses: it may outlive the caller.
template <typename T, typename Work>
std::optional<T> answer_within(int seconds, Work work) {
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
  answer->ready.wait_for(hold, std::chrono::seconds(seconds), [&answer] { return answer->value.has_value(); });
  return std::move(answer->value);
}

}  // namespace brimful

#endif  // BRIMFUL_BOUNDED_CALL_H
