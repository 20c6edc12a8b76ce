"""What each exported flow keeps: one short row per name of ``quorvane.__all__``.

A row says how to build the object from a draw ``g`` (grid size ``g.n``, length ``g.L`` from
``g.lo``, data scale ``g.s``, time ``g.t`` in ``g.n_steps`` steps of ``g.tau``, the row's own
coefficients), how to run a list of calls ``parts = [(t, n_steps), ...]`` on one fresh object
and read its values, and which invariants hold to what tolerance. A tolerance of None means the
flow does not keep that invariant; 0.0 for ``chain`` means bit for bit. Every tolerance carries
its reason. ``dims`` says how the draw's quantities scale with the lengths (x -> lam x): the
same call on the scaled draw must give the same values. A name whose flow has nothing to keep
(a graph, a state, a version string) has a row with ``run=None`` and the reason.

Tolerances are relative to max|u0| (times k for linearity); the rounding of a stable step is a
few ulps of it, so 1e-9 leaves room for 1e5 steps of rounding and nothing for a wrong answer.
"""

import math

import numpy as np

from test_properties import finish_time, flat

ROUND = 1e-9  # rounding of up to ~1e5 stable steps, relative to max|u0|

import quorvane as q  # noqa: E402


class Flow:
    """One row. Fields not given take the defaults below."""

    def __init__(self, name, run=None, **kw):
        self.name, self.run = name, run
        self.reason = kw.pop("reason", "")
        self.draw = kw.pop("draw", lambda g, rng: finish_time(g, dx2(g)))
        self.data = kw.pop("data", smooth_or_rough)
        self.sizes = kw.pop("sizes", (9, 17, 33))
        self.boundaries = kw.pop("boundaries", ("reflect",))
        self.r_max = kw.pop("r_max", 10.0)  # the largest r = tau a/dx^2 the class takes
        self.lin = kw.pop("lin", ROUND)  # every row here is linear in its data unless it says
        self.const = kw.pop("const", None)
        self.const_factor = kw.pop("const_factor", lambda g, t: 1.0)
        self.const_data = kw.pop("const_data", lambda g, u0: np.full_like(u0, g.s))
        self.const_want = kw.pop("const_want", lambda g, t, data: flat(data) * self.const_factor(g, t))
        self.lin_power = kw.pop("lin_power", 1)  # the result is of this degree in the data
        self.norm2 = kw.pop("norm2", None)  # |u|_2 <= |u0|_2 * growth * (1 + norm2)
        self.unitary = kw.pop("unitary", None)  # |u|_2 = |u0|_2
        self.bound = kw.pop("bound", None)  # overshoot over max|u0| * growth
        self.growth = kw.pop("growth", lambda g, t: 1.0)
        self.mass = kw.pop("mass", None)
        self.mass_weights = kw.pop("mass_weights", lambda g: 1.0)
        self.mass_factor = kw.pop("mass_factor", lambda g, t: 1.0)
        self.chain = kw.pop("chain", None)
        self.dims = kw.pop("dims", None)
        self.scale_tol = kw.pop("scale_tol", ROUND)
        self.rescale_data = kw.pop("rescale_data", lambda g, g2, u0: u0)
        self.rescale_result = kw.pop("rescale_result", lambda g, g2, v: v)
        self.refuses = kw.pop("refuses", ())  # refusals that name nothing by design (regex)
        self.count_cap = kw.pop("count_cap", 200000)
        self.weight = kw.pop("weight", 1.0)  # draws relative to the budget (slow classes less)
        self.pins = kw.pop("pins", [])  # fixed draws run before the generated ones
        assert not kw, kw


def dx2(g):
    """dx^2 of the draw's grid (inf past the double range: the time is then clamped)."""
    try:
        return (g.L / (g.n - 1)) ** 2
    except OverflowError:
        return math.inf


# --- data -----------------------------------------------------------------------------------


def shape_of(g, rng, size):
    """max|u| = 1: a few smooth modes, or noise in [-1, 1] when the draw is rough."""
    if g.rough:
        u = rng.uniform(-1.0, 1.0, size)
    else:
        x = np.linspace(0.0, 1.0, size)
        u = sum(rng.uniform(-1, 1) * np.cos(math.pi * k * x + rng.uniform(0, 6)) for k in range(4))
        u = u + rng.uniform(-2, 2)
    return u / np.max(np.abs(u))


def smooth_or_rough(g, rng):
    return g.s * shape_of(g, rng, getattr(g, "size", g.n))


# --- families -------------------------------------------------------------------------------


def stateful(build, step=lambda o, t, n: o.evolve(t, n), read=None):
    """An object that holds the state: built with u0, advanced by every part, read at the end
    (by values(), or what the last call returned where there is no values())."""
    def run(g, u0, parts):
        obj = build(g, u0)
        for t, n in parts:
            last = step(obj, t, n)
        return read(obj) if read else obj.values() if hasattr(obj, "values") else last
    return run


def stateless(build, step):
    """An object that holds no state: step(obj, u, t, n) returns the advanced values."""
    def run(g, u0, parts):
        obj = build(g)
        u = u0
        for t, n in parts:
            u = step(obj, u, t, n) if step.__code__.co_argcount == 4 else step(obj, u, t, n, g)
        return u
    return run


def grid1d(cls, **kw):
    """cls(xmin, xmax, n, u0, boundary=..., **kw(g))."""
    return lambda g, u0: cls(g.lo, g.lo + g.L, g.n, u0, boundary=g.boundary, **{k: f(g) for k, f in kw.items()})


def coef(rng, lo=1e-300, hi=1e300, signed=True, zero=0.3):
    """A coefficient: 0 sometimes, else of any size, of either sign."""
    if rng.random() < zero:
        return 0.0
    v = float(10.0 ** rng.uniform(math.log10(lo), math.log10(hi))) if rng.random() < 0.5 else rng.uniform(0.05, 2)
    return -v if signed and rng.random() < 0.5 else v


HEAT_BCS = ("reflect", "periodic", "zero", "linear")


def heat_const(g):
    """Heat keeps constants except where "zero" reads 0 beyond the ends."""
    return None if g.boundary == "zero" else ROUND


def heat_bound(overshoot):
    """No maximum principle at the free ends of "linear"; elsewhere the read's overshoot."""
    return lambda g: None if g.boundary == "linear" else overshoot


FLOWS = {}


def row(name, run=None, **kw):
    FLOWS[name] = Flow(name, run, **kw)


# --- one-dimensional grids, unit diffusion --------------------------------------------------
# The Gaussian averages of a degree-7 read keep constants to rounding and mass on a periodic
# grid (the read's weights sum to 1 and are the same at every node); the read overshoots noise
# by a fixed amount, never growing with the step count (stated per class).
UNIT_HEAT = dict(boundaries=HEAT_BCS, const=heat_const, chain=0.0, dims={"t": 2},
                 mass=lambda g: ROUND if g.boundary == "periodic" else None)

row("Heat1D", stateful(grid1d(q.Heat1D)), bound=heat_bound(0.5), **UNIT_HEAT)
row("Heat1D4th", stateful(grid1d(q.Heat1D4th)), bound=heat_bound(0.5), **UNIT_HEAT)
row("Heat1D6th", stateful(grid1d(q.Heat1D6th)), bound=heat_bound(0.5), **UNIT_HEAT)


def var_a(cls):
    """cls.with_a_array on a coefficient a0 (1 + 0.8 sin(2 pi x/L + phase)), else cls(...)."""
    def build(g, u0):
        if not g.var:
            return grid1d(cls)(g, u0)
        x = np.arange(g.n) / g.n if g.boundary == "periodic" else np.linspace(0.0, 1.0, g.n)
        a = g.a0 * (1.0 + 0.8 * np.sin(2 * math.pi * x + g.phase))
        return cls.with_a_array(g.lo, g.lo + g.L, g.n, a, u0, boundary=g.boundary)
    return build


def var_a_draw(g, rng):
    g.var = bool(rng.random() < 0.4)
    g.a0 = coef(rng, signed=False, zero=0.0) if g.var else 1.0
    g.phase = float(rng.uniform(0, 6))
    if g.var and g.boundary == "linear":
        g.boundary = "reflect"  # refused by design: "linear" is no boundary condition for (a u')'"
    if g.var and rng.random() < 0.3:
        g.n = 257  # large grids search the admissible step instead of scanning it
    finish_time(g, dx2(g) / (1.8 * g.a0))


# The step rule of the variable coefficient judges the 2-norm: bound stated for the unit case.
VAR_HEAT = dict(UNIT_HEAT, draw=var_a_draw, dims={"t": lambda g: 0 if g.var else 2, "a0": lambda g: 2 if g.var else 0})
for _name in ("Heat1D", "Heat1D4th", "Heat1D6th"):
    row(_name, stateful(var_a(getattr(q, _name))), bound=heat_bound(0.5), **VAR_HEAT)

# Richardson ladders of the fourth-order step: still constants and mass, the named step limits.
row("Heat1DZeta4", stateful(grid1d(q.Heat1DZeta4)), r_max=1.7889, bound=heat_bound(0.5), **UNIT_HEAT)
row("Heat1DZeta6", stateful(grid1d(q.Heat1DZeta6)), r_max=3.5031, bound=heat_bound(0.5), **UNIT_HEAT)
# The degree-64 resampling is not the identity: constants to 1e-9 only over the admitted steps.
row("Heat1DZeta8", stateful(grid1d(q.Heat1DZeta8)), r_max=6.5, bound=heat_bound(0.5), weight=0.5,
    **dict(UNIT_HEAT, sizes=(9, 17)))
# The exact exponential of the zero-flux stencil: constants, the plain sum and the maximum.
row("DiffusionExpmv1D", stateful(grid1d(q.DiffusionExpmv1D)), boundaries=HEAT_BCS, const=ROUND, mass=ROUND,
    bound=ROUND, chain=ROUND, dims={"t": 2})
row("TruncatedExp1D", stateful(grid1d(q.TruncatedExp1D)), r_max=0.5, bound=heat_bound(ROUND), **UNIT_HEAT)
row("TruncatedExp4th1D", stateful(grid1d(q.TruncatedExp4th1D)), r_max=0.375, bound=heat_bound(0.5), **UNIT_HEAT)
row("Killing2nd1D", stateful(lambda g, u0: q.Killing2nd1D(g.lo, g.lo + g.L, g.n, u0, g.kappa, boundary=g.boundary)),
    draw=lambda g, rng: (setattr(g, "kappa", coef(rng, signed=False)), finish_time(g, dx2(g))),
    const_factor=lambda g, t: math.exp(-g.kappa * t), bound=heat_bound(0.5),
    **dict(UNIT_HEAT, dims={"t": 2, "kappa": -2}))
# Killing and absorbing walls lose mass and constants; the heat read's overshoot stays.
row("Killing1D", stateful(grid1d(q.Killing1D)), boundaries=HEAT_BCS, bound=heat_bound(0.5), chain=0.0, dims={"t": 2})
row("Reflected1D", stateful(grid1d(q.Reflected1D)), const=ROUND, bound=0.5, chain=0.0, dims={"t": 2})
row("DirichletHeat2nd1D", stateful(grid1d(q.DirichletHeat2nd1D)), bound=0.5, chain=0.0, dims={"t": 2})
row("Robin1D", stateful(grid1d(q.Robin1D, alpha=lambda g: g.alpha, beta=lambda g: 1.0)),
    draw=lambda g, rng: (setattr(g, "alpha", coef(rng, signed=False)), finish_time(g, dx2(g))),
    const=lambda g: ROUND if g.alpha == 0.0 else None, bound=0.5, dims={"t": 2, "alpha": -1})


# --- transport: the clipped reads keep the range of the data's read ------------------------
# Noise in [-1, 1] reads within [-1.150, 1.200] and a jump within 1.2415 (stated); the range's
# ends move by e^{tau c} a step, so the bound is max|u0| e^{t max c} (1 + 0.25).
CLIP = 0.25


def reaction_growth(g, t):
    return math.exp(min(t * max(g.c, 0.0), 700.0))


def transport_draw(*names, diffusion="a"):
    def draw(g, rng):
        for name in names:
            setattr(g, name, coef(rng, signed=(name != "a"), zero=0.3 if name != "a" else 0.2))
        a = getattr(g, diffusion, 1.0) if diffusion else 1.0
        finish_time(g, dx2(g) / (a if a > 0 else 1.0))
    return draw


TRANSPORT_BCS = ("reflect", "periodic", "zero")
row("Shift1D", stateful(grid1d(q.Shift1D, a=lambda g: g.a, b=lambda g: g.b, c=lambda g: g.c)),
    draw=transport_draw("a", "b", "c"), boundaries=TRANSPORT_BCS,
    const=lambda g: None if g.boundary == "zero" else ROUND,
    const_factor=lambda g, t: (1.0 + g.tau * g.c) ** g.n_steps,  # the step's own factor for constants
    bound=CLIP, growth=lambda g, t: max(1.0, (1.0 + g.tau * g.c) ** g.n_steps) if g.c > 0 else 1.0,
    chain=0.0, dims={"a": 2, "b": 1})
row("DriftReaction1D", stateful(grid1d(q.DriftReaction1D, b=lambda g: g.b, c=lambda g: g.c)),
    draw=transport_draw("b", "c", diffusion=None), boundaries=TRANSPORT_BCS,
    const=lambda g: None if g.boundary == "zero" else ROUND, const_factor=lambda g, t: math.exp(g.c * t),
    bound=CLIP, growth=reaction_growth, chain=0.0, dims={"b": 1})
row("Strang1D", stateful(grid1d(q.Strang1D, b=lambda g: g.b)), draw=transport_draw("b", diffusion=None),
    boundaries=TRANSPORT_BCS, const=lambda g: None if g.boundary == "zero" else ROUND, bound=CLIP, chain=0.0,
    dims={"t": 2, "b": -1})
row("DriftReaction4th1D", stateful(grid1d(q.DriftReaction4th1D)), boundaries=TRANSPORT_BCS, r_max=3.5,
    const=lambda g: None if g.boundary == "zero" else ROUND, bound=CLIP, chain=0.0)
# The controller's tolerance is relative only (tol_abs = 0), so the substeps do not depend on
# the data's scale; adaptive substeps make chained calls differ from one call by design.
row("AdaptivePI", stateful(lambda g, u0: q.AdaptivePI(g.lo, g.lo + g.L, g.n, u0, kernel=g.kernel, tol_abs=0.0,
                                                      tol_rel=1e-4, boundary=g.boundary),
                           step=lambda o, t, n: o.evolve(t)),
    draw=lambda g, rng: (setattr(g, "kernel", str(rng.choice(["heat2", "heat4", "heat6", "drift", "shift"]))),
                         finish_time(g, dx2(g))),
    boundaries=TRANSPORT_BCS, const=lambda g: None if g.boundary == "zero" else ROUND, bound=CLIP,
    dims=lambda g: {"t": 2} if g.kernel != "drift" else {"t": 1}, weight=0.7)
row("Adjoint", stateful(lambda g, u0: q.Adjoint(g.lo, g.lo + g.L, g.n, u0, kernel=g.kernel, boundary=g.boundary),
                        read=lambda o: o.values()),
    draw=lambda g, rng: (setattr(g, "kernel", str(rng.choice(["heat2", "heat4", "heat6", "drift", "shift"]))),
                         finish_time(g, dx2(g))),
    boundaries=TRANSPORT_BCS, const=lambda g: None if g.boundary == "zero" else ROUND, bound=CLIP, chain=0.0,
    dims=lambda g: {"t": 2} if g.kernel != "drift" else {"t": 1})

# --- one-dimensional, other shapes ----------------------------------------------------------
row("Subordinated1D", stateful(grid1d(q.Subordinated1D, subordinator=lambda g: g.law, alpha=lambda g: g.alpha,
                                      c=lambda g: g.c)),
    draw=lambda g, rng: (setattr(g, "law", str(rng.choice(["stable", "gamma", "inverse_gaussian"]))),
                         setattr(g, "alpha", float(rng.uniform(0.1, 0.9))),
                         setattr(g, "c", coef(rng, signed=False, zero=0.0)),
                         finish_time(g, dx2(g))),
    # Sums of heat evolutions with positive weights: constants, and the heat read's overshoot.
    boundaries=("reflect", "periodic"), const=ROUND, bound=0.5, chain=0.0,
    # x -> lam x divides the eigenvalues by lam^2: the law's exponent fixes what t and c do.
    dims=lambda g: {"stable": {"t": 2 * g.alpha}, "gamma": {"c": -2}, "inverse_gaussian": {"c": -1, "t": 1}}[g.law])
# Crank-Nicolson keeps the 2-norm, not the maximum; the pair's sum u + v grows like e^{c t}.
def matrix_draw(dim):
    def draw(g, rng):
        g.a, g.c, g.size = coef(rng, signed=False, zero=0.0), coef(rng), 2 * g.n**dim
        finish_time(g, dx2(g) / g.a)
    return draw


MATRIX = dict(const=ROUND, const_factor=lambda g, t: math.exp(min(g.c * t, 700.0)), mass=ROUND,
              mass_factor=lambda g, t: math.exp(min(g.c * t, 700.0)), chain=0.0, dims={"a": 2})
row("MatrixDiffusion1D", stateful(lambda g, u0: q.MatrixDiffusion1D(g.lo, g.lo + g.L, g.n, u0, a_diag=g.a,
                                                                     c_coupling=g.c)),
    sizes=(9, 17, 41), draw=matrix_draw(1), **MATRIX)
row("Schrodinger1D", stateful(lambda g, u0: q.Schrodinger1D(g.lo, g.lo + g.L, g.n, u0[:g.n] + 1j * u0[g.n:])),
    draw=lambda g, rng: (setattr(g, "size", 2 * g.n), finish_time(g, dx2(g))),
    unitary=ROUND, chain=0.0, dims={"t": 2})  # the step is unitary (stated) and inverted by -tau
row("SchrodingerComplex1D", stateful(lambda g, u0: q.SchrodingerComplex1D(g.lo, g.lo + g.L, g.n,
                                                                           u0[:g.n] + 1j * u0[g.n:])),
    draw=lambda g, rng: (setattr(g, "size", 2 * g.n), finish_time(g, dx2(g))),
    unitary=ROUND, chain=0.0, dims={"t": 2})


def counted(cls, method):
    """Objects that take their step count at construction: one object per count of the parts."""
    def run(g, u0, parts):
        obj = cls(g.lo, g.lo + g.L, g.n, u0, parts[0][1])
        out = None
        for t, n in parts:
            assert n == parts[0][1]
            out = getattr(obj, method)(t)
        return out
    return run


def evolve_into(cls):
    def run(g, u0, parts):
        obj = cls(g.lo, g.lo + g.L, g.n, u0, parts[0][1])
        buf = np.empty(g.n)
        for t, n in parts:
            obj.evolve_into(t, buf)
        return buf
    return run


row("EvolverHeat1DUnitV3", evolve_into(q.EvolverHeat1DUnitV3), const=ROUND, bound=0.5, chain=0.0, dims={"t": 2})
# Crank-Nicolson interior with the end nodes held: neither constants nor the maximum.
row("KilledDirichlet1D", counted(q.KilledDirichlet1D, "apply"), chain=0.0, dims={"t": 2})


def wentzell(g, u0, parts):
    obj = q.WentzellV8(g.lo, g.lo + g.L, g.n, u0, parts[0][1], g.c, np.full(parts[0][1], g.gamma))
    out, done = None, 0.0
    for t, n in parts:
        out = obj.evolve(t, done)
        done += t
    return out


row("WentzellV8", wentzell,
    draw=lambda g, rng: (setattr(g, "gamma", coef(rng, signed=False)), setattr(g, "c", coef(rng, signed=False)),
                         finish_time(g, dx2(g))),
    const=lambda g: ROUND if g.c == 0.0 else None, bound=0.5, chain=0.0, dims={"t": 2, "gamma": -1, "c": -2})
row("Howland1D", lambda g, u0, parts: (lambda h: (h.evolve(), h.values())[1])(
        q.Howland1D(g.lo, g.lo + g.L, g.n, u0, n_t=parts[0][1] + 1, t_horizon=parts[0][0])),
    bound=0.5, dims={"t": 2})  # one evolve() is the whole horizon: no chained calls
row("PointEval", stateless(lambda g: q.PointEval(g.lo, g.lo + g.L, g.n),
                           lambda o, u, t, n: np.array([o.eval_at(t / n, u, o_x, n) for o_x in [0.0]])),
    const=ROUND, bound=0.5, dims={"t": 2},
    draw=lambda g, rng: (setattr(g, "lo", -g.L / 2), finish_time(g, dx2(g))))
# R(lambda) 1 = 1/lambda and R(lambda) is positive: lambda = 1/t, constants map to t times them.
row("Resolvent1D", stateless(lambda g: q.Resolvent1D(g.lo, g.lo + g.L, g.n), lambda o, u, t, n: o.eval(1.0 / t, u)),
    const=ROUND, const_factor=lambda g, t: t, bound=0.5, growth=lambda g, t: t, dims={"t": 2},
    rescale_result=lambda g, g2, v: v * (g.t / g2.t))
# The contour weights amplify rounding to ~1e-6 of max|g| (stated); constants stay constant.
JUMP = dict(lin=2e-6, const=2e-6, bound=2e-6, chain=4e-6, scale_tol=2e-6, dims={"t": 2},
            refuses=(r"t must lie in",))
row("ResolventJumpV8", stateless(lambda g: q.ResolventJumpV8(g.lo, g.lo + g.L, g.n, g.m),
                                 lambda o, u, t, n: o.jump(t, u)),
    draw=lambda g, rng: (setattr(g, "m", int(rng.choice([16, 24, 32, 48, 128]))),
                         finish_time(g, dx2(g))), **JUMP)
row("ResolventJump2DV8", stateless(lambda g: q.ResolventJump2DV8(g.lo, g.lo + g.L, g.n, g.lo, g.lo + g.L, g.n, g.m),
                                   lambda o, u, t, n: o.jump(t, u)),
    draw=lambda g, rng: (setattr(g, "m", int(rng.choice([16, 32, 48]))), setattr(g, "size", g.n ** 2),
                         finish_time(g, dx2(g))), sizes=(5, 9), **JUMP)
row("ResolventJump3DV8", stateless(lambda g: q.ResolventJump3DV8(g.lo, g.lo + g.L, g.n, g.lo, g.lo + g.L, g.n,
                                                                 g.lo, g.lo + g.L, g.n, g.m),
                                   lambda o, u, t, n: o.jump(t, u)),
    draw=lambda g, rng: (setattr(g, "m", int(rng.choice([16, 32]))), setattr(g, "size", g.n ** 3),
                         finish_time(g, dx2(g))), sizes=(4, 5), **JUMP)


# --- obstacles: positively homogeneous when the obstacle scales with the data ---------------
def level(g, u0):
    return g.ell * float(np.max(np.abs(u0)))


row("ObstacleChernoff", stateful(lambda g, u0: q.ObstacleChernoff(g.lo, g.lo + g.L, g.n, u0, a=g.a, b=g.b, c=0.0,
                                                                  level=level(g, u0)),
                                 read=lambda o: o.values()),
    draw=lambda g, rng: (setattr(g, "ell", float(rng.uniform(-1.5, 0.5))), setattr(g, "a", coef(rng, signed=False,
                                                                                               zero=0.0)),
                         setattr(g, "b", coef(rng)), finish_time(g, dx2(g) / g.a)),
    lin_power=1, const=lambda g: ROUND if g.ell <= 1.0 else None, chain=0.0, dims={"a": 2, "b": 1})
row("ObstacleNDV8", stateless(lambda g: q.ObstacleNDV8(g.lo, g.lo + g.L, g.n, g.lo, g.lo + g.L, g.n, g.ell * g.s),
                              lambda o, u, t, n: [u := o.apply(t / n, u) for _ in range(n)][-1]),
    draw=lambda g, rng: (setattr(g, "ell", float(rng.uniform(-1.5, 0.5))), setattr(g, "size", g.n ** 2),
                         finish_time(g, dx2(g))),
    lin=None, const=ROUND, chain=0.0, dims={"t": 2}, sizes=(5, 9))  # the level is fixed: not linear
row("ObstacleGammaV8", stateless(lambda g: q.ObstacleGammaV8(g.lo, g.lo + g.L, g.n, level=-2.0 * abs(g.s)),
                                 lambda o, u, t, n: o.inactive_gamma(u)[0]),
    # V'' of the data: zero for constants; lengths scale it by lam^-2. Not a flow: no t.
    lin=None, const=ROUND, const_want=lambda g, t, data: np.zeros(len(data)), dims={},
    rescale_result=lambda g, g2, v: v * (g2.L / g.L) ** 2)


# --- grids of two and more dimensions -------------------------------------------------------
def nd_draw(dim, diffusion=1.0):
    def draw(g, rng):
        g.size = g.n**dim
        finish_time(g, dx2(g) / diffusion)
    return draw


def box(g, dim):
    return [v for _ in range(dim) for v in (g.lo, g.lo + g.L)]


ND_HEAT = dict(boundaries=HEAT_BCS, const=heat_const, chain=0.0, dims={"t": 2}, bound=heat_bound(0.5),
               mass=lambda g: ROUND if g.boundary == "periodic" else None)
row("Heat2D", stateless(lambda g: q.Heat2D(g.lo, g.lo + g.L, g.n, g.lo, g.lo + g.L, g.n, boundary=g.boundary),
                        lambda o, u, t, n: o.evolve(u, t / n, n)), draw=nd_draw(2), sizes=(5, 9, 17), **ND_HEAT)
row("Heat3D", stateless(lambda g: q.Heat3D(g.lo, g.lo + g.L, g.n, g.lo, g.lo + g.L, g.n, g.lo, g.lo + g.L, g.n,
                                           boundary=g.boundary),
                        lambda o, u, t, n: o.evolve(u, t / n, n)), draw=nd_draw(3), sizes=(4, 5, 7), **ND_HEAT)
AXIS_A = lambda g: 1.0 + 0.5 * np.cos(np.linspace(0.0, 3.0, g.n))  # noqa: E731 -- a positive profile
row("Heat2DVarA", stateless(lambda g: q.Heat2DVarA(g.lo, g.lo + g.L, g.n, g.lo, g.lo + g.L, g.n, AXIS_A(g),
                                                   AXIS_A(g)[::-1].copy(), boundary=g.boundary),
                            lambda o, u, t, n: o.evolve(u, t / n, n)), draw=nd_draw(2, 1.5), sizes=(5, 9, 17),
    **ND_HEAT)
row("Heat3DVarA", stateless(lambda g: q.Heat3DVarA(g.lo, g.lo + g.L, g.n, g.lo, g.lo + g.L, g.n, g.lo, g.lo + g.L,
                                                   g.n, AXIS_A(g), AXIS_A(g), AXIS_A(g), boundary=g.boundary),
                            lambda o, u, t, n: o.evolve(u, t / n, n)), draw=nd_draw(3, 1.5), sizes=(4, 5, 7),
    **ND_HEAT)
# The mixed-derivative Taylor factor has no maximum principle: the 2-norm is what is kept.
NONSEP = dict(boundaries=HEAT_BCS, const=heat_const, chain=0.0, dims={"t": 2}, sizes=(5, 9, 17),
              mass=lambda g: ROUND if g.boundary == "periodic" else None)
row("NonSeparable2D", stateful(lambda g, u0: q.NonSeparable2D(g.lo, g.lo + g.L, g.n, g.lo, g.lo + g.L, g.n, u0,
                                                              c=g.c, boundary=g.boundary)),
    draw=lambda g, rng: (setattr(g, "c", float(rng.uniform(-1.9, 1.9)) if rng.random() < 0.7 else coef(rng, hi=1.9)),
                         nd_draw(2)(g, rng)), **NONSEP)
row("NonSeparable2DAniso", lambda g, u0, parts: [o := q.NonSeparable2DAniso(
        g.lo, g.lo + g.L, g.n, g.lo, g.lo + g.L, g.n, g.c * np.cos(np.linspace(0, 2, g.n * g.n)), u0,
        boundary=g.boundary)] and [o.evolve(t, n) for t, n in parts][-1],
    draw=lambda g, rng: (setattr(g, "c", float(rng.uniform(-1.9, 1.9))), nd_draw(2)(g, rng)), **NONSEP)
row("MatrixDiffusion2D", stateful(lambda g, u0: q.MatrixDiffusion2D(g.lo, g.lo + g.L, g.n, g.lo, g.lo + g.L, g.n, u0,
                                                                     a_diag=g.a, c_coupling=g.c)),
    sizes=(5, 9), draw=matrix_draw(2), **MATRIX)
row("MatrixDiffusion3D", stateful(lambda g, u0: q.MatrixDiffusion3D(*box(g, 3)[:2], g.n, *box(g, 3)[2:4], g.n,
                                                                     *box(g, 3)[4:], g.n, u0, a_diag=g.a,
                                                                     c_coupling=g.c)),
    sizes=(5,), draw=matrix_draw(3), **MATRIX)


def aniso(dim):
    def build(g, u0):
        a = np.tile((g.a * (np.eye(dim) + g.rho * (np.ones((dim, dim)) - np.eye(dim)))).ravel(), g.size)
        b = np.tile(np.full(dim, g.b), g.size)
        cls = q.AnisotropicShiftND2 if dim == 2 else q.AnisotropicShiftND3
        obj = cls(*([g.n] * dim), *box(g, dim), a, b_values=b, c_values=np.full(g.size, g.c), boundary=g.boundary)
        obj.set_state(u0)
        return obj

    def draw(g, rng):
        g.a, g.b, g.c = coef(rng, signed=False, zero=0.0), coef(rng), coef(rng)
        g.rho = float(rng.uniform(-0.9, 0.9))
        g.size = g.n**dim
        finish_time(g, dx2(g) / g.a)
    return dict(run=stateful(build), draw=draw)


# exp(tau c) a step: constants times e^{c t}; the clipped cubic reads keep the data's range.
ANISO = dict(boundaries=TRANSPORT_BCS, const=lambda g: None if g.boundary == "zero" else ROUND,
             const_factor=lambda g, t: math.exp(min(g.c * t, 700.0)), bound=CLIP, growth=reaction_growth, chain=0.0,
             dims={"a": 2, "b": 1})
row("AnisotropicShiftND2", sizes=(5, 9, 17), **aniso(2), **ANISO)
row("AnisotropicShiftND3", sizes=(4, 5), **aniso(3), **ANISO)
# Chart reads clamp at the edges and the weights are positive: the maximum; curvature weights
# keep constants. On the sphere the radius is the length (t scales with its square).
row("Manifold2D", stateful(lambda g, u0: q.Manifold2D(0.0, math.pi, g.n, 0.0, 2 * math.pi, g.n, u0,
                                                      manifold=g.manifold, radius=g.L)),
    draw=lambda g, rng: (setattr(g, "manifold", str(rng.choice(["torus", "sphere2", "hyperbolic2"]))),
                         setattr(g, "size", g.n * g.n), finish_time(g, (math.pi / g.n) ** 2 * min(g.L, 1e150) ** 2)),
    const=ROUND, bound=ROUND, chain=0.0, dims=lambda g: None if g.manifold == "torus" else {"t": 2},
    sizes=(5, 9, 17))
row("HypoellipticChernoffKolmogorov", stateful(lambda g, u0: q.HypoellipticChernoffKolmogorov(
        g.lo * g.Lx / g.L, (g.lo + g.L) * g.Lx / g.L, g.n, g.lo, g.lo + g.L, g.n, u0)),
    draw=lambda g, rng: (setattr(g, "Lx", g.L * float(rng.uniform(0.5, 4))), setattr(g, "size", g.n * g.n),
                         finish_time(g, dx2(g))),
    # p(x - c v, v) is dilated by x ~ lam^3, v ~ lam, t ~ lam^2; positive reads, constants.
    const=ROUND, bound=0.5, chain=0.0, dims={"t": 2, "Lx": 3}, sizes=(5, 9, 17))
row("HypoellipticChernoffEngel", stateful(lambda g, u0: q.HypoellipticChernoffEngel(g.lo, g.lo + g.L, g.n, u0)),
    draw=nd_draw(4), const=ROUND, bound=ROUND, chain=0.0, sizes=(4, 5), weight=0.5)  # 4-linear reads: positive
row("SmolyakD6V8", stateless(lambda g: q.SmolyakD6V8(g.lo, g.lo + g.L, g.n), lambda o, u, t, n: o.apply(t / n, u, n)),
    draw=nd_draw(6), r_max=0.108434, const=ROUND, chain=0.0, dims={"t": 2}, sizes=(4,), weight=0.5)
row("ComplexTripleJumpV8", stateless(lambda g: q.ComplexTripleJumpV8(g.lo, g.lo + g.L, g.n),
                                     lambda o, u, t, n: [u := o.apply_real(t / n, u) for _ in range(n)][-1]),
    draw=nd_draw(5), const=ROUND, chain=0.0, sizes=(4,), weight=0.4)
row("sample_gridfn2d", lambda g, u0, parts: np.array([q.sample_gridfn2d(u0, g.lo, g.lo + g.L, g.n, g.lo, g.lo + g.L, g.n,
                                                                        g.lo + f * g.L, g.lo + h * g.L)
                                                      for f, h in ((0.3, 0.7), (1.2, -0.1), (0.5, 0.5))]),
    draw=nd_draw(2), const=ROUND, const_want=lambda g, t, data: np.full(3, g.s), bound=ROUND,
    dims={})  # bilinear weights: a convex combination


# --- graphs: du/dt = -L u keeps constants and the sum; accepted steps keep the 2-norm -------
def graph_draw(rho_per_weight=4.0, r_max=None):
    """A path, a cycle or a random graph with weights w times a profile; t from r = tau rho."""
    def draw(g, rng):
        g.kind = str(rng.choice(["path", "cycle", "random"]))
        g.w = coef(rng, signed=False, zero=0.0)
        g.seed = int(rng.integers(0, 1000))
        g.omega = float(rng.uniform(0, 3)) / g.w
        g.size = g.n
        finish_time(g, 1.0 / (rho_per_weight * 2.0 * g.w))
    return draw


def graph(g, w=None):
    w = g.w if w is None else w
    rng = np.random.default_rng(g.seed)
    if g.kind == "path":
        pairs = [(i, i + 1) for i in range(g.n - 1)]
    elif g.kind == "cycle":
        pairs = [(i, (i + 1) % g.n) for i in range(g.n)]
    else:
        pairs = [(i, i + 1) for i in range(g.n - 1)] + [(i, j) for i in range(g.n) for j in range(i + 2, g.n)
                                                        if rng.random() < 0.2]
    flat_edges = [v for i, j in pairs for v in (i, j, w * (0.5 + rng.random()))]
    return q.Graph.from_edges(g.n, flat_edges)


def lap(g, w=None):
    return q.Laplacian.combinatorial(graph(g, w))


def rho(g):
    return lap(g).spectral_bound


GRAPH = dict(const=ROUND, mass=ROUND, norm2=ROUND, chain=0.0, dims={"w": -2, "t": 2, "omega": -2},
             sizes=(6, 12, 24), refuses=(r"2-norm grew",))
row("GraphHeat", stateless(lambda g: q.GraphHeat(graph=graph(g), rho_bar=rho(g)), lambda o, u, t, n: o.evolve(t, n, u)),
    draw=graph_draw(), **GRAPH)
row("GraphHeat4th", stateless(lambda g: q.GraphHeat4th(graph=graph(g), rho_bar=rho(g)),
                              lambda o, u, t, n: o.evolve(t, n, u)), draw=graph_draw(), **GRAPH)
row("GraphHeat6", stateless(lambda g: q.GraphHeat6(graph=graph(g), rho_bar=rho(g)),
                            lambda o, u, t, n: o.evolve(t, n, u)), draw=graph_draw(), **GRAPH)
# L_a = A^1/2 L A^1/2 keeps neither constants nor the sum; a scales like the weights.
row("VarCoefGraphHeat", stateless(lambda g: q.VarCoefGraphHeat(graph(g, 1.0), g.w * (1.5 + np.cos(np.arange(g.n))),
                                                               rho_bar=rho(types_w1(g))),
                                  lambda o, u, t, n: o.evolve(t, n, u)),
    draw=graph_draw(10.0), **dict(GRAPH, const=None, mass=None))


def types_w1(g):
    import copy
    g1 = copy.copy(g)
    g1.w = 1.0
    return g1


def lap_at(g):
    """L(t) = (1 + 0.5 sin(omega t)) L: a time-dependent Laplacian on a fixed pattern."""
    base = lap(g)
    ptr, idx, val = base.row_ptr(), base.col_idx(), base.vals()
    return lambda t: q.Laplacian.from_csr(ptr, idx.astype(np.int32), val * (1.0 + 0.5 * math.sin(g.omega * t)), g.n)


MAGNUS = dict(GRAPH, draw=graph_draw(6.0))
row("MagnusGraphHeat", stateless(lambda g: q.MagnusGraphHeat(graph=graph(g), lap_at_t=lap_at(g), rho_bar_max=1.5 * rho(g)),
                                 lambda o, u, t, n: o.evolve(t, n, u)), **dict(MAGNUS, chain=None))
row("MagnusGraphHeat6", stateless(lambda g: q.MagnusGraphHeat6(graph=graph(g), lap_at_t=lap_at(g),
                                                              rho_bar_max=1.5 * rho(g)),
                                  lambda o, u, t, n: o.evolve(t, n, u)), **dict(MAGNUS, chain=None))
row("VarCoefMagnusGraph", stateless(lambda g: q.VarCoefMagnusGraph(g.n, lap_at_t=lap_at(types_w1(g)),
                                                                   a_at_t=lambda t: np.full(g.n, g.w),
                                                                   rho_bar_max=1.5 * rho(types_w1(g)),
                                                                   a_sup_max=math.sqrt(g.w)),
                                    lambda o, u, t, n: o.evolve(t, n, u)),
    **dict(MAGNUS, chain=None))  # the callables are sampled from t = 0 at every call
row("GraphAdjoint", stateless(lambda g: q.GraphAdjoint(graph=graph(g), lap_at_t=lap_at(g), rho_bar=1.5 * rho(g)),
                              lambda o, u, t, n: o.evolve_state_adjoint(u, t, n)), **dict(MAGNUS, chain=None))
row("GraphAdjointPresampled", lambda g, u0, parts: q.GraphAdjointPresampled.from_presampled(
        graph(g), lap_at(g), 1.5 * rho(g), parts[0][1], parts[0][0]).evolve_state_adjoint(u0),
    **dict(MAGNUS, chain=None))
row("StrangGraph", stateless(lambda g: (q.StrangGraph.from_cycle if g.kind == "cycle" else q.StrangGraph.from_path)(
        q.Graph.cycle(g.n) if g.kind == "cycle" else q.Graph.path(g.n)), lambda o, u, t, n: o.evolve(t, n, u)),
    draw=lambda g, rng: (setattr(g, "kind", str(rng.choice(["path", "cycle"]))), setattr(g, "size", g.n),
                         finish_time(g, 0.25)),
    **dict(GRAPH, dims=None))  # unit weights: no length to scale
# The Krylov and Chebyshev actions meet tol = 1e-10 in the 2-norm of the data (stated).
KRYLOV = dict(GRAPH, lin=1e-8, const=1e-8, mass=1e-8, norm2=1e-8, chain=1e-8, scale_tol=1e-8)
row("GraphKrylov", stateless(lambda g: q.GraphKrylov(lap(g), path=g.path),
                             lambda o, u, t, n: o.evolve_batched(t, u[:, None])[:, 0]),
    draw=lambda g, rng: (setattr(g, "path", str(rng.choice(["chebyshev", "lanczos"]))), graph_draw()(g, rng)),
    **KRYLOV)


def sym_op(g):
    L = lap(g)
    return q.SymmetricOperator.from_csr(L.row_ptr(), L.col_idx().astype(np.int32), L.vals(), g.n)


row("SymmetricOperator", stateless(sym_op, lambda o, u, t, n, g: o.evolve_batched(t, u[:, None], path=g.path, n_steps=n)[:, 0]),
    draw=lambda g, rng: (setattr(g, "path", str(rng.choice(["chebyshev", "lanczos", "implicit"]))),
                         graph_draw()(g, rng)), **KRYLOV)


def upwind(g):
    """A = -Q, Q the generator of a walk with drift on a path: rows of A sum to zero."""
    n, w = g.n, g.w
    rows = [[] for _ in range(n)]
    for i in range(n):
        if i > 0:
            rows[i].append((i - 1, -w))
        if i < n - 1:
            rows[i].append((i + 1, -2.0 * w))
    ptr, idx, val = [0], [], []
    for i, r in enumerate(rows):
        r = sorted(r + [(i, -sum(v for _, v in r))])
        idx += [j for j, _ in r]
        val += [v for _, v in r]
        ptr.append(len(idx))
    return q.GeneralOperator.from_csr(n, np.array(ptr, np.int64), np.array(idx, np.int64), np.array(val))


# e^{t Q} of a walk's generator is a stochastic matrix: constants and the maximum.
row("GeneralOperator", stateless(upwind, lambda o, u, t, n: o.evolve_batched(t, u[:, None])[:, 0]), draw=graph_draw(),
    **dict(KRYLOV, mass=None, norm2=None, bound=1e-8))


def conservative(g):
    k = g.w * (1.5 + np.cos(np.linspace(0.0, 3.0, g.n)))
    return q.assemble_conservative_csr_1d(g.n, g.lo, g.lo + g.L, k) if g.assemble else \
        q.ConservativeDiffusionChernoff.from_k_array(g.n, g.lo, g.lo + g.L, k).to_symmetric_operator()


def conservative_draw(g, rng):
    g.assemble, g.w, g.size = bool(rng.random() < 0.5), coef(rng, signed=False, zero=0.0), g.n
    g.path = str(rng.choice(["chebyshev", "lanczos", "implicit"]))
    finish_time(g, dx2(g) / (5.0 * g.w))


CONSERVATIVE = dict(KRYLOV, draw=conservative_draw, dims={"t": 2}, sizes=(8, 16, 32))
for _name in ("assemble_conservative_csr_1d", "ConservativeDiffusionChernoff"):
    row(_name, stateless(conservative, lambda o, u, t, n, g: o.evolve_batched(t, u[:, None], path=g.path,
                                                                               n_steps=n)[:, 0]), **CONSERVATIVE)
# e^{-t M^-1 K}: constants and the mass sum(m u); its 2-norm is weighted, so no 2-norm check.
row("mass_lumped_evolve", stateless(conservative, lambda o, u, t, n, g: q.mass_lumped_evolve(
        o, g.m, t, u[:, None], path=g.path, n_steps=n)[:, 0]),
    **dict(CONSERVATIVE, norm2=None, mass_weights=lambda g: g.m,
           draw=lambda g, rng: (conservative_draw(g, rng), setattr(g, "m", 1.0 + rng.random(g.n)))))
# e^{-t A_hat}, A_hat = R^-T K R^-1 symmetric semidefinite: the 2-norm; M dense diagonal here.
row("MassKOperator", stateless(lambda g: q.MassKOperator.from_k_and_mass(conservative(g), np.diag(g.m).ravel()),
                               lambda o, u, t, n, g: o.evolve(t, u, path=g.path, n_steps=n)),
    **dict(CONSERVATIVE, const=None, mass=None,
           draw=lambda g, rng: (conservative_draw(g, rng), setattr(g, "m", 1.0 + rng.random(g.n)))))
# phi_k(tau A) 1 = 1/k! (A 1 = 0); tau scales with lengths squared.
PHI = dict(CONSERVATIVE, chain=None, mass=None, norm2=None)
row("phi_action", stateless(conservative, lambda o, u, t, n, g: q.phi_action(o, g.k, t, u)),
    **dict(PHI, const_factor=lambda g, t: 1.0 / math.factorial(g.k),
           draw=lambda g, rng: (conservative_draw(g, rng), setattr(g, "k", int(rng.integers(0, 4))))))
row("phi_action_batched", stateless(conservative, lambda o, u, t, n, g: q.phi_action_batched(o, 3, t, u)),
    **dict(PHI, const_want=lambda g, t, data: np.outer([1.0, 1.0, 0.5, 1 / 6], data).ravel()))
# Allen-Cahn is not linear: 0 and +-1 are steady states, and chained calls are one call.
row("Etdrk4", lambda g, u0, parts: [e := q.Etdrk4.from_symmetric_op(conservative(g), "allen_cahn", parts[0][0] / parts[0][1])]
    and [u0 := e.integrate(u0, n) for t, n in parts][-1],
    lin=None, const=ROUND, const_data=lambda g, u0: np.full_like(u0, float(np.sign(g.s) or 1.0)), chain=0.0,
    draw=conservative_draw, sizes=(8, 16))


# --- gradients: linear in the data, scaled by what they differentiate ------------------------
def grad_run(fn):
    return lambda g, u0, parts: fn(g, u0, parts[0][0], parts[0][1])


cot = lambda g: np.cos(np.arange(g.n) * 0.7)  # noqa: E731 -- a fixed cotangent dJ/du
GRAD = dict(sizes=(6, 12), draw=graph_draw(6.0), const=ROUND, const_want=lambda g, t, data: 0.0 * flat(data)[:1],
            dims={"w": -2, "t": 2}, rescale_result=lambda g, g2, v: v * (g.w / g2.w), refuses=(r"2-norm grew",))
row("edge_weight_grad", grad_run(lambda g, u0, t, n: q.edge_weight_grad(graph(g), u0=u0, dj_du_n=cot(g), t=t,
                                                                         n_steps=n, rho_bar=rho(g), params="all_edges")),
    **dict(GRAD, const_want=lambda g, t, data: np.zeros(graph(g).n_directed_edges // 2)))
row("edge_weight_grad_batched", grad_run(lambda g, u0, t, n: q.edge_weight_grad_batched(
        graph(g), u0_cols=np.stack([u0, u0[::-1]], 1), dj_du_n_cols=np.stack([cot(g), cot(g)], 1), t=t, n_steps=n,
        rho_bar=rho(g), params="all_edges")),
    **dict(GRAD, const_want=lambda g, t, data: np.zeros(graph(g).n_directed_edges // 2)))
row("graph_expmv_frechet", grad_run(lambda g, u0, t, n: q.graph_expmv_frechet(q.GraphKrylov(lap(g)), u0[:, None],
                                                                               cot(g)[:, None], t=t, params=[(0, 1)])),
    **dict(GRAD, lin=1e-8, scale_tol=1e-8, const=1e-8, const_want=lambda g, t, data: np.zeros(1)))
row("symmetric_op_expmv_frechet", grad_run(lambda g, u0, t, n: q.symmetric_op_expmv_frechet(
        sym_op(g), u0[:, None], cot(g)[:, None], t=t, entries=[(0, 1), (1, 1)])),
    **dict(GRAD, lin=1e-8, scale_tol=1e-8, const=None))
row("shift1d_coeff_grad", grad_run(lambda g, u0, t, n: q.shift1d_coeff_grad(
        g.lo, g.lo + g.L, g.n, np.full(g.n, g.a), np.full(g.n, g.b), np.zeros(g.n), u0, cot(g), t, n, wrt=g.wrt,
        boundary=g.boundary)),
    draw=lambda g, rng: (setattr(g, "wrt", str(rng.choice(["a", "b"]))), transport_draw("a", "b")(g, rng)),
    boundaries=TRANSPORT_BCS, const=ROUND, const_want=lambda g, t, data: np.zeros(g.n), dims={"a": 2, "b": 1},
    rescale_result=lambda g, g2, v: v * ((g2.L / g.L) ** (2 if g.wrt == "a" else 1)))
row("ReverseHeat1D", grad_run(lambda g, u0, t, n: np.array(q.ReverseHeat1D(g.theta, g.lo, g.lo + g.L, g.n, n)
                                                           .value_and_grad(t / n, u0[:g.n], u0[g.n:]))),
    draw=lambda g, rng: (setattr(g, "theta", coef(rng, signed=False, zero=0.0)), setattr(g, "size", 2 * g.n),
                         finish_time(g, dx2(g) / g.theta)),
    lin_power=2, dims={"theta": 2},  # J of k u0 and k target is k^2 J; dJ/dtheta scales lam^-2
    rescale_result=lambda g, g2, v: v * np.array([1.0, g2.theta / g.theta]))
row("EvolverHeat1DGreeksV3", lambda g, u0, parts: np.concatenate(
        q.EvolverHeat1DGreeksV3(g.lo, g.lo + g.L, g.n, u0, parts[0][1], g.theta).greeks(parts[0][0])),
    draw=lambda g, rng: (setattr(g, "theta", coef(rng, signed=False, zero=0.0)), finish_time(g, dx2(g) / g.theta)),
    const=ROUND, const_want=lambda g, t, data: np.concatenate([flat(data), 0 * flat(data), 0 * flat(data)]),
    dims={"theta": 2},  # value, d/dtheta and d2/dtheta2: lam^0, lam^-2, lam^-4
    rescale_result=lambda g, g2, v: v * np.repeat([1.0, g2.theta / g.theta, (g2.theta / g.theta) ** 2], g.n))


# --- metric graphs, measures, tensor trains -------------------------------------------------
def qgraph_heat(g, u0, parts):
    qg = q.QuantumGraph.star(3, edge_length=g.L, n_grid=g.n) if g.star else q.QuantumGraph.path(3, g.L, g.n)
    h = q.QuantumGraphHeat(qg)
    h.set_state(u0)
    for t, n in parts:
        h.evolve(t, n)
    return h.values()


# Kirchhoff vertices keep the trapezoidal mass and constants; the shift kernel's weights are
# positive, so the maximum too.
row("QuantumGraphHeat", qgraph_heat,
    draw=lambda g, rng: (setattr(g, "star", bool(rng.random() < 0.5)), setattr(g, "size", 3 * g.n),
                         finish_time(g, dx2(g) / 0.5)),
    r_max=1.0, const=ROUND, bound=ROUND, mass=ROUND, chain=0.0, dims={"t": 2},
    mass_weights=lambda g: np.tile(np.r_[0.5, np.ones(g.n - 2), 0.5], 3))


def moments(pos, w):
    """Mass, first and second moment: linear in the weights, and they scale as lam^0, 1, 2."""
    pos, w = np.asarray(pos), np.asarray(w)
    return np.array([np.sum(w), np.sum(w * pos), np.sum(w * pos * pos)])


def atoms(g):
    return g.L * np.array([0.0, 1.0, -0.5][:g.atoms])


def measure_draw(g, rng):
    g.a, g.b, g.c = coef(rng, signed=False, zero=0.2), coef(rng), coef(rng)
    g.atoms, g.size = int(rng.integers(1, 4)), None
    g.size = g.atoms
    finish_time(g, g.L**2 / max(g.a, 1e-300) if math.isfinite(g.L**2) else math.inf)


def gridless(g, u0, parts):
    m = q.MeasureState(atoms(g), u0, 1)
    ev = q.GridlessEvolver(g.a, g.b, g.c, voronoi_cap=8)
    for t, n in parts:
        ev.evolve(m, t, n)
    return moments(*m.marginal(0))


MEASURE = dict(draw=measure_draw, sizes=(3,), dims={"a": 2, "b": 1},
               rescale_result=lambda g, g2, v: v / np.array([1.0, g2.L / g.L, (g2.L / g.L) ** 2]))
# The binning keeps the mass and the mean exactly, not the variance; (1 + tau c)^n the mass.
row("GridlessEvolver", gridless, chain=ROUND, **MEASURE)
row("AdjointFokkerPlanckV8", lambda g, u0, parts: moments(*[s := (atoms(g), u0)] and
                                                         [s := q.AdjointFokkerPlanckV8(g.a, g.b, g.c).step(t / n, *s, n)
                                                          for t, n in parts][-1]),
    **dict(MEASURE, draw=lambda g, rng: (measure_draw(g, rng), setattr(g, "n_steps", min(g.n_steps, 8)))),
    chain=0.0)
FLOWS["AdjointFokkerPlanckV8"].data = lambda g, rng: g.s * rng.uniform(0.2, 1.0, g.atoms)
FLOWS["GridlessEvolver"].data = lambda g, rng: g.s * rng.uniform(-1.0, 1.0, g.atoms)


def tt(evolver):
    """A rank-1 train: slice 0 is the data, the others fixed; read by separable functionals."""
    def run(g, u0, parts):
        x = np.linspace(0.0, 1.0, g.n)
        s = q.TtState([u0] + [1.5 + np.cos(2 * math.pi * x + k) for k in range(g.d - 1)])
        ev = evolver(g)
        for t, n in parts:
            ev.evolve(s, t, n)
        return np.array([s.inner_separable([np.cos(k * x + j) for j in range(g.d)]) for k in range(3)])
    return run


def tt_draw(g, rng):
    g.d, g.b, g.c, g.eps = int(rng.integers(2, 4)), coef(rng), coef(rng, hi=1e3), 1e-12
    finish_time(g, dx2(g))


def tt_const(g, t, data):
    """The read of the constant state (1 + tau c)^n s on every node."""
    x = np.linspace(0.0, 1.0, g.n)
    return np.array([float(np.sum(np.cos(k * x) * flat(data))) * np.prod(
        [np.sum((1.5 + np.cos(2 * math.pi * x + j - 1)) * np.cos(k * x + j)) for j in range(1, g.d)])
        for k in range(3)]) * (1.0 + g.tau * g.c) ** g.n_steps


TT = dict(draw=tt_draw, sizes=(8, 16), lin=1e-9, chain=0.0, dims={"t": 2, "b": -1})
row("TtEvolver", tt(lambda g: q.TtEvolver([1.0] * g.d, [g.b] * g.d, g.c, [g.lo] * g.d, [g.lo + g.L] * g.d, g.eps)),
    **TT)
row("TtCoupledEvolver", tt(lambda g: q.TtCoupledEvolver([1.0] * g.d, [g.b] * g.d, g.c, ("Tridiagonal", 0.3),
                                                         [g.lo] * g.d, [g.lo + g.L] * g.d, g.eps)), **TT)
row("VarCoefTtEvolver", tt(lambda g: q.VarCoefTtEvolver([1.5 + np.cos(np.linspace(0, 6, g.n))] * g.d,
                                                        [np.full(g.n, g.b)] * g.d, [np.zeros(g.n)] * g.d,
                                                        [(g.lo, g.lo + g.L)] * g.d, g.eps)), **TT)


# --- the Heisenberg heat kernel: p_h(x, y, t) = p_1(x/sqrt h, y/sqrt h, t/h)/h^2 -------------
def heis(fn):
    def run(g, u0, parts):
        h = parts[0][0]
        pts = [(0.0, 0.0, 0.0), (0.3, -0.2, 0.5), (1.0, 0.5, -2.0)]
        return np.array([fn(h, x * math.sqrt(h), y * math.sqrt(h), tc * h) for x, y, tc in pts])
    return run


HEIS = dict(lin=None, draw=lambda g, rng: (setattr(g, "size", 1), finish_time(g, 1.0)), dims={"t": 2},
            # the reads are scaled by h: the values scale as h^-2 (stated); 4e-8 the stated error
            scale_tol=4e-8, rescale_result=lambda g, g2, v: v * (g2.t / g.t) ** 2,
            const=None)
row("heisenberg_heat_kernel", heis(q.heisenberg_heat_kernel), **HEIS)
row("HypoellipticChernoffHeisenberg", heis(lambda *a: q.HypoellipticChernoffHeisenberg().kernel(*a)), **HEIS)
for _name in ("heisenberg_heat_kernel", "HypoellipticChernoffHeisenberg"):
    FLOWS[_name].rescale_result = lambda g, g2, v: v * (g2.t / g.t) ** 2

# --- names with no flow of their own: containers, factories and the version -----------------
for _name, _why in [("GraphPath", "a graph; its flows are GraphHeat's"), ("Graph", "a graph"),
                    ("Laplacian", "an operator; evolved by the graph classes"),
                    ("GraphTraj", "a trajectory of Laplacians, no evolve"), ("QuantumGraph", "a metric graph"),
                    ("MeasureState", "a measure; GridlessEvolver evolves it"), ("TtState", "a tensor train; the Tt "
                     "evolvers evolve it"), ("GammaFamily", "a coefficient of WentzellV8"),
                    ("GrowthV3", "a growth bound record"), ("version", "the version string")]:
    row(_name, None, reason=_why)


# --- fixed draws, run before the generated ones: configurations that were answered wrong ----
ONE = dict(L=1.0, lo=0.0, s=1.0, rough=False, boundary="reflect")
FLOWS["MatrixDiffusion1D"].pins = [dict(ONE, n=41, a=1.0, c=0.0, t=t, n_steps=1, data=lambda g: np.full(82, 0.5))
                                   for t in (1e13, 1e14)] + [
    dict(ONE, n=21, L=1e-20, a=0.99, c=1e5, t=1e200, n_steps=1, data=lambda g: np.full(42, 1e-150))]
FLOWS["MatrixDiffusion2D"].pins = [dict(ONE, n=9, a=1.0, c=0.0, t=1e14, n_steps=1, size=162,
                                        data=lambda g: np.full(162, 0.5))]
FLOWS["MatrixDiffusion3D"].pins = [dict(ONE, n=5, a=1.0, c=0.0, t=1e14, n_steps=1, size=250,
                                        data=lambda g: np.full(250, 0.5))]
FLOWS["GridlessEvolver"].pins = [dict(ONE, atoms=2, a=2.0, b=-3.0, c=0.1, t=1.0, n_steps=40, k=k,
                                      data=lambda g: np.array([1.0, -0.5])) for k in (3.0, 2.0**-300)]
FLOWS["Subordinated1D"].pins = [dict(ONE, n=33, law="gamma", c=1e-20, alpha=0.5, t=0.01, n_steps=4),
                                dict(ONE, n=32, L=1e-20, law="stable", c=1.0, alpha=0.5, t=1e3, n_steps=1)]
for _name in ("Shift1D", "DriftReaction1D", "Strang1D"):
    FLOWS[_name].pins = [dict(ONE, n=33, a=0.5, b=0.5, c=0.0, s=1e306, t=0.1, n_steps=8)]
FLOWS["Heat1D6th"].pins = [dict(ONE, n=1001, L=1 - 1 / 1001, boundary="periodic", var=True, a0=1.0, phase=0.3,
                                t=0.1, n_steps=3, data=lambda g: np.cos(math.pi * np.arange(g.n) / g.n))]
FLOWS["NonSeparable2D"].pins = [dict(ONE, n=9, L=1000.0, c=3.3e-20, boundary="zero", t=1e300, n_steps=7, size=81)]
FLOWS["AdaptivePI"].pins = [dict(ONE, n=41, L=2.0, lo=-1.0, kernel="heat2", t=1e30, n_steps=1,
                                 data=lambda g: np.exp(-np.linspace(-1, 1, 41) ** 2 / 0.04))]
