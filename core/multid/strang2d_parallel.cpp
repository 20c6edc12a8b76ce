#include "core/multid/strang2d_parallel.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "core/foundation/parallel1d.hpp"
#include "core/foundation/parallel_pool.hpp"

namespace quorvane {

void FirstErrorSlot::store(const CoreError& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_) error_ = e;
}

std::optional<CoreError> FirstErrorSlot::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(error_, std::nullopt);
}

Expected<GridFn<double>> apply_kernel_to_new_line(const DiffusionChernoff& kernel, const GridFn<double>& line,
                                                  double tau) {
    GridFn<double> dst{line.grid, line.values};
    ScratchPool<double> pool;
    if (Status st = kernel.apply_into(line, dst, pool, tau); !st) return fail(st.error());
    return dst;
}

std::size_t available_processors() {
    // The affinity mask, so that a process pinned to fewer CPUs (taskset)
    // starts fewer threads; the online count when the mask cannot be read.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

std::size_t strang_thread_count(std::size_t n) {
    return std::max<std::size_t>(1, std::min(n >> 4, available_processors()));
}

Status sweep_lines(std::size_t lines, const Grid1D<double>& axis, std::size_t threads,
                   const DiffusionChernoff& kernel, double tau,
                   FunctionRef<void(std::size_t, std::span<double>)> gather,
                   FunctionRef<void(std::size_t, std::span<const double>)> store) {
    FirstErrorSlot slot;
    run_chunked(lines, threads, [&](std::size_t begin, std::size_t end) {
        with_thread_scratch([&](ScratchPool<double>& scratch) {
            GridFn<double> line{axis, scratch.take(axis.n)};
            for (std::size_t p = begin; p < end; ++p) {
                gather(p, line.values);
                Expected<GridFn<double>> r = apply_kernel_to_new_line(kernel, line, tau);
                if (!r) {
                    slot.store(r.error());
                    break;
                }
                if (r->values.size() != axis.n) internal_fault("sweep_lines: stepped line has the wrong length");
                store(p, r->values);
            }
            scratch.give_back(std::move(line.values));
        });
    });
    if (std::optional<CoreError> e = slot.take()) return fail(*e);
    return {};
}

Status sweep_rows_in_place(std::span<double> values, const Grid1D<double>& axis, std::size_t threads,
                           const DiffusionChernoff& kernel, double tau) {
    const std::size_t nx = axis.n;
    if (nx == 0) internal_fault("sweep_rows_in_place: rows of zero length");
    return sweep_lines(
        values.size() / nx, axis, threads, kernel, tau,
        [&](std::size_t r, std::span<double> line) {
            std::copy_n(values.begin() + static_cast<std::ptrdiff_t>(r * nx), nx, line.begin());
        },
        [&](std::size_t r, std::span<const double> out) {
            std::copy(out.begin(), out.end(), values.begin() + static_cast<std::ptrdiff_t>(r * nx));
        });
}

Status strang2d_parallel_step(const Strang2D& stepper, const GridFn2D& src, GridFn2D& dst,
                              ScratchPool<double>& pool, double tau) {
    const std::size_t nx = src.grid.nx(), ny = src.grid.ny();
    if (ny < 32) return Strang2D::step(src, dst, stepper.x_lift, stepper.y_lift, pool, tau);
    const std::size_t threads = strang_thread_count(ny);
    const std::size_t len = src.values.size();
    if (len != nx * ny) internal_fault("strang2d_parallel_step: values do not match the grid");
    std::vector<double> work = src.values;
    const double half = tau * 0.5;
    if (Status st = sweep_rows_in_place(work, src.grid.x, threads, stepper.x_lift.kernel, half); !st) return st;

    // Column i is stepped into the contiguous block [i*ny, (i+1)*ny).
    std::vector<double> transposed(len, 0.0);
    Status st = sweep_lines(
        nx, src.grid.y, threads, stepper.y_lift.kernel, tau,
        [&](std::size_t i, std::span<double> line) {
            for (std::size_t j = 0; j < ny; ++j) line[j] = work[i + j * nx];
        },
        [&](std::size_t i, std::span<const double> out) {
            std::copy(out.begin(), out.end(), transposed.begin() + static_cast<std::ptrdiff_t>(i * ny));
        });
    if (!st) return st;
    run_chunked(ny, threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j)
            for (std::size_t i = 0; i < nx; ++i) work[j * nx + i] = transposed[i * ny + j];
    });

    if (Status s2 = sweep_rows_in_place(work, src.grid.x, threads, stepper.x_lift.kernel, half); !s2) return s2;
    dst.values = std::move(work);
    dst.grid = src.grid;
    return {};
}

}  // namespace quorvane
