// A STREAM-like copy: the memory bandwidth a sweep that reads one array and
// writes another can reach, on a given number of threads, built with the
// library's own flags by bench_multid.py.
//
// Usage: stream_copy MIB THREADS REPEATS  ->  prints the best GB/s, counting
// the bytes read and the bytes written.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s MIB THREADS REPEATS\n", argv[0]);
        return 2;
    }
    const std::size_t n = static_cast<std::size_t>(std::atol(argv[1])) * (1u << 20) / sizeof(double);
    const std::size_t threads = std::max(1L, std::atol(argv[2]));
    const long repeats = std::atol(argv[3]);
    std::vector<double> a(n), b(n);
    auto part = [&](std::size_t t) { return std::pair{n * t / threads, n * (t + 1) / threads}; };
    // Each thread first touches the part it copies, as the sweeps' workers do.
    auto run = [&](auto body) {
        std::vector<std::thread> pool;
        for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(body, t);
        body(0);
        for (auto& th : pool) th.join();
    };
    run([&](std::size_t t) {
        auto [lo, hi] = part(t);
        for (std::size_t i = lo; i < hi; ++i) a[i] = static_cast<double>(i), b[i] = 0.0;
    });
    double best = std::numeric_limits<double>::infinity();
    for (long r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        run([&](std::size_t t) {
            auto [lo, hi] = part(t);
            std::copy(a.begin() + static_cast<std::ptrdiff_t>(lo), a.begin() + static_cast<std::ptrdiff_t>(hi),
                      b.begin() + static_cast<std::ptrdiff_t>(lo));
        });
        const std::chrono::duration<double> d = std::chrono::steady_clock::now() - start;
        best = std::min(best, d.count());
        std::swap(a, b);
    }
    std::printf("%.6g %.17g\n", 2.0 * static_cast<double>(n) * sizeof(double) / best * 1e-9, a[n / 3]);
    return 0;
}
