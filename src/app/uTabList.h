// The tab order of the image windows: windows in the order they were made, a closed one
// taken out (the following ones move up); the list grows with the windows. Qt-free.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace orlu {

template <class T>
class TTabList {
 public:
  int Count() const { return int(Items_.size()); }
  const std::vector<T>& Items() const { return Items_; }
  // Appended once.
  void Add(T w) {
    if (std::find(Items_.begin(), Items_.end(), w) == Items_.end()) Items_.push_back(w);
  }
  void Remove(T w) { std::erase(Items_, w); }
  int IndexOf(T w) const {
    const auto it = std::find(Items_.begin(), Items_.end(), w);
    return it == Items_.end() ? -1 : int(it - Items_.begin());
  }
  // The window after / before cur, cyclic; T{} with fewer than two windows (or cur unknown
  // and the list empty).
  T Next(T cur) const { return Step(cur, 1); }
  T Previous(T cur) const { return Step(cur, -1); }

 private:
  T Step(T cur, int d) const {
    if (Items_.size() < 2) return T{};
    const int i = IndexOf(cur);
    const int n = Count();
    if (i < 0) return d > 0 ? Items_.front() : Items_.back();
    return Items_[size_t((i + d + n) % n)];
  }
  std::vector<T> Items_;
};

// The text of a tab: the title without a folder, at most 30 characters (UTF-8 aware),
// padded with blanks to 5 when shorter.
std::string TabCaption(const std::string& title);

}  // namespace orlu
