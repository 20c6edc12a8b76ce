#include "core/foundation/grid_chebyshev.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <numbers>
#include <type_traits>

#include "core/foundation/error.hpp"

namespace quorvane {

namespace {

constexpr std::uint64_t kMaxM = 512;

// cos(j*pi/512) for j = 0..256, each the correctly rounded double of the
// exact cosine. Computing them at run time as std::cos(j * pi / 512) would
// round the argument first and miss the correctly rounded value for about a
// third of the entries (and give 6.1e-17 instead of 0 at pi/2).
constexpr double kCosQuarter[257] = {
    1.0, 0.9999811752826011, 0.9999247018391445, 0.9998305817958234,
    0.9996988186962042, 0.9995294175010931, 0.9993223845883495, 0.9990777277526454,
    0.9987954562051724, 0.9984755805732948, 0.9981181129001492, 0.9977230666441916,
    0.9972904566786902, 0.9968202992911657, 0.996312612182778, 0.9957674144676598,
    0.9951847266721969, 0.9945645707342554, 0.9939069700023561, 0.9932119492347945,
    0.99247953459871, 0.9917097536690995, 0.99090263542778, 0.9900582102622971,
    0.989176509964781, 0.9882575677307495, 0.9873014181578584, 0.9863080972445987,
    0.9852776423889412, 0.984210092386929, 0.9831054874312163, 0.9819638691095552,
    0.9807852804032304, 0.9795697656854405, 0.9783173707196277, 0.9770281426577544,
    0.9757021300385286, 0.9743393827855759, 0.9729399522055602, 0.9715038909862518,
    0.970031253194544, 0.9685220942744173, 0.9669764710448521, 0.9653944416976894,
    0.9637760657954398, 0.9621214042690416, 0.9604305194155658, 0.9587034748958716,
    0.9569403357322088, 0.9551411683057707, 0.9533060403541939, 0.9514350209690083,
    0.9495281805930367, 0.9475855910177411, 0.9456073253805213, 0.9435934581619604,
    0.9415440651830208, 0.9394592236021899, 0.937339011912575, 0.9351835099389476,
    0.9329927988347388, 0.9307669610789837, 0.9285060804732156, 0.9262102421383114,
    0.9238795325112867, 0.9215140393420419, 0.9191138516900578, 0.9166790599210427,
    0.9142097557035307, 0.9117060320054299, 0.9091679830905224, 0.9065957045149153,
    0.9039892931234433, 0.901348847046022, 0.8986744656939538, 0.8959662497561851,
    0.8932243011955153, 0.8904487232447579, 0.8876396204028539, 0.8847970984309378,
    0.881921264348355, 0.8790122264286335, 0.8760700941954066, 0.8730949784182901,
    0.8700869911087115, 0.8670462455156926, 0.8639728561215867, 0.8608669386377673,
    0.8577286100002721, 0.8545579883654005, 0.8513551931052652, 0.8481203448032972,
    0.8448535652497071, 0.8415549774368984, 0.8382247055548381, 0.83486287498638,
    0.8314696123025452, 0.8280450452577558, 0.8245893027850253, 0.8211025149911046,
    0.8175848131515837, 0.8140363297059484, 0.8104571982525948, 0.8068475535437992,
    0.8032075314806449, 0.799537269107905, 0.7958369046088836, 0.7921065773002124,
    0.7883464276266062, 0.7845565971555752, 0.7807372285720945, 0.7768884656732324,
    0.773010453362737, 0.7691033376455796, 0.765167265622459, 0.7612023854842618,
    0.7572088465064846, 0.7531867990436125, 0.7491363945234594, 0.745057785441466,
    0.7409511253549591, 0.7368165688773699, 0.7326542716724128, 0.7284643904482252,
    0.7242470829514669, 0.7200025079613817, 0.7157308252838187, 0.7114321957452164,
    0.7071067811865476, 0.7027547444572253, 0.6983762494089728, 0.693971460889654,
    0.6895405447370669, 0.6850836677727004, 0.680600997795453, 0.6760927035753159,
    0.6715589548470184, 0.6669999223036375, 0.6624157775901718, 0.6578066932970786,
    0.6531728429537768, 0.6485144010221124, 0.6438315428897915, 0.6391244448637757,
    0.6343932841636455, 0.629638238914927, 0.6248594881423863, 0.6200572117632892,
    0.6152315905806268, 0.6103828062763095, 0.6055110414043255, 0.600616479383869,
    0.5956993044924334, 0.5907597018588743, 0.5857978574564389, 0.5808139580957645,
    0.5758081914178453, 0.5707807458869673, 0.5657318107836132, 0.560661576197336,
    0.5555702330196022, 0.5504579729366048, 0.5453249884220465, 0.5401714727298929,
    0.5349976198870973, 0.5298036246862947, 0.524589682678469, 0.5193559901655896,
    0.5141027441932218, 0.508830142543107, 0.5035383837257176, 0.49822766697278187,
    0.49289819222978404, 0.48755016014843594, 0.4821837720791228, 0.47679923006332214,
    0.47139673682599764, 0.4659764957679662, 0.46053871095824, 0.45508358712634384,
    0.4496113296546066, 0.44412214457042926, 0.43861623853852766, 0.43309381885315196,
    0.4275550934302821, 0.4220002707997997, 0.4164295600976372, 0.41084317105790397,
    0.40524131400498986, 0.39962419984564684, 0.3939920400610481, 0.3883450466988263,
    0.3826834323650898, 0.37700741021641826, 0.37131719395183754, 0.36561299780477385,
    0.35989503653498817, 0.3541635254204904, 0.34841868024943456, 0.3426607173119944,
    0.33688985339222005, 0.33110630575987643, 0.3253102921622629, 0.3195020308160157,
    0.31368174039889146, 0.30784964004153487, 0.3020059493192281, 0.29615088824362384,
    0.2902846772544624, 0.2844075372112718, 0.2785196893850531, 0.272621355449949,
    0.26671275747489837, 0.2607941179152755, 0.25486565960451457, 0.24892760574572018,
    0.2429801799032639, 0.2370236059943672, 0.2310581082806711, 0.22508391135979283,
    0.2191012401568698, 0.21311031991609136, 0.20711137619221856, 0.2011046348420919,
    0.19509032201612828, 0.18906866414980622, 0.18303988795514095, 0.17700422041214875,
    0.17096188876030122, 0.16491312048996992, 0.15885814333386145, 0.15279718525844344,
    0.14673047445536175, 0.14065823933284924, 0.1345807085071262, 0.12849811079379317,
    0.1224106751992162, 0.11631863091190477, 0.11022220729388306, 0.10412163387205457,
    0.0980171403295606, 0.09190895649713272, 0.0857973123444399, 0.07968243797143013,
    0.07356456359966743, 0.06744391956366406, 0.06132073630220858, 0.05519524434968994,
    0.049067674327418015, 0.04293825693494082, 0.03680722294135883, 0.030674803176636626,
    0.024541228522912288, 0.01840672990580482, 0.012271538285719925, 0.006135884649154475,
    0.0,
};

// cos(j*pi/512) for j = 0..512. The upper half follows from
// cos((512 - j)pi/512) = -cos(j*pi/512), which rounding to nearest preserves
// exactly.
constexpr std::array<double, kMaxM + 1> make_nodes() {
    std::array<double, kMaxM + 1> t{};
    for (std::size_t j = 0; j <= kMaxM; ++j) t[j] = j <= kMaxM / 2 ? kCosQuarter[j] : -kCosQuarter[kMaxM - j];
    return t;
}
constexpr std::array<double, kMaxM + 1> kNodes512 = make_nodes();

// Node count M + 1 of table k (M = 8 * 2^k).
constexpr std::uint64_t kCount[7] = {9, 17, 33, 65, 129, 257, 513};

// Node j of table k: cos(j*pi/M). The Chebyshev points of M nest in those of
// 512, so the entry is node j*(512/M) of the finest table.
double cheb_node(unsigned k, std::uint64_t j) {
    if (k >= 7 || j >= kCount[k]) internal_fault("chebyshev_sample: node table index out of range");
    const std::uint64_t m = kCount[k] - 1;
    return kNodes512[j * (kMaxM / m)];
}

// Barycentric weights of the Chebyshev points of the second kind: (-1)^j,
// halved at both ends (M is even, so both end weights are +1/2).
double cheb_weight(unsigned k, std::uint64_t j) {
    if (k >= 7 || j >= kCount[k]) internal_fault("chebyshev_sample: weight table index out of range");
    const double s = (j % 2 == 0) ? 1.0 : -1.0;
    return (j == 0 || j == kCount[k] - 1) ? 0.5 * s : s;
}

// The double instance is the one Grid1D<double>::interp uses; it folds with
// the exact remainder and takes the chord point of the linear continuation
// from the math library. The other instances fold with d - P*floor(d/P) and
// read the chord point from the node table.
template <class F>
constexpr bool kMainInstance = std::is_same_v<F, double>;

template <class F>
F k_(double v) {
    return from_f64<F>(v);
}

// Barycentric evaluation of the degree-M interpolant of the Hermite values
// at the Chebyshev points. Valid for any finite x; the callers pass points
// inside [xmin, xmax] (up to the rounding of a fold).
template <class F>
F barycentric(std::span<const F> values, const Grid1D<F>& g, unsigned k, F x, const F* node_values) {
    const std::uint64_t m = kCount[k] - 1;
    const F c = (g.xmin + g.xmax) * k_<F>(0.5);
    const F h = (g.xmax - g.xmin) * k_<F>(0.5);
    // A point within 8*2^-52 of a grid spacing from a node is taken as the
    // node: there w/(x - x_j) is dominated by the rounding of x - x_j, and
    // the interpolant's value is the node value.
    const F tol = fabs_((g.xmax - g.xmin) / k_<F>(static_cast<double>(g.n - 1))) * k_<F>(1.7763568394002505e-15);
    F num{};
    F den{};
    for (std::uint64_t j = 0; j <= m; ++j) {
        const F xj = c + h * k_<F>(cheb_node(k, j));
        const F diff = x - xj;
        const F fj = node_values ? node_values[j] : hermite7_sample<F>(values, g, xj);
        if (real_part(fabs_(diff)) < real_part(tol)) return fj;
        const F q = k_<F>(cheb_weight(k, j)) / diff;
        num += q * fj;
        den += q;
    }
    return num / den;
}

// r = d mod p with a non-negative result, then shifted into [0, |p|).
template <class F>
F fold_remainder(F d, F p) {
    F r;
    if constexpr (kMainInstance<F>) {
        r = std::fmod(d, p);
    } else {
        r = d - p * ffloor(d / p);
    }
    if (real_part(r) < 0.0) r += fabs_(p);
    return r;
}

// A point beyond [xmin, xmax] folded back: for Periodic by the grid's own
// period n*dx (the period its node values repeat with), the folded point
// kept strictly left of xmin + n*dx so it cannot round onto the next period
// (a NaN remainder takes the bound); for the reflecting tags by the even (or
// odd) extension about both ends, of period 2L. A periodic fold may land in
// the seam cell (xmax, xmin + n*dx), which the polynomial over [xmin, xmax]
// does not cover.
template <class F>
F folded_point(const Grid1D<F>& grid, F x) {
    const F L = grid.xmax - grid.xmin;
    const F d = x - grid.xmin;
    if (grid.boundary.tag == BoundaryTag::Periodic) {
        const F period = L / k_<F>(static_cast<double>(grid.n - 1)) * k_<F>(static_cast<double>(grid.n));
        F r = fold_remainder<F>(d, period);
        const F cap = period - fabs_(period) * k_<F>(2.220446049250313e-16);
        if (!(real_part(r) <= real_part(cap))) r = cap;
        return grid.xmin + r;
    }
    const F P = k_<F>(2.0) * L;
    const F r = fold_remainder<F>(d, P);
    return grid.xmin + (real_part(r) > real_part(L) ? P - r : r);
}

// A folded periodic point in the seam cell is read by the degree-7 Hermite
// interpolant, which takes its node values across the seam: the read is
// then periodic, and continuous at both ends of the cell, where the
// polynomial takes the Hermite values u[n-1] and u[0].
template <class F>
bool in_seam(const Grid1D<F>& grid, F folded) {
    return real_part(folded) > real_part(grid.xmax);
}

}  // namespace

double chebyshev_node(std::uint64_t m, std::uint64_t j) {
    if (m < 8 || m > kMaxM || (m & (m - 1)) != 0) internal_fault("chebyshev_node: M must be in {8,16,...,512}");
    return cheb_node(static_cast<unsigned>(std::countr_zero(m)) - 3u, j);
}

template <class F>
Expected<F> chebyshev_sample_from(std::span<const F> values, const Grid1D<F>& grid, std::uint64_t m, F x,
                                  const F* node_values) {
    if (m == 0 || (m & (m - 1)) != 0 || m < 8 || m > kMaxM) {
        return domain_error("Chebyshev M must be in {8,16,32,64,128,256,512}", static_cast<double>(m));
    }
    // Matches the Hermite kinds of Grid1D::interp: a non-finite point has no
    // value (folding an infinity would only produce NaN).
    if (!std::isfinite(real_part(x))) {
        return domain_error("Grid1D::interp: evaluation point must be finite", real_part(x));
    }
    const unsigned k = static_cast<unsigned>(std::countr_zero(m)) - 3u;

    const bool below = real_part(x) < real_part(grid.xmin);
    const bool above = real_part(x) > real_part(grid.xmax);
    if (!below && !above) return barycentric<F>(values, grid, k, x, node_values);

    switch (grid.boundary.tag) {
        case BoundaryTag::Reflect:
        case BoundaryTag::RobinImage:
        case BoundaryTag::OddReflect: {
            const F v = barycentric<F>(values, grid, k, folded_point<F>(grid, x), node_values);
            return grid.boundary.tag == BoundaryTag::OddReflect ? -v : v;
        }
        case BoundaryTag::Periodic: {
            const F y = folded_point<F>(grid, x);
            if (in_seam<F>(grid, y)) return hermite7_sample<F>(values, grid, y);
            return barycentric<F>(values, grid, k, y, node_values);
        }
        case BoundaryTag::Zero:
            return k_<F>(0.0);
        case BoundaryTag::Constant:
            return grid.boundary.p1;
        case BoundaryTag::Clamp:
            return hermite7_sample<F>(values, grid, above ? grid.xmax : grid.xmin);
        case BoundaryTag::Linear: {
            // Continue along the chord through the end node and its
            // Chebyshev neighbour.
            const std::uint64_t mm = kCount[k] - 1;
            const F c = (grid.xmin + grid.xmax) * k_<F>(0.5);
            const F h = (grid.xmax - grid.xmin) * k_<F>(0.5);
            F a;
            F b;
            if constexpr (kMainInstance<F>) {
                const double md = static_cast<double>(mm);
                if (above) {
                    a = c + h;
                    b = c + h * std::cos(std::numbers::pi / md);
                } else {
                    a = c - h;
                    b = c + h * std::cos((md - 1.0) * std::numbers::pi / md);
                }
            } else {
                if (above) {
                    a = c + h;
                    b = c + h * k_<F>(cheb_node(k, 1));
                } else {
                    a = c - h;
                    b = c + h * k_<F>(cheb_node(k, mm - 1));
                }
            }
            const F fa = hermite7_sample<F>(values, grid, a);
            const F fb = hermite7_sample<F>(values, grid, b);
            const F ab = a - b;
            const F slope = real_part(fabs_(ab)) > real_part(k_<F>(2.220446049250313e-16)) ? (fa - fb) / ab : k_<F>(0.0);
            return fa + (x - a) * slope;
        }
    }
    internal_fault("chebyshev_sample: unknown policy tag");
}

template <class F>
Expected<F> chebyshev_sample(std::span<const F> values, const Grid1D<F>& grid, std::uint64_t m, F x) {
    return chebyshev_sample_from<F>(values, grid, m, x, nullptr);
}

void ChebyshevSamples::fill(std::span<const double> values, const Grid1D<double>& grid) {
    values_ = values;
    grid_ = chebyshev_effective_grid(grid);
    m_ = grid.interp_kind.m;
    nodes_.clear();
    if (m_ < 8 || m_ > kMaxM || (m_ & (m_ - 1)) != 0) return;  // every read reports it
    const unsigned k = static_cast<unsigned>(std::countr_zero(m_)) - 3u;
    const double c = (grid_.xmin + grid_.xmax) * 0.5;
    const double h = (grid_.xmax - grid_.xmin) * 0.5;
    nodes_.resize(kCount[k]);
    for (std::uint64_t j = 0; j < kCount[k]; ++j) {
        nodes_[j] = hermite7_sample<double>(values, grid_, c + h * cheb_node(k, j));
    }
}

Expected<double> ChebyshevSamples::read(double x) const {
    return chebyshev_sample_from<double>(values_, grid_, m_, x, nodes_.empty() ? nullptr : nodes_.data());
}

bool ChebyshevReadPlan::make(const Grid1D<double>& g, std::span<const double> points) {
    points_.clear();
    const std::uint64_t m = g.interp_kind.m;
    if (g.interp_kind.tag != InterpTag::Chebyshev || m < 8 || m > kMaxM || (m & (m - 1)) != 0) return false;
    const unsigned k = static_cast<unsigned>(std::countr_zero(m)) - 3u;
    const Grid1D<double> grid = chebyshev_effective_grid(g);
    // barycentric's nodes, weights and node tolerance, formed as it forms them.
    const double c = (grid.xmin + grid.xmax) * 0.5;
    const double h = (grid.xmax - grid.xmin) * 0.5;
    const double tol = std::fabs((grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1)) * 1.7763568394002505e-15;
    node_x_.resize(kCount[k]);
    node_w_.resize(kCount[k]);
    for (std::uint64_t j = 0; j < kCount[k]; ++j) {
        node_x_[j] = c + h * cheb_node(k, j);
        node_w_[j] = cheb_weight(k, j);
    }
    points_.reserve(points.size());
    for (const double x : points) {
        // chebyshev_sample_from's cases, in its order.
        if (!std::isfinite(x)) return false;
        Point p{x, 0, Kind::Interpolant, false};
        const bool below = x < grid.xmin;
        const bool above = x > grid.xmax;
        if (below || above) {
            switch (grid.boundary.tag) {
                case BoundaryTag::Reflect:
                case BoundaryTag::RobinImage:
                case BoundaryTag::OddReflect:
                    p.x = folded_point<double>(grid, x);
                    p.negate = grid.boundary.tag == BoundaryTag::OddReflect;
                    break;
                case BoundaryTag::Periodic:
                    p.x = folded_point<double>(grid, x);
                    if (in_seam<double>(grid, p.x)) p.kind = Kind::Seam;
                    break;
                case BoundaryTag::Zero:
                    p = {0.0, 0, Kind::Constant, false};
                    break;
                case BoundaryTag::Constant:
                    p = {grid.boundary.p1, 0, Kind::Constant, false};
                    break;
                default:
                    return false;  // clamp, linear: read from the grid function itself
            }
        }
        if (p.kind == Kind::Interpolant) {
            // The first node within tol, as barycentric meets them: the
            // nodes fall with j and lie far more than tol apart, so only
            // the two around the point can be that close.
            const auto after = std::partition_point(node_x_.begin(), node_x_.end(), [&](double xj) { return xj > p.x; });
            const std::size_t hi = static_cast<std::size_t>(after - node_x_.begin());
            for (std::size_t j = hi == 0 ? 0 : hi - 1; j < std::min(hi + 1, node_x_.size()); ++j) {
                if (std::fabs(p.x - node_x_[j]) < tol) {
                    p.kind = Kind::Node;
                    p.node = static_cast<std::uint32_t>(j);
                    break;
                }
            }
        }
        points_.push_back(p);
    }
    return true;
}

namespace {

// barycentric's two sums for `lanes` points side by side, the nodes in
// order; division is correctly rounded at every vector width, so the wider
// clone (x86-64 processors with AVX2) gives the same bits.
#if defined(__x86_64__) && defined(__GNUC__)
#define QUORVANE_WIDE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QUORVANE_WIDE_CLONES
#endif
QUORVANE_WIDE_CLONES void barycentric_lanes(
    const double* x, double* num, double* den, std::size_t lanes, const double* node_x, const double* node_w,
    const double* f, std::size_t nodes) {
    for (std::size_t j = 0; j < nodes; ++j) {
        const double xj = node_x[j], wj = node_w[j], fj = f[j];
        for (std::size_t r = 0; r < lanes; ++r) {
            const double q = wj / (x[r] - xj);
            num[r] += q * fj;
            den[r] += q;
        }
    }
}

}  // namespace

void ChebyshevReadPlan::run(const ChebyshevSamples& samples, double* out) {
    const std::span<const double> f = samples.node_values();
    if (f.size() != node_x_.size()) internal_fault("ChebyshevReadPlan::run: samples of another grid");
    const std::size_t count = points_.size();
    for (std::size_t b = 0; b < count; b += kLanes) {
        const std::size_t lanes = std::min(kLanes, count - b);
        double x[kLanes], num[kLanes], den[kLanes];
        for (std::size_t r = 0; r < lanes; ++r) {
            x[r] = points_[b + r].x;
            num[r] = 0.0;
            den[r] = 0.0;
        }
        // A lane on a node or a constant sums garbage that is not used.
        barycentric_lanes(x, num, den, lanes, node_x_.data(), node_w_.data(), f.data(), node_x_.size());
        for (std::size_t r = 0; r < lanes; ++r) {
            const Point& p = points_[b + r];
            double v = p.kind == Kind::Interpolant ? num[r] / den[r]
                       : p.kind == Kind::Node      ? f[p.node]
                       : p.kind == Kind::Seam      ? hermite7_sample<double>(samples.values(), samples.grid(), p.x)
                                                   : p.x;
            out[b + r] = p.negate ? -v : v;
        }
    }
}

template Expected<double> chebyshev_sample<double>(std::span<const double>, const Grid1D<double>&, std::uint64_t, double);
template Expected<float> chebyshev_sample<float>(std::span<const float>, const Grid1D<float>&, std::uint64_t, float);
template Expected<Dual1> chebyshev_sample<Dual1>(std::span<const Dual1>, const Grid1D<Dual1>&, std::uint64_t, Dual1);
template Expected<Dual2> chebyshev_sample<Dual2>(std::span<const Dual2>, const Grid1D<Dual2>&, std::uint64_t, Dual2);

}  // namespace quorvane
