#pragma once
// A latency histogram with fixed log-linear buckets: exact below 256 ns, then 128 equal
// buckets per power of two (under 0.8 % error), up to about two hours. Recording is one
// increment into a preallocated array, so a run of any length allocates nothing.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace vserver::loadgen {

class LatencyHistogram {
public:
    void Record(std::uint64_t nanoseconds) {
        ++counts_[IndexOf(nanoseconds)];
        ++count_;
        max_ = std::max(max_, nanoseconds);
    }

    void Reset() {
        counts_.fill(0);
        count_ = 0;
        max_ = 0;
    }

    std::uint64_t count() const { return count_; }
    std::uint64_t max() const { return max_; }

    // The value below which the given share (0 to 100) of the recorded values lies, as the
    // middle of its bucket (never more than the largest value recorded). 0 when empty.
    std::uint64_t ValueAtPercentile(double percentile) const {
        if (count_ == 0) return 0;
        double wanted = std::ceil(percentile / 100.0 * static_cast<double>(count_));
        std::uint64_t rank = std::clamp<std::uint64_t>(static_cast<std::uint64_t>(wanted), 1, count_);
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < kBuckets; ++i) {
            seen += counts_[i];
            if (seen >= rank) return std::min(MiddleOf(i), max_);
        }
        return max_;
    }

    static constexpr std::size_t IndexOf(std::uint64_t value) {
        value = std::min(value, kLargest);
        if (value < kLinearEnd) return static_cast<std::size_t>(value);
        int exponent = std::bit_width(value) - 1;   // kSubBits + 1 or more
        int shift = exponent - kSubBits;
        std::uint64_t mantissa = value >> shift;      // in [128, 256)
        return kLinearEnd + static_cast<std::size_t>(exponent - kSubBits - 1) * kSubBuckets +
               static_cast<std::size_t>(mantissa - kSubBuckets);
    }

    static constexpr std::uint64_t LowestOf(std::size_t index) {
        if (index < kLinearEnd) return index;
        std::size_t above = index - kLinearEnd;
        int shift = static_cast<int>(above / kSubBuckets) + 1;
        return (kSubBuckets + above % kSubBuckets) << shift;
    }

    static constexpr std::uint64_t MiddleOf(std::size_t index) {
        if (index < kLinearEnd) return index;
        int shift = static_cast<int>((index - kLinearEnd) / kSubBuckets) + 1;
        return LowestOf(index) + ((std::uint64_t{1} << shift) >> 1);
    }

private:
    static constexpr int kSubBits = 7;
    static constexpr std::uint64_t kSubBuckets = std::uint64_t{1} << kSubBits;   // 128
    static constexpr std::uint64_t kLinearEnd = kSubBuckets * 2;                  // 256
    static constexpr int kTopExponent = 42;                                       // 2^43 ns, about 2.4 h
    static constexpr std::uint64_t kLargest = (std::uint64_t{1} << (kTopExponent + 1)) - 1;
    static constexpr std::size_t kBuckets =
        kLinearEnd + static_cast<std::size_t>(kTopExponent - kSubBits) * kSubBuckets;

    std::array<std::uint64_t, kBuckets> counts_{};
    std::uint64_t count_ = 0;
    std::uint64_t max_ = 0;
};

} // namespace vserver::loadgen
