#include "core/sensitivity/checkpoints.hpp"

namespace quorvane {

CheckpointPlan checkpoint_plan(std::uint64_t n_steps, std::size_t n) {
    CheckpointPlan p;
    if (n_steps == 0) {
        p.bytes = 0;
        return p;
    }
    const double root = std::ceil(std::sqrt(static_cast<double>(n_steps)));
    p.interval = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(root));
    // Rounded up without n_steps + interval - 1, which wraps for counts near 2^64.
    p.marks = n_steps / p.interval + (n_steps % p.interval != 0 ? 1 : 0);
    p.segment = std::min(p.interval, n_steps);
    std::size_t states = 0, values = 0, bytes = 0;
    if (!__builtin_add_overflow(p.marks, p.segment + 2, &states) && !__builtin_mul_overflow(states, n, &values) &&
        !__builtin_mul_overflow(values, sizeof(double), &bytes)) {
        p.bytes = bytes;
    }
    return p;
}

bool checkpoints_fit(const CheckpointPlan& plan) { return fits_in_memory(plan.bytes); }

}  // namespace quorvane
