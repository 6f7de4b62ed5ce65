// Parallel sorting on the worker pool.
//
// distribution_sort(src, dst, nbuckets, bucket_of, less) writes the elements
// of src into dst in the order of `less`. bucket_of(x) names one of nbuckets
// buckets and must never decrease along `less` (x before y implies
// bucket_of(x) <= bucket_of(y)). The elements are counted and scattered by
// bucket, stripe by stripe of src (the stripes are fixed by the sizes alone,
// never by the thread count), and each bucket is then sorted with std::sort.
// A bucket function that lumps everything together costs speed, never
// correctness. A bucket index out of range is an internal failure.
//
// parallel_sort(data, less) sorts in place: a sample sort, whose buckets are
// delimited by splitters taken from a regular sample of the data, on top of
// distribution_sort. It needs a scratch copy of the data (T default-
// constructible and copyable).
//
// Both run serially at or below kSortGrain elements. Like std::sort, neither
// is stable; with distinct keys the result is unique.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "failure.hpp"
#include "parallel/pool.hpp"

namespace kelvora::parallel {

inline constexpr std::size_t kSortGrain = 4096;

namespace sort_detail {

// Fixed stripes of n elements: enough for every thread to take several,
// few enough that the count table (stripes x buckets) stays small.
inline std::size_t stripe_count(std::size_t n, std::size_t nbuckets) {
  const std::size_t by_size = std::clamp<std::size_t>(n / 16384, 1, 64);
  return std::min(by_size, std::max<std::size_t>(1, (std::size_t(1) << 20) / nbuckets));
}

// First element of stripe s of `stripes` over n elements.
inline std::size_t stripe_begin(std::size_t n, std::size_t stripes, std::size_t s) {
  return (n / stripes) * s + std::min(s, n % stripes);
}

}  // namespace sort_detail

template <class T, class BucketOf, class Less>
void distribution_sort(std::span<const T> src, std::span<T> dst, std::size_t nbuckets,
                       BucketOf bucket_of, Less less) {
  const std::size_t n = src.size();
  KV_ASSERT(dst.size() == n);
  if (n <= kSortGrain || nbuckets <= 1) {
    std::copy(src.begin(), src.end(), dst.begin());
    std::sort(dst.begin(), dst.end(), less);
    return;
  }
  using sort_detail::stripe_begin;
  const std::size_t stripes = sort_detail::stripe_count(n, nbuckets);
  // Per stripe and bucket: the count, then the next write position.
  std::vector<std::size_t> at(stripes * nbuckets, 0);
  parallel_for(0, stripes, 1, [&](std::size_t first, std::size_t last) {
    for (std::size_t s = first; s < last; ++s) {
      std::size_t* count = at.data() + s * nbuckets;
      for (std::size_t i = stripe_begin(n, stripes, s); i < stripe_begin(n, stripes, s + 1); ++i) {
        const std::size_t b = bucket_of(src[i]);
        if (b >= nbuckets) fail_index(nbuckets, b);
        ++count[b];
      }
    }
  });
  // Bucket-major positions: bucket b of stripe s follows bucket b of every
  // lower stripe, which keeps equal buckets in stripe order.
  std::vector<std::size_t> start(nbuckets + 1, 0);
  for (std::size_t s = 0; s < stripes; ++s)
    for (std::size_t b = 0; b < nbuckets; ++b) start[b + 1] += at[s * nbuckets + b];
  for (std::size_t b = 0; b < nbuckets; ++b) start[b + 1] += start[b];
  {
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    for (std::size_t s = 0; s < stripes; ++s) {
      std::size_t* row = at.data() + s * nbuckets;
      for (std::size_t b = 0; b < nbuckets; ++b) {
        const std::size_t c = row[b];
        row[b] = next[b];
        next[b] += c;
      }
    }
  }
  parallel_for(0, stripes, 1, [&](std::size_t first, std::size_t last) {
    for (std::size_t s = first; s < last; ++s) {
      std::size_t* pos = at.data() + s * nbuckets;
      for (std::size_t i = stripe_begin(n, stripes, s); i < stripe_begin(n, stripes, s + 1); ++i)
        dst[pos[bucket_of(src[i])]++] = src[i];
    }
  });
  const std::size_t bucket_grain = std::max<std::size_t>(1, nbuckets * kSortGrain / n);
  parallel_for(0, nbuckets, bucket_grain, [&](std::size_t first, std::size_t last) {
    for (std::size_t b = first; b < last; ++b)
      std::sort(dst.begin() + std::ptrdiff_t(start[b]), dst.begin() + std::ptrdiff_t(start[b + 1]),
                less);
  });
}

template <class T, class Less>
void parallel_sort(std::span<T> data, Less less) {
  const std::size_t n = data.size();
  if (n <= kSortGrain) {
    std::sort(data.begin(), data.end(), less);
    return;
  }
  // About 2048 elements per bucket, each bucket bounded by two splitters
  // chosen from 8 regularly spaced samples per bucket.
  constexpr std::size_t kOversample = 8;
  const std::size_t nbuckets = std::clamp<std::size_t>(n / 2048, 2, 4096);
  const std::size_t m = nbuckets * kOversample;
  std::vector<T> sample;
  sample.reserve(m);
  for (std::size_t i = 0; i < m; ++i) sample.push_back(data[(2 * i + 1) * (n / (2 * m))]);
  std::sort(sample.begin(), sample.end(), less);
  std::vector<T> splitters;
  splitters.reserve(nbuckets - 1);
  for (std::size_t j = 1; j < nbuckets; ++j) splitters.push_back(sample[j * kOversample - 1]);
  auto bucket_of = [&](const T& x) {
    return std::size_t(std::upper_bound(splitters.begin(), splitters.end(), x, less) -
                       splitters.begin());
  };
  std::vector<T> scratch(n);
  distribution_sort<T>(std::span<const T>(data.data(), n), std::span<T>(scratch), nbuckets,
                       bucket_of, less);
  parallel_for(0, n, 1 << 14, [&](std::size_t lo, std::size_t hi) {
    std::copy(scratch.begin() + std::ptrdiff_t(lo), scratch.begin() + std::ptrdiff_t(hi),
              data.begin() + std::ptrdiff_t(lo));
  });
}

}  // namespace kelvora::parallel
