"""What every example shares: its command line and the optional plot.

Each example prints its numbers and, when matplotlib is installed (pip
install matplotlib, or pip install ".[plot]" in the repository), saves one
PNG; without matplotlib it says that the plot was skipped. The full settings
take up to a few seconds (advection_diffusion.py, the longest, 5-9 s on eight
processors, longer on a busy machine), --quick about a second. Options:

    --quick         a shorter setting (fewer step counts, smaller batches)
    --outdir DIR    where the PNG goes (default: the current directory)
"""

import argparse
import pathlib


def options(description):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--quick", action="store_true", help="a shorter setting")
    parser.add_argument("--outdir", default=".", help="folder for the PNG (default: current directory)")
    return parser.parse_args()


def save_plot(args, name, draw):
    """Call draw(plt) and save the current figure as DIR/name.png, if matplotlib is there."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"plot skipped: matplotlib is not installed ({name}.png not written; "
              f"pip install matplotlib, or pip install \".[plot]\" in the repository)")
        return None
    path = pathlib.Path(args.outdir) / f"{name}.png"
    path.parent.mkdir(parents=True, exist_ok=True)
    plt.figure(figsize=(7.0, 4.5))
    draw(plt)
    plt.tight_layout()
    plt.savefig(path, dpi=120, bbox_inches="tight")  # a legend outside the axes stays in the picture
    plt.close()
    print(f"plot saved: {path}")
    return path
