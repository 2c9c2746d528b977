#pragma once
// Deferred answers: actions run in due order, ties in the order they were added.

#include <chrono>
#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

class TimerQueue {
  public:
    using Clock = std::chrono::steady_clock;

    void add(Clock::time_point due, std::function<void()> action) {
        queue_.push(Entry{due, next_seq_++, std::move(action)});
    }

    // Runs every action due at `now`; actions may add more.
    void run_due(Clock::time_point now) {
        while (!queue_.empty() && queue_.top().due <= now) {
            std::function<void()> action = queue_.top().action;
            queue_.pop();
            action();
        }
    }

    // Milliseconds until the next action (0 if overdue), or `idle_ms` when empty.
    int wait_ms(Clock::time_point now, int idle_ms) const {
        if (queue_.empty()) {
            return idle_ms;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(queue_.top().due - now).count();
        return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, idle_ms));
    }

    size_t size() const { return queue_.size(); }

  private:
    struct Entry {
        Clock::time_point due;
        uint64_t seq;
        std::function<void()> action;
        bool operator>(const Entry& other) const {
            return due != other.due ? due > other.due : seq > other.seq;
        }
    };
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue_;
    uint64_t next_seq_ = 0;
};
