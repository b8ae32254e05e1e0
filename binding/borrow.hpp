// The borrow flag every object carries: a method takes its object
// exclusively, a property shares it. A clashing call (re-entry from caller
// code, or a second thread without a global lock) fails instead of racing.
#pragma once

#include <atomic>

#include "python_api.hpp"

namespace quovel::py {

class BorrowFlag {
 public:
  // False (and RuntimeError set) when the object is already borrowed.
  bool try_exclusive() {
    int expected = kFree;
    if (state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire))
      return true;
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return false;
  }
  void release_exclusive() { state_.store(kFree, std::memory_order_release); }

  // False (and RuntimeError set) when a method holds the object.
  bool try_shared() {
    int current = state_.load(std::memory_order_relaxed);
    do {
      if (current == kExclusive) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
      }
    } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
    return true;
  }
  void release_shared() { state_.fetch_sub(1, std::memory_order_release); }

 private:
  static constexpr int kFree = 0;
  static constexpr int kExclusive = -1;
  std::atomic<int> state_{kFree};  // >0: number of shared borrows
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag), held_(flag.try_exclusive()) {}
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    if (held_) flag_.release_exclusive();
  }
  explicit operator bool() const { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_;
};

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag), held_(flag.try_shared()) {}
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() {
    if (held_) flag_.release_shared();
  }
  explicit operator bool() const { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_;
};

}  // namespace quovel::py
