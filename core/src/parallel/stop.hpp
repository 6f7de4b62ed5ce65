// Stopping an operation early: a small token handed down through its work.
//
// A StopToken points at the StopSource of one call, or at nothing: the
// default token never stops, and checking it costs one test of a pointer.
// Work checks its token at block boundaries (checkpoint()): the pool before
// every block of a loop, long serial steps every few hundred microseconds of
// work. Once a stop has been requested, checkpoint() throws Stopped. The pool
// lets the blocks already running end, skips the rest and rethrows on the
// calling thread, and the operation unwinds as from any failure, freeing what
// it made; whatever it had written has no meaning.
//
// A source may carry a poll: a function that the source's own thread (the one
// that made it: the caller of the operation) runs from its checkpoints, and
// while it waits for the pool's workers, whenever kPollPeriod has passed since
// the last run; a poll that returns true requests the stop. No other thread
// ever runs it, so a poll may do what only the caller may (the Python binding
// takes the interpreter lock back in it to run signal handlers).
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

namespace kelvora {

// Thrown by StopToken::checkpoint() once a stop has been requested.
struct Stopped : std::exception {
  const char* what() const noexcept override { return "operation stopped"; }
};

class StopToken;

class StopSource {
 public:
  using Clock = std::chrono::steady_clock;
  using Poll = bool (*)(void* context);
  static constexpr Clock::duration kPollPeriod = std::chrono::milliseconds(20);

  // A source stopped only by request_stop().
  StopSource() = default;
  // A source whose poll(context) runs on this thread about every kPollPeriod.
  StopSource(Poll poll, void* context)
      : poll_(poll), context_(context), next_poll_(Clock::now() + kPollPeriod) {}
  StopSource(const StopSource&) = delete;
  StopSource& operator=(const StopSource&) = delete;

  StopToken token();
  void request_stop() { stop_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const { return stop_.load(std::memory_order_relaxed); }

 private:
  friend class StopToken;
  bool polls_here() const { return poll_ != nullptr && std::this_thread::get_id() == owner_; }
  void poll_if_due();

  std::atomic<bool> stop_{false};
  Poll poll_ = nullptr;
  void* context_ = nullptr;
  std::thread::id owner_ = std::this_thread::get_id();
  Clock::time_point next_poll_{};  // read and written by the owner thread only
};

class StopToken {
 public:
  // A token that never stops.
  StopToken() = default;

  explicit operator bool() const { return source_ != nullptr; }
  bool stop_requested() const { return source_ != nullptr && source_->stop_requested(); }

  // On the source's thread, runs the poll when it is due; then throws Stopped
  // if a stop has been requested.
  void checkpoint() const {
    if (source_ != nullptr) [[unlikely]] slow_checkpoint();
  }

  // For a thread that waits: on the source's thread, runs the poll when it is
  // due (never throws), and returns when the next one is (Clock's maximum on
  // other threads and for tokens without a poll).
  StopSource::Clock::time_point poll_while_waiting() const;

 private:
  friend class StopSource;
  explicit StopToken(StopSource* source) : source_(source) {}
  void slow_checkpoint() const;

  StopSource* source_ = nullptr;
};

inline StopToken StopSource::token() { return StopToken(this); }

}  // namespace kelvora
