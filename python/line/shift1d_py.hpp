// Python class Shift1D, shared between its two binding files: the class and
// its plain and batched evolution (shift1d_py.cpp), the time and coefficient
// schedules (shift1d_schedule_py.cpp).
#pragma once

#include <cstddef>

#include "core/foundation/grid_fn.hpp"
#include "core/line/shift1d.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

struct Shift1DObj {
    ShiftSemigroup semigroup;
    GridFn<double> state;
    // The range every step is clipped to: that of the state's read when it
    // was set, walked on by the reactions of the steps since.
    FlowRange range;

    std::size_t len() const { return state.values.size(); }
    static ClassDef& class_def();
};

// Refuses steps of t/n_steps (`count` names the step-count argument) whose
// reaction factor 1 + tau c would be negative for c_min, the smallest c the
// steps read: each would flip the sign of the step's mean where exp(tau c)
// only damps it. A non-finite c_min is left to the steps, which report the
// non-finite values it makes.
void refuse_flipping_reaction(const char* ctx, double c_min, double t, std::size_t n_steps,
                              const char* count = "n_steps");

// Refuses a "linear" end where the drift enters in a step of tau, which no
// step count cures; checked before the step size.
void refuse_linear_inflow(const ShiftChernoff1D& kernel, double tau);

// The two schedule methods and their docstrings.
extern const char kShiftTimeScheduleDoc[];
extern const char kShiftCoefficientScheduleDoc[];
Ref shift1d_evolve_with_time_schedule(Shift1DObj& self, const Args& a);
Ref shift1d_evolve_with_coefficient_schedule(Shift1DObj& self, const Args& a);

}  // namespace quorvane::py
