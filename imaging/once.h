#pragma once
// Pieces of work that several threads of a render may need and one of them does (a cell of a
// buffer, a row of a blur's grid): each piece has an atomic state; the first thread to ask
// computes it and the others wait. A piece whose computing throws is marked failed, so that
// the threads waiting for it throw the same exception instead of waiting for ever.
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace imaging {

// States of a piece. Every state from kDone up means computed; a user may tell several kinds
// of done apart (a cell that came out as one value, say).
constexpr std::uint8_t kIdle = 0, kComputing = 1, kFailed = 2, kDone = 3;

// The first exception thrown by any piece of one computation.
class Failure {
 public:
  void record(std::exception_ptr e) {
    std::lock_guard lock(mutex_);
    if (!first_) first_ = std::move(e);
  }
  [[noreturn]] void rethrow() const {
    std::exception_ptr e;
    {
      std::lock_guard lock(mutex_);
      e = first_;
    }
    if (!e) throw std::logic_error("a piece of a render failed without an exception");
    std::rethrow_exception(e);
  }

 private:
  mutable std::mutex mutex_;
  std::exception_ptr first_;
};

// Makes sure the piece is computed and returns its final state. compute() runs on the first
// thread to ask and returns the state it leaves the piece in (kDone or above); whatever it
// wrote is visible to every thread that this returns to. Throws what compute() threw, on that
// thread and on every thread that was or will be waiting for the piece.
template <class Compute>
std::uint8_t computeOnce(std::atomic<std::uint8_t>& state, Failure& failure, Compute compute) {
  std::uint8_t s = state.load(std::memory_order_acquire);
  if (s == kIdle && state.compare_exchange_strong(s, kComputing, std::memory_order_acq_rel)) {
    try {
      s = compute();
    } catch (...) {
      failure.record(std::current_exception());
      state.store(kFailed, std::memory_order_release);
      throw;
    }
    state.store(s, std::memory_order_release);
    return s;
  }
  while (s == kComputing) {
    std::this_thread::yield();
    s = state.load(std::memory_order_acquire);
  }
  if (s == kFailed) failure.rethrow();
  return s;
}

}  // namespace imaging
