"""The examples run in their short setting; the README's Python blocks print what they say, and the
README keeps its shape: a calling table and an entry in its family's section for every public name,
short prose lines, each figure stated once."""

import os
import pathlib
import re
import subprocess
import sys
from decimal import Decimal

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = sorted(p for p in (ROOT / "examples").glob("*.py") if p.name != "gallery.py")


@pytest.mark.parametrize("script", EXAMPLES, ids=lambda p: p.stem)
def test_example_runs_quickly_and_reports_its_plot(script, tmp_path):
    done = subprocess.run([sys.executable, str(script), "--quick", "--outdir", str(tmp_path)],
                          capture_output=True, text=True, timeout=120, env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    png = tmp_path / f"{script.stem}.png"
    last = done.stdout.strip().splitlines()[-1]
    # With matplotlib the PNG is there; without it the script says so and still succeeds.
    assert (png.is_file() and last == f"plot saved: {png}") or last.startswith("plot skipped:"), done.stdout


README = (ROOT / "README.md").read_text()
SNIPPETS = re.findall(r"```python\n(.*?)```", README, re.S)


def test_the_readme_has_snippets():
    assert len(SNIPPETS) >= 3


NUMBER = re.compile(r"[-+]?\d+(?:\.\d+)?(?:e[-+]?\d+)?")


def printed_as_claimed(printed, claimed):
    """Whether an output line says what its comment claims: the same words, and every number
    of the claim equal to the printed one to the digits the claim shows (1.45e-06 for
    1.4499801e-06)."""
    if NUMBER.sub("#", printed).split() != NUMBER.sub("#", claimed).split():
        return False
    for got, shown in zip(NUMBER.findall(printed), NUMBER.findall(claimed)):
        last = Decimal(shown).as_tuple().exponent
        if abs(Decimal(got) - Decimal(shown)) > Decimal(5).scaleb(last - 1) * Decimal("1.000001"):
            return False
    return True


@pytest.mark.parametrize("index", range(len(SNIPPETS)))
def test_readme_snippet_runs_and_prints_what_its_comments_say(index, capsys):
    """Each print of a block runs once and prints one line; its comment gives that line, up
    to a ";" that starts a remark."""
    source = SNIPPETS[index]
    claims = [m.group(1).split(";")[0].strip()
              for m in re.finditer(r"^\s*print\(.*\)\s+#\s?(.*)$", source, re.M)]
    assert len(claims) == len(re.findall(r"^\s*print\(", source, re.M)), "every print needs its comment"
    exec(compile(source, f"README.md snippet {index}", "exec"), {})
    printed = capsys.readouterr().out.splitlines()
    assert len(printed) == len(claims), printed
    for got, claim in zip(printed, claims):
        assert printed_as_claimed(got, claim), f"printed {got!r}, the comment says {claim!r}"


@pytest.mark.parametrize("printed, claimed, same", [
    ("1.4499801247458421e-06", "1.45e-06", True),
    ("1.4599e-06", "1.45e-06", False),
    ("0.37 4.6e-07", "0.37 4.6e-07", True),
    ("OutOfDomain 1.690e28", "OutOfDomain 1.690e28", True),
    ("OutOfDomain 1.690e28", "NanInf 1.690e28", False),
    ("GridMismatch | n must be >= 4", "GridMismatch | n must be >= 5", False),
])
def test_printed_as_claimed_compares_to_the_digits_shown(printed, claimed, same):
    assert printed_as_claimed(printed, claimed) is same


def readme_section(title, level="##"):
    """The text under a heading of the given level, up to the next heading of that level or
    above (a "###" section includes its "####" subsections)."""
    start = README.index(f"\n{level} {title}\n")
    ends = [README.find(f"\n{'#' * k} ", start + 1) for k in range(1, len(level) + 1)]
    ends = [e for e in ends if e > 0]
    return README[start:min(ends) if ends else len(README)]


# The family sections, by the folder of python/ (and core/) whose bindings define a name.
FAMILIES = {
    "line": ["One-dimensional heat", "Transport: drift, reaction and their adjoints"],
    "bounded": ["Walls, killing, obstacles and resolvents"],
    "multid": ["Several dimensions"],
    "graph": ["Graphs"],
    "sparse": ["Sparse operators, Krylov actions and ETDRK4"],
    "sensitivity": ["Sensitivities and adjoints"],
    "tensor_train": ["Tensor trains"],
    "geometric": ["Geometric, quantum and particle evolvers"],
}


BINDINGS = [(f.parent.name, f.read_text()) for f in (ROOT / "python").glob("*/*.cpp")]


def binding_folder(name):
    """The subsystem folder of python/ whose binding defines name ("Name(" opens its
    docstring, "Name" its registration), or None for the module frame at the top."""
    folders = {folder for folder, text in BINDINGS if re.search(rf'"{re.escape(name)}["(]', text)}
    assert len(folders) <= 1, f"{name} is bound in {folders}"
    return folders.pop() if folders else None


def entries(text):
    """The names of the bold entries **`Name`** of a text."""
    return re.findall(r"\*\*`(\w+)`\*\*", text)


def test_every_public_name_has_one_entry_in_its_family_section():
    import quorvane

    families = {title: readme_section(title, "###") for titles in FAMILIES.values() for title in titles}
    counts = {name: entries(README).count(name) for name in quorvane.__all__}
    assert all(n == 1 for n in counts.values()), {k: n for k, n in counts.items() if n != 1}
    misplaced = []
    for name in quorvane.__all__:
        folder = binding_folder(name)
        titles = FAMILIES[folder] if folder else []
        inside = [title for title, text in families.items() if name in entries(text)]
        if (folder and not set(inside) & set(titles)) or (not folder and inside):
            misplaced.append((name, folder, inside))
    assert not misplaced, f"README entries outside their family's section: {misplaced}"
    unknown = sorted(set(entries(README)) - set(quorvane.__all__))
    assert not unknown, f"README has entries for {unknown}, which the module lacks"


def test_what_the_system_does_not_do_names_nothing_it_has():
    import quorvane

    not_done = set(re.findall(r"`([A-Za-z_][A-Za-z0-9_]*)`", readme_section("What the system does not do")))
    present = sorted(not_done & set(quorvane.__all__))
    assert not present, f"README lists {present} under 'What the system does not do', but the module has them"


def text_lines(tables=True):
    """(line number, line) of the README outside code blocks (and outside tables unless asked)."""
    lines, fenced = [], False
    for number, line in enumerate(README.splitlines(), 1):
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced and (tables or not line.startswith("|")):
            lines.append((number, line))
    return lines


def test_no_line_outside_code_and_tables_exceeds_300_characters():
    long = [(number, len(line)) for number, line in text_lines(tables=False) if len(line) > 300]
    assert not long, f"README lines longer than 300 characters (line, length): {long}"


# Constants that several sections rightly share: the double's epsilon.
SHARED_FIGURES = {"2.2e-16"}


def figures_by_section():
    """{figure: {headings}} of the numbers (and ranges of numbers) written with a decimal point
    or an exponent and three or more significant digits, outside code blocks, by the heading
    above them."""
    found, heading = {}, ""
    for _, line in text_lines():
        if line.startswith("#"):
            heading = line
            continue
        # A range ("1.01–1.06") is one figure.
        number = r"(?:\d+\.\d+(?:e[-+]?\d+)?|\d+e[-+]?\d+)"
        for figure in re.findall(rf"(?<![\w.\-–]){number}(?:–{number})?(?![\w.–])", line):
            digits = figure.split("–")[0].split("e")[0].replace(".", "").lstrip("0")
            if len(digits) >= 3:
                found.setdefault(figure, set()).add(heading)
    return found


def test_no_figure_appears_in_two_sections():
    repeated = {f: sorted(h) for f, h in figures_by_section().items() if len(h) > 1 and f not in SHARED_FIGURES}
    assert not repeated, f"README figures stated in more than one section (link to one instead): {repeated}"


# --- the README's calling-convention table ---------------------------------------------

def calling_table():
    """[(calls, names)] of "How each family is called": the backticked calls `m(a, b)` of a
    row's first column as (m, [a, b]), and the backticked names of its second column."""
    rows = re.findall(r"^\| (.+?) \| (.+?) \| .+ \|$", readme_section("How each family is called"), re.M)
    table = []
    for calls, names in rows:
        if calls == "Call":
            continue
        parsed = [(m, [a.strip() for a in args.split(",") if a.strip()])
                  for m, args in re.findall(r"`(\w+)\(([^`]*)\)`", calls)]
        table.append((parsed, re.findall(r"`(\w+)`", names)))
    return table


def test_every_public_name_is_in_the_calling_table():
    import quorvane

    listed = {name for _, names in calling_table() for name in names}
    missing = [name for name in quorvane.__all__ if name not in listed]
    assert not missing, f"add these to README's 'How each family is called': {missing}"
    unknown = sorted(listed - set(quorvane.__all__))
    assert not unknown, f"README's 'How each family is called' names {unknown}, which the module lacks"


CALLS = [pytest.param(cls, method, args, id=f"{cls}.{method}")
         for calls, names in calling_table() for method, args in calls for cls in names]


def test_the_calling_table_has_calls():
    assert len(CALLS) >= 60


def text_parameters(text_signature):
    """[(name, has_default)] of a "($self, t, n_steps=100)" text signature, without self.
    (Read as text: `lambda`, a parameter of Resolvent1D.eval, is no Python name.)"""
    parts = [p.strip() for p in text_signature.strip()[1:-1].split(",")]
    return [(p.split("=")[0].strip(), "=" in p) for p in parts if p and p not in ("*", "/", "$self", "$cls")]


@pytest.mark.parametrize("cls, method, args", CALLS)
def test_calling_table_row_matches_the_signature(cls, method, args):
    """The table's arguments lead the method's signature, in order; the rest have defaults
    unless the table ends with "…"."""
    import quorvane

    signature = getattr(getattr(quorvane, cls), method).__text_signature__
    params = text_parameters(signature)
    open_ended = bool(args) and args[-1] == "…"
    named = args[:-1] if open_ended else args
    assert [name for name, _ in params[:len(named)]] == named, f"{cls}.{method}{signature}"
    if not open_ended:
        required = [name for name, has_default in params[len(named):] if not has_default]
        assert not required, f"{cls}.{method} also needs {required}: the README's table should name them"


# --- the examples in the docstrings ----------------------------------------------------

def docstrings_of(name):
    """The docstrings a user reads with help(quorvane.<name>): the object's and its members'."""
    import quorvane

    obj = getattr(quorvane, name)
    docs = [(name, obj.__doc__ or "")]
    if isinstance(obj, type):
        docs += [(f"{name}.{m}", getattr(obj, m).__doc__ or "") for m in vars(obj) if not m.startswith("_")]
    return docs


def public_names():
    import quorvane

    return list(quorvane.__all__)


@pytest.mark.parametrize("name", public_names())
def test_docstring_examples_run_as_printed(name):
    import doctest

    import numpy as np
    import quorvane

    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    examples = 0
    # One namespace per name, as a reader who tries the examples in order would have.
    globs = {"np": np, "quorvane": quorvane}
    for where, doc in docstrings_of(name):
        test = parser.get_doctest(doc, globs, where, None, 0)
        examples += len(test.examples)
        runner.run(test, out=lambda text: print(text, end=""), clear_globs=False)
    assert runner.failures == 0, f"{runner.failures} docstring example(s) of {name} print something else"
    # QuorvaneError's docstring is fixed word for word; every other name shows how it is used.
    assert examples > 0 or name == "QuorvaneError", f"{name} has no docstring example"


@pytest.mark.parametrize("name", public_names())
def test_every_name_says_more_than_its_signature(name):
    """help() shows the docstring below the text signature: it must not be empty."""
    import quorvane

    assert (getattr(quorvane, name).__doc__ or "").strip(), f"{name} has an empty docstring"


# --- the step limits of the 1-D table ------------------------------------------------------

def readme_step_limits():
    """[(class, [(relation, multiple of dx^2)])] of the "Step limit" column of the 1-D table,
    e.g. ("Heat1DZeta8", [(">=", 0.08), ("<=", 6.5)]) for "0.08 dx² ≤ τ ≤ 6.5 dx²"."""
    rows = re.findall(r"^\| `(\w+)` \| [^|]+ \| [^|]+ \| ([^|]+) \|", readme_section("Choosing a class"), re.M)
    limits = []
    for name, cell in rows:
        bounds = [(">=", float(v)) for v in re.findall(r"([\d.]+) dx² ≤ τ", cell)]
        bounds += [("<=" if rel == "≤" else "<", float(v)) for rel, v in re.findall(r"τ ([≤<]) ([\d.]+) dx²", cell)]
        if bounds:
            limits.append((name, bounds))
    return limits


@pytest.mark.parametrize("name, bounds", readme_step_limits(), ids=lambda v: v if isinstance(v, str) else "")
@pytest.mark.parametrize("n", [11, 101, 1001])
def test_readme_step_limits_are_admitted(name, bounds, n):
    """A step the README's table allows is never refused: the limits are rounded inwards."""
    import numpy as np
    import quorvane

    x = np.linspace(0.0, 1.0, n)
    dx2 = (1.0 / (n - 1)) ** 2
    for relation, multiple in bounds:
        # A strict bound is approached from inside, by a relative 1e-9.
        tau = multiple * dx2 * (1.0 - 1e-9 if relation == "<" else 1.0)
        for boundary in ("reflect", "periodic"):
            obj = getattr(quorvane, name)(0.0, 1.0, n, np.cos(np.pi * x), boundary=boundary)
            obj.evolve(tau, 1)  # refused with CflViolated if the README promised too much


# --- the README's error table ----------------------------------------------------------

def readme_error_table():
    """{kind: the text of its row} from the table in "Errors a caller can see"."""
    rows = re.findall(r'^\| "(\w+)" \| (.*) \|$', readme_section("Errors a caller can see"), re.M)
    return dict(rows)


# Each situation, the words the README's table uses for it, and the kind it gives in general.
SITUATIONS = {
    "grid": ("invalid grid (xmin ≥ xmax", "GridMismatch"),
    "length": ("an array of the wrong length", "GridMismatch"),
    "nan": ("a NaN or infinite input", "NanInf"),
    "t<0": ("t < 0", "OutOfDomain"),
    "n_steps=0": ("n_steps = 0", "OutOfDomain"),
    "negative a": ("a negative diffusion coefficient", "OutOfDomain"),
    "option": ("an unknown option string", "OutOfDomain"),
    "unsupported option": ("an option or feature this build does not offer", "Unsupported"),
    "step": ("a step outside the class's stable range", "CflViolated"),
}


def _refusal_table():
    import math

    import numpy as np
    import quorvane as q

    nan = math.nan
    bad8 = np.array([1.0, 1.0, nan, 1.0, 1.0, 1.0, 1.0, 1.0])

    def one_d(name, **kw):
        return lambda u=None: getattr(q, name)(0.0, 1.0, 8, np.ones(8) if u is None else u, **kw)

    def csr_parts(g):
        lap = q.Laplacian.combinatorial(g)
        return lap.row_ptr(), lap.col_idx(), lap.vals()

    def sym8():
        return q.ConservativeDiffusionChernoff.from_k_array(8, 0.0, 1.0, np.ones(8)).to_symmetric_operator()

    def path8(t):
        return q.Laplacian.combinatorial(q.Graph.path(8))

    def graph_heat():
        return q.GraphHeat(graph=q.Graph.path(8), rho_bar=4.0)

    rows = []
    plain = ["Heat1D", "Heat1D4th", "Heat1D6th", "Heat1DZeta4", "Heat1DZeta6", "Heat1DZeta8", "TruncatedExp1D",
             "TruncatedExp4th1D", "DiffusionExpmv1D", "Shift1D", "DriftReaction1D", "DriftReaction4th1D", "Strang1D",
             "Adjoint", "AdaptivePI", "Reflected1D", "Robin1D", "DirichletHeat2nd1D", "Killing1D", "Killing2nd1D",
             "Subordinated1D", "Howland1D", "ObstacleChernoff"]
    for name in plain:
        kw = {"level": 0.0} if name == "ObstacleChernoff" else {}
        make = one_d(name, **kw)
        rows += [
            (name, "grid", lambda name=name, kw=kw: getattr(q, name)(1.0, 0.0, 8, np.ones(8), **kw)),
            (name, "length", lambda make=make: make(np.ones(7))),
            (name, "nan", lambda make=make: make(bad8)),
        ]
        if name not in ("ObstacleChernoff",):
            rows.append((name, "option", lambda name=name: one_d(name, boundary="mirror")()))
        if name == "AdaptivePI":
            rows.append((name, "t<0", lambda make=make: make().evolve(-1.0)))
        elif name != "Howland1D":
            rows += [(name, "t<0", lambda make=make: make().evolve(-1.0, n_steps=10)),
                     (name, "n_steps=0", lambda make=make: make().evolve(1.0, n_steps=0))]
    rows += [(name, "step", lambda name=name: one_d(name)().evolve(1.0, n_steps=1))
             for name in ("Heat1DZeta4", "Heat1DZeta6", "Heat1DZeta8", "TruncatedExp1D", "TruncatedExp4th1D",
                          "DriftReaction4th1D", "DirichletHeat2nd1D")]
    complex8 = np.ones(8, dtype=complex)
    rows += [
        ("Shift1D", "negative a", lambda: one_d("Shift1D", a=-1.0)().evolve(0.1)),
        ("Heat1D", "negative a", lambda: q.Heat1D.with_a_array(0.0, 1.0, 8, -np.ones(8), np.ones(8)).evolve(0.1)),
        ("ObstacleChernoff", "negative a", lambda: q.ObstacleChernoff(0.0, 1.0, 8, np.ones(8), a=-1.0, level=0.0)),
        ("AdjointFokkerPlanckV8", "negative a", lambda: q.AdjointFokkerPlanckV8(-1.0, 0.0, 0.0)),
        ("VarCoefTtEvolver", "negative a",
         lambda: q.VarCoefTtEvolver([-np.ones(8)], [np.zeros(8)], [np.zeros(8)], [(0.0, 1.0)], 1e-10)),
        ("TtEvolver", "negative a", lambda: q.TtEvolver([-1.0], [0.0], 0.0, [0.0], [1.0], 1e-10)),
        ("GridlessEvolver", "negative a", lambda: q.GridlessEvolver(-1.0, 0.0, 0.0)),
        ("AdaptivePI", "option", lambda: one_d("AdaptivePI", kernel="heat3")()),
        ("Subordinated1D", "unsupported option", lambda: one_d("Subordinated1D", subordinator="Stable")()),
        ("MatrixDiffusion1D", "length", lambda: q.MatrixDiffusion1D(0.0, 1.0, 8, np.ones(15))),
        ("MatrixDiffusion1D", "t<0", lambda: q.MatrixDiffusion1D(0.0, 1.0, 8, np.ones(16)).evolve(-1.0)),
        ("Schrodinger1D", "length", lambda: q.Schrodinger1D(0.0, 1.0, 8, complex8[:7])),
        ("Schrodinger1D", "step", lambda: q.Schrodinger1D(0.0, 1.0, 8, complex8).evolve(1e9, 1)),
        ("SchrodingerComplex1D", "length", lambda: q.SchrodingerComplex1D(0.0, 1.0, 8, complex8[:7])),
        ("SchrodingerComplex1D", "t<0", lambda: q.SchrodingerComplex1D(0.0, 1.0, 8, complex8).evolve(-1.0)),
        ("Heat2D", "length", lambda: q.Heat2D(0.0, 1.0, 4, 0.0, 1.0, 4).evolve(np.ones(15), 0.01, 2)),
        ("Heat2D", "nan", lambda: q.Heat2D(0.0, 1.0, 4, 0.0, 1.0, 4).evolve(np.r_[np.ones(15), nan], 0.01, 2)),
        ("Heat2D", "n_steps=0", lambda: q.Heat2D(0.0, 1.0, 4, 0.0, 1.0, 4).evolve(np.ones(16), 0.01, 0)),
        ("Heat2D", "option", lambda: q.Heat2D(0.0, 1.0, 4, 0.0, 1.0, 4, boundary="mirror")),
        ("Heat3D", "length", lambda: q.Heat3D(0.0, 1.0, 4, 0.0, 1.0, 4, 0.0, 1.0, 4).evolve(np.ones(63), 0.01, 2)),
        ("Heat2DVarA", "length", lambda: q.Heat2DVarA(0.0, 1.0, 4, 0.0, 1.0, 4, [1.0] * 4, [1.0] * 4).evolve(
            np.ones(15), 0.01, 2)),
        ("Manifold2D", "length", lambda: q.Manifold2D(0.0, 1.0, 5, 0.0, 1.0, 5, np.ones(24))),
        ("Manifold2D", "unsupported option", lambda: q.Manifold2D(0.0, 1.0, 5, 0.0, 1.0, 5, np.ones(25), manifold="cone")),
        ("Manifold2D", "step", lambda: q.Manifold2D(0.0, math.pi, 9, 0.0, 2 * math.pi, 9, np.ones(81),
                                                    manifold="sphere2").evolve(10.0, 1)),
        ("QuantumGraphHeat", "step", lambda: q.QuantumGraphHeat(q.QuantumGraph.star(3, n_grid=11)).evolve(1.0, 1)),
        ("ResolventJumpV8", "length", lambda: q.ResolventJumpV8(0.0, 1.0, 8, 32).jump(0.1, np.ones(7))),
        ("ResolventJumpV8", "t<0", lambda: q.ResolventJumpV8(0.0, 1.0, 8, 32).jump(-1.0, np.ones(8))),
        ("Resolvent1D", "nan", lambda: q.Resolvent1D(0.0, 1.0, 8).eval(1.0, bad8)),
        ("TtState", "nan", lambda: q.TtState([np.array([1.0, nan])])),
        ("MeasureState", "unsupported option", lambda: q.MeasureState([0.0], [1.0], 2)),
        ("GraphHeat", "length", lambda: graph_heat().evolve(1.0, 10, np.ones(7))),
        ("GraphHeat", "nan", lambda: graph_heat().evolve(1.0, 10, bad8)),
        ("GraphHeat", "t<0", lambda: graph_heat().evolve(-1.0, 10, np.ones(8))),
        ("GraphHeat", "n_steps=0", lambda: graph_heat().evolve(1.0, 0, np.ones(8))),
        ("GraphHeat", "step", lambda: graph_heat().evolve(10.0, 1, np.ones(8))),
        ("VarCoefGraphHeat", "step", lambda: q.VarCoefGraphHeat(q.Graph.path(8), np.ones(8), rho_bar=4.0).evolve(
            10.0, 1, np.ones(8))),
        ("MagnusGraphHeat", "step", lambda: q.MagnusGraphHeat(graph=q.Graph.path(8), lap_at_t=path8,
                                                              rho_bar_max=4.0).evolve(5.0, 4, np.ones(8))),
        ("MagnusGraphHeat6", "step", lambda: q.MagnusGraphHeat6(graph=q.Graph.path(8), lap_at_t=path8,
                                                                rho_bar_max=4.0).evolve(5.0, 4, np.ones(8))),
        ("GraphAdjoint", "step", lambda: q.GraphAdjoint(graph=q.Graph.path(8), lap_at_t=path8,
                                                        rho_bar=4.0).evolve_state_adjoint(np.ones(8), 5.0, n_steps=4)),
        ("VarCoefMagnusGraph", "step", lambda: q.VarCoefMagnusGraph(
            8, lap_at_t=path8, a_at_t=lambda t: np.ones(8), rho_bar_max=4.0, a_sup_max=1.0).evolve(5.0, 4, np.ones(8))),
        ("SmolyakD6V8", "step", lambda: q.SmolyakD6V8(0.0, 1.0, 4).apply(10.0, np.ones(4**6), n_steps=2)),
        ("AdjointFokkerPlanckV8", "step", lambda: q.AdjointFokkerPlanckV8(1.0, 0.0, -10.0).step(1.0, [0.0], [1.0])),
        ("TtEvolver", "step", lambda: q.TtEvolver([1.0], [0.0], -10.0, [0.0], [1.0], 1e-10).evolve(
            q.TtState([np.ones(8)]), 1.0, 1)),
        ("GraphKrylov", "nan", lambda: q.GraphKrylov(q.Laplacian.combinatorial(q.Graph.path(8))).evolve_batched(
            0.1, bad8[:, None].copy())),
        ("GraphKrylov", "unsupported option",
         lambda: q.GraphKrylov(q.Laplacian.combinatorial(q.Graph.path(8)), path="foo")),
        ("SymmetricOperator", "unsupported option", lambda: sym8().evolve_batched(0.1, np.ones((8, 1)), path="foo")),
        ("Etdrk4", "option", lambda: q.Etdrk4.from_symmetric_op(sym8(), "foo", 0.1)),
        ("GeneralOperator", "nan", lambda: q.GeneralOperator.from_csr(8, *csr_parts(q.Graph.path(8))).evolve_batched(
            0.1, bad8[:, None].copy())),
        ("SymmetricOperator", "nan", lambda: sym8().evolve_batched(0.1, bad8[:, None].copy())),
        ("MassKOperator", "nan", lambda: q.MassKOperator.from_k_and_mass(sym8(), np.eye(8).ravel()).evolve(0.1, bad8)),
        ("mass_lumped_evolve", "nan", lambda: q.mass_lumped_evolve(sym8(), np.ones(8), 0.1, bad8[:, None].copy())),
        ("mass_lumped_evolve", "length", lambda: q.mass_lumped_evolve(sym8(), np.ones(8), 0.1, np.ones(8))),
        ("Etdrk4", "nan", lambda: q.Etdrk4.from_symmetric_op(sym8(), "allen_cahn", 0.1).step(bad8)),
        ("phi_action", "nan", lambda: q.phi_action(sym8(), 1, 0.1, bad8)),
    ]
    return [pytest.param(*row, id=f"{row[0]}-{row[1]}") for row in rows]


@pytest.mark.parametrize("cls, situation, call", _refusal_table())
def test_readme_error_table_names_the_kind_each_class_raises(cls, situation, call):
    import quorvane

    words, general = SITUATIONS[situation]
    with pytest.raises(quorvane.QuorvaneError) as info:
        call()
    kind = info.value.kind
    table = readme_error_table()
    assert kind in table, f"{cls}: kind {kind} is not in the README's table"
    if kind == general:
        assert words in table[kind], f"README: the row of {kind} should name '{words}'"
    else:
        # A class that departs from the general rule is named in the table with the kind it gives.
        rows = [text for k, text in table.items() if re.search(f"`{cls}[`.]", text) and (k == kind or kind in text)]
        assert rows, f"{cls} answers {situation} with {kind} (not {general}): the README's table must say so"
