// Stop tokens; see stop.hpp.
#include "parallel/stop.hpp"

namespace kelvora {

void StopSource::poll_if_due() {
  if (stop_requested() || Clock::now() < next_poll_) return;
  if (poll_(context_)) request_stop();
  // The period runs from the end of the poll, which may have waited for the
  // interpreter lock.
  next_poll_ = Clock::now() + kPollPeriod;
}

// See header.
void StopToken::slow_checkpoint() const {
  if (source_->polls_here()) source_->poll_if_due();
  if (source_->stop_requested()) throw Stopped{};
}

// See header.
StopSource::Clock::time_point StopToken::poll_while_waiting() const {
  if (source_ == nullptr || !source_->polls_here()) return StopSource::Clock::time_point::max();
  source_->poll_if_due();
  return source_->next_poll_;
}

}  // namespace kelvora
