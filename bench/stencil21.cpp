// The floor of a per-node step with 21 nonzero weights: a fixed 21-tap
// stencil stepped over a line (mirrored ends handled apart from the interior
// loop), built with the library's own flags by bench_heat1d.py.
//
// Usage: stencil21 N STEPS REPEATS  ->  prints the best ns per node-step.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

namespace {

constexpr int kHalf = 10;

std::size_t mirror(long i, long n) {
    const long period = 2 * n - 2;
    long r = i % period;
    if (r < 0) r += period;
    return static_cast<std::size_t>(r < n ? r : period - r);
}

void step(const double* w, const std::vector<double>& u, std::vector<double>& out) {
    const long n = static_cast<long>(u.size());
    auto edge = [&](long i) {
        double s = 0.0;
        for (int k = -kHalf; k <= kHalf; ++k) s += w[k + kHalf] * u[mirror(i + k, n)];
        out[static_cast<std::size_t>(i)] = s;
    };
    for (long i = 0; i < std::min<long>(kHalf, n); ++i) edge(i);
    const double* p = u.data();
    for (long i = kHalf; i < n - kHalf; ++i) {
        double s = 0.0;
        for (int k = -kHalf; k <= kHalf; ++k) s += w[k + kHalf] * p[i + k];
        out[static_cast<std::size_t>(i)] = s;
    }
    for (long i = std::max<long>(kHalf, n - kHalf); i < n; ++i) edge(i);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s N STEPS REPEATS\n", argv[0]);
        return 2;
    }
    const long n = std::atol(argv[1]);
    const long steps = std::atol(argv[2]);
    const long repeats = std::atol(argv[3]);
    double w[2 * kHalf + 1];
    double total = 0.0;
    for (int k = -kHalf; k <= kHalf; ++k) total += w[k + kHalf] = std::exp(-0.1 * k * k);
    for (double& v : w) v /= total;
    std::vector<double> u(static_cast<std::size_t>(n)), v(u.size());
    double best = std::numeric_limits<double>::infinity();
    double check = 0.0;
    for (long r = 0; r < repeats; ++r) {
        for (long i = 0; i < n; ++i) u[static_cast<std::size_t>(i)] = std::cos(M_PI * (2.0 * i / (n - 1) - 1.0));
        const auto start = std::chrono::steady_clock::now();
        for (long s = 0; s < steps; ++s) {
            step(w, u, v);
            u.swap(v);
        }
        const std::chrono::duration<double> d = std::chrono::steady_clock::now() - start;
        best = std::min(best, d.count());
        check += u[static_cast<std::size_t>(n / 3)];
    }
    std::printf("%.6g %.17g\n", best / (static_cast<double>(n) * static_cast<double>(steps)) * 1e9, check);
    return 0;
}
