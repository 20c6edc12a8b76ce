"""The examples run in their short setting, and the README's Python snippets run as written."""

import os
import pathlib
import re
import subprocess
import sys

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


SNIPPETS = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)


def test_the_readme_has_snippets():
    assert len(SNIPPETS) >= 3


@pytest.mark.parametrize("index", range(len(SNIPPETS)))
def test_readme_snippet_runs(index, capsys):
    exec(compile(SNIPPETS[index], f"README.md snippet {index}", "exec"), {})


def readme_section(title):
    text = (ROOT / "README.md").read_text()
    start = text.index(f"\n## {title}\n")
    end = text.find("\n## ", start + 1)
    return text[start:end if end > 0 else len(text)]


def test_readme_tells_what_is_built_and_what_is_not():
    import quorvane

    built = readme_section("What is built")
    missing = [name for name in quorvane.__all__ if not re.search(f"`{name}[`(.]", built)]
    assert not missing, f"add these to README's 'What is built': {missing}"
    not_yet = set(re.findall(r"`([A-Za-z_][A-Za-z0-9_]*)`", readme_section("What the system does not do (yet)")))
    present = sorted(not_yet & set(quorvane.__all__))
    assert not present, f"README lists {present} under 'What the system does not do (yet)', but the module has them"


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
