// A node step of a linear scheme written out as the linear form of its reads.
//
// The heat steps compute their new value at a node from reads of u at a few
// points (the quadrature's drifted points and the correction's difference
// points) with coefficients that depend on the coefficient a and the step,
// not on u. Written out, those coefficients let one step be applied and
// transposed as a matrix is, which is how the step's norm is measured.
#pragma once

#include <cstddef>

#include "core/foundation/error.hpp"

namespace quorvane {

struct NodeForm {
    // Enough for heat6: seven quadrature points and nine difference taps.
    static constexpr std::size_t kMost = 16;
    double point[kMost];
    double coef[kMost];
    std::size_t count = 0;
};

// The form of `step(read)`, a node step linear in what its reader returns
// that reads the same points whatever the values: a first pass records the
// points (reading zeros), then a pass per read gives that read's
// coefficient (it alone reads 1); with `points_only` the first pass alone
// (the coefficients left unset). False where the step fails or reads more
// than NodeForm::kMost points.
template <class Step>
bool probe_node_form(const Step& step, NodeForm& form, bool points_only = false) {
    struct Recorder {
        NodeForm* form;
        mutable std::size_t seen = 0;
        Expected<double> operator()(double p) const {
            if (seen < NodeForm::kMost) form->point[seen] = p;
            ++seen;
            return 0.0;
        }
    };
    struct Unit {
        std::size_t which;
        mutable std::size_t seen = 0;
        Expected<double> operator()(double) const { return seen++ == which ? 1.0 : 0.0; }
    };
    const Recorder rec{&form};
    if (!step(rec) || rec.seen > NodeForm::kMost) return false;
    form.count = rec.seen;
    if (points_only) return true;
    for (std::size_t m = 0; m < form.count; ++m) {
        const Unit unit{m};
        Expected<double> c = step(unit);
        if (!c || unit.seen != form.count) return false;
        form.coef[m] = *c;
    }
    return true;
}

}  // namespace quorvane
