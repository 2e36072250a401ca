// Summaries of per-iteration samples, for benchmarks whose figure is a distribution (latency)
// rather than a mean.
#pragma once

#include <vector>

// The median of samples: the middle one, or the mean of the middle two. 0 for none.
double Median(std::vector<double> samples);

// The nearest-rank percentile (0 < percent <= 100): the smallest sample that at least percent %
// of the samples do not exceed. 0 for none.
double Percentile(std::vector<double> samples, double percent);
