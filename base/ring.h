// A queue of at most N owned entries that makes room by dropping its oldest: the
// decoded frames waiting for the screen, the units kept for the detector and the
// pictures waiting for the SPI converter all want the newest, never a stalled
// producer. Not synchronised: its owner's lock guards it.
#pragma once

#include <array>
#include <utility>

template <typename T, int N>
class DropOldest {
  public:
    int size() const { return n_; }
    const T &front() const { return slot_[head_]; }
    const T &back() const { return slot_[(head_ + n_ - 1) % N]; }
    const T &at(int i) const { return slot_[(head_ + i) % N]; }  // i < size()

    // Appends `v`, first dropping (and releasing) the oldest entries while `cap` or
    // more are queued; `cap` is taken within 1..N. Returns how many were dropped.
    int push(T v, int cap = N) {
        cap = cap < 1 ? 1 : cap > N ? N : cap;
        int dropped = 0;
        for (; n_ >= cap; dropped++) take();
        slot_[(head_ + n_) % N] = std::move(v);
        n_++;
        return dropped;
    }
    // The oldest entry, taken out; an empty T when there is none.
    T take() {
        if (n_ == 0) return T{};
        T v = std::exchange(slot_[head_], T{});
        head_ = (head_ + 1) % N;
        n_--;
        return v;
    }

    // The newest entry, taken out; an empty T when there is none.
    T take_back() {
        if (n_ == 0) return T{};
        n_--;
        return std::exchange(slot_[(head_ + n_) % N], T{});
    }

  private:
    std::array<T, N> slot_{};
    int head_ = 0, n_ = 0;
};
