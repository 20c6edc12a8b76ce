#include "core/line/heat_stability/verdict_cache.hpp"

namespace quorvane::heat_judgement {

VerdictKey verdict_key(const CoeffSource& c, const Grid1D<double>& grid, int rule) {
    VerdictKey k;
    k.grid = grid;
    k.rule = rule;
    if (c.tag == CoeffSource::Tag::Shared) {
        k.shared = true;
        const SharedCoeff* fns[3] = {&c.sa, &c.sa1, &c.sa2};
        for (int m = 0; m < 3; ++m) {
            k.ids[m] = reinterpret_cast<std::uintptr_t>(fns[m]->get());
            k.owners[m] = *fns[m];
        }
    } else {
        k.ids = {reinterpret_cast<std::uintptr_t>(c.pa), reinterpret_cast<std::uintptr_t>(c.pa1),
                 reinterpret_cast<std::uintptr_t>(c.pa2)};
    }
    return k;
}

VerdictCache& verdict_cache() {
    static VerdictCache cache;
    return cache;
}

}  // namespace quorvane::heat_judgement
