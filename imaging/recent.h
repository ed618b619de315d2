#pragma once
// A handful of entries kept by how recently each was used: a thread's tap tables, its rows of
// flat tiles. Looked up by a linear scan (there are a few, asked for thousands of times a
// frame); a newcomer beyond the capacity takes the place of the entry used longest ago.
// Entries never move once in, so a reference handed out holds until its entry is replaced.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace imaging {

template <class Entry, std::size_t Capacity>
class RecentlyUsed {
 public:
  RecentlyUsed() { slots_.reserve(Capacity); }

  // The first entry that matches, marked as just used; nullptr if none does.
  template <class Matches>
  Entry* find(Matches matches) {
    ++clock_;
    for (Slot& s : slots_)
      if (matches(s.entry)) {
        s.used = clock_;
        return &s.entry;
      }
    return nullptr;
  }

  // Keeps entry, in a free slot or in place of the entry used longest ago; returns it there.
  Entry& keep(Entry entry) {
    ++clock_;
    if (slots_.size() < Capacity) return slots_.push_back({std::move(entry), clock_}), slots_.back().entry;
    Slot* oldest = &slots_.front();
    for (Slot& s : slots_)
      if (s.used < oldest->used) oldest = &s;
    *oldest = {std::move(entry), clock_};
    return oldest->entry;
  }

 private:
  struct Slot {
    Entry entry;
    std::uint64_t used;
  };
  std::vector<Slot> slots_;
  std::uint64_t clock_ = 0;
};

}  // namespace imaging
