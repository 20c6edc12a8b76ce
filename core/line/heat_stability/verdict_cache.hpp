// What is known of each kernel's steps, kept for the calls that follow.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/line/diffusion.hpp"
#include "core/line/heat_stability.hpp"
#include "core/line/heat_stability/weighted_space.hpp"

namespace quorvane::heat_judgement {

// What is known of one kernel (coefficient functions, grid, rule): whether
// its coefficient is at fault, the scale of its steps, the steps measured
// (passing or not), and the bound a refusal named. Every
// verdict is a function of the kernel and the step alone, so what is kept
// only saves work: the same object and a fresh one judge every step alike.
struct KernelVerdict {
    static constexpr std::size_t kStepsKept = 512;

    bool generator_judged = false;
    std::optional<CoefficientFault> fault;
    double unit = 0.0;   // dx^2 / max a (0: the steps are not judged)
    double floor = 0.0;  // steps up to this are admitted unmeasured
    double drift = 0.0;  // max |a'| dx / max a: how fast the feet drift across cells
    std::vector<std::pair<double, bool>> steps;
    double bound = 0.0;  // > 0 once a refusal named it

    std::optional<bool> known(double tau) const {
        for (const auto& [s, passes] : steps)
            if (s == tau) return passes;
        return std::nullopt;
    }
    void note(double tau, bool passes) {
        if (known(tau)) return;
        steps.emplace_back(tau, passes);
        if (steps.size() > kStepsKept) steps.erase(steps.begin());
    }
    // The smallest step measured to grow data (infinity: none).
    double least_growing() const {
        double least = kInf;
        for (const auto& [s, passes] : steps)
            if (!passes) least = std::min(least, s);
        return least;
    }
};

struct VerdictKey {
    std::array<std::uintptr_t, 3> ids{};                  // the three functions
    std::array<std::weak_ptr<const CoeffFn>, 3> owners;  // shared closures only
    bool shared = false;
    Grid1D<double> grid;
    int rule = 0;

    bool matches(const VerdictKey& o) const {
        if (ids != o.ids || shared != o.shared || rule != o.rule) return false;
        if (shared) {
            for (const auto& w : owners)
                if (w.expired()) return false;
        }
        const Grid1D<double>& a = grid;
        const Grid1D<double>& b = o.grid;
        return a.boundary.tag == b.boundary.tag && same_bits(a.boundary.p1, b.boundary.p1) &&
               same_bits(a.boundary.p2, b.boundary.p2) && a.interp_kind.tag == b.interp_kind.tag &&
               a.interp_kind.cheb_boundary == b.interp_kind.cheb_boundary && a.interp_kind.m == b.interp_kind.m &&
               same_bits(a.xmin, b.xmin) && same_bits(a.xmax, b.xmax) && a.n == b.n;
    }
    static bool same_bits(double x, double y) { return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y); }
};

VerdictKey verdict_key(const CoeffSource& c, const Grid1D<double>& grid, int rule);

// The verdicts kept for the calls that follow: an object evolved again pays
// for nothing it was judged on before. The coefficient closures are held
// weakly, so an entry never outlives its object nor matches a later one
// built at the same address.
class VerdictCache {
public:
    KernelVerdict find(const VerdictKey& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Entry& e : entries_)
            if (e.key.matches(key)) return e.verdict;
        return {};
    }

    // Merges what a judgement learnt into the entry (two threads judging
    // the same kernel learn the same verdicts; a bound only comes down).
    void store(const VerdictKey& key, const KernelVerdict& v) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Entry& e : entries_) {
            if (!e.key.matches(key)) continue;
            KernelVerdict& old = e.verdict;
            if (v.generator_judged && !old.generator_judged) {
                old.generator_judged = true;
                old.fault = v.fault;
                old.unit = v.unit;
                old.floor = v.floor;
                old.drift = v.drift;
            }
            if (v.fault && !old.fault) old.fault = v.fault;
            for (const auto& [s, passes] : v.steps) old.note(s, passes);
            if (v.bound > 0.0) old.bound = old.bound > 0.0 ? std::min(old.bound, v.bound) : v.bound;
            return;
        }
        Entry e{key, v};
        if (entries_.size() < kEntries) {
            entries_.push_back(std::move(e));
        } else {
            entries_[next_] = std::move(e);
            next_ = (next_ + 1) % kEntries;
        }
    }

private:
    struct Entry {
        VerdictKey key;
        KernelVerdict verdict;
    };
    static constexpr std::size_t kEntries = 64;
    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::size_t next_ = 0;
};

VerdictCache& verdict_cache();

}  // namespace quorvane::heat_judgement
