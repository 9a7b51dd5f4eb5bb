#include "codecs/deflate/checkpoints.h"

#include <algorithm>
#include <new>

namespace zorvex {

void InflateCheckpoints::add(const Inflater* inflater, int64_t input, int64_t output, const Owner& owner) {
    next_ = output + spacing_;
    if (count_ == capacity_ && !grow()) return;
    Point& point = points_[count_];
    if (inflater && !inflater->save(&point.state)) return;
    point.input = input;
    point.output = output;
    point.owner = owner;
    bytes_ += point.state.bytes();
    ++count_;
    while (count_ > 1 && (bytes_ > kBudget || count_ == kMaxPoints)) thin();
}

bool InflateCheckpoints::grow() {
    const int capacity = std::min(kMaxPoints, std::max(16, 2 * capacity_));
    std::unique_ptr<Point[]> points(new (std::nothrow) Point[capacity]);
    if (!points) return false;
    std::move(points_.get(), points_.get() + count_, points.get());
    points_ = std::move(points);
    capacity_ = capacity;
    return true;
}

void InflateCheckpoints::thin() {
    int kept = 0;
    bytes_ = 0;
    for (int i = 0; i < count_; i += 2) {
        bytes_ += points_[i].state.bytes();
        if (kept != i) points_[kept] = std::move(points_[i]);
        ++kept;
    }
    for (int i = kept; i < count_; ++i) points_[i] = Point{};
    count_ = kept;
    spacing_ *= 2;
    next_ = points_[count_ - 1].output + spacing_;
}

const InflateCheckpoints::Point* InflateCheckpoints::before(int64_t target) const {
    if (count_ == 0) return nullptr;
    const Point* first = points_.get();
    const Point* after =
        std::upper_bound(first, first + count_, target, [](int64_t t, const Point& p) { return t < p.output; });
    return after == first ? nullptr : after - 1;
}

}  // namespace zorvex
