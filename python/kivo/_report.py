"""The evaluator's HTML report: one self-contained page (styles and script inline, images as files beside it) with
the run's settings, the summary and a histogram per metric, the worst pairs with their SSIM and error maps, the
pairs that failed, and a sortable table of every pair. Plots are drawn with matplotlib (the ``evaluate`` extra)."""

from __future__ import annotations

import html
import math
import os
import pathlib
from dataclasses import dataclass
from typing import Any, Sequence

import numpy as np


@dataclass
class PairView:
    """What the report shows of one of the worst pairs: (H, W, C) images in [0, 1], the SSIM map (mean over
    channels, one value per window) and the absolute error (mean over channels, per pixel)."""

    reference: np.ndarray
    distorted: np.ndarray
    ssim_map: np.ndarray
    abs_error: np.ndarray


_STYLE = """
body { font: 14px/1.4 system-ui, sans-serif; margin: 2em; color: #222; background: #fff; }
h1 { font-size: 1.6em; } h2 { margin-top: 2em; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; } td, th { padding: 2px 10px; border-bottom: 1px solid #eee; text-align: right; }
td:first-child, th:first-child, .settings td { text-align: left; }
th.sortable { cursor: pointer; background: #f4f4f4; } th.sortable:hover { background: #e4e4e4; }
.plots img { width: 320px; margin: 4px; } .views img { height: 180px; margin: 2px; border: 1px solid #ccc; }
.pair { margin: 1.5em 0; } .failed { color: #a00; }
"""

# Sorts the table of every pair by the clicked column: numbers numerically (blank last), text alphabetically.
_SCRIPT = """
document.querySelectorAll("th.sortable").forEach(function (th) {
  th.addEventListener("click", function () {
    var table = th.closest("table"), body = table.tBodies[0], column = th.cellIndex;
    var ascending = th.dataset.order !== "ascending";
    table.querySelectorAll("th").forEach(function (other) { delete other.dataset.order; });
    th.dataset.order = ascending ? "ascending" : "descending";
    var key = function (row) {
      var text = row.cells[column].textContent, value = parseFloat(text);
      return th.dataset.type === "number" ? (isNaN(value) ? Infinity : value) : text;
    };
    var rows = Array.prototype.slice.call(body.rows);
    rows.sort(function (a, b) {
      var x = key(a), y = key(b);
      return (x < y ? -1 : x > y ? 1 : 0) * (ascending ? 1 : -1);
    });
    rows.forEach(function (row) { body.appendChild(row); });
  });
});
"""


def _pyplot() -> Any:
    import matplotlib

    matplotlib.use("Agg")  # files only, no display
    import matplotlib.pyplot as plt

    return plt


def _save_image(path: pathlib.Path, image: np.ndarray) -> None:
    plt = _pyplot()
    image = np.clip(image, 0, 1)
    if image.shape[2] == 1:
        plt.imsave(path, image[:, :, 0], cmap="gray", vmin=0, vmax=1)
    else:
        plt.imsave(path, image)


def _save_map(path: pathlib.Path, values: np.ndarray, title: str, top: float, colours: str) -> None:
    """A map in a perceptually uniform colour map from 0 to ``top``, with its colour bar."""
    plt = _pyplot()
    height, width = values.shape
    figure, axes = plt.subplots(figsize=(6.4, 6.4 * height / width + 0.6), dpi=100)
    shown = axes.imshow(values, cmap=colours, vmin=0, vmax=top, interpolation="nearest")
    axes.set_title(title)
    axes.axis("off")
    figure.colorbar(shown, ax=axes, fraction=0.046, pad=0.04)
    figure.savefig(path, bbox_inches="tight")
    plt.close(figure)


def _save_histogram(path: pathlib.Path, values: Sequence[float], label: str) -> None:
    plt = _pyplot()
    figure, axes = plt.subplots(figsize=(4.8, 3.2), dpi=100)
    axes.hist([v for v in values if math.isfinite(v)], bins=min(30, max(5, len(values))), color="#3b6ea5")
    axes.set_xlabel(label)
    axes.set_ylabel("pairs")
    figure.savefig(path, bbox_inches="tight")
    plt.close(figure)


def _cell(value: float | None, digits: int) -> str:
    return "" if value is None else f"{value:.{digits}f}"


def _table(header: Sequence[str], rows: Sequence[Sequence[str]], sortable: bool = False,
           kinds: Sequence[str] = (), css: str = "") -> str:
    head = "".join(
        f'<th class="sortable" data-type="{kinds[i] if i < len(kinds) else "text"}">{html.escape(h)}</th>'
        if sortable else f"<th>{html.escape(h)}</th>" for i, h in enumerate(header))
    body = "".join("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in row) + "</tr>" for row in rows)
    return f'<table class="{css}"><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>'


def write_report(directory: pathlib.Path, *, outcomes: Sequence[Any], metrics: Sequence[str],
                 summary: dict[str, Any], notes: dict[str, tuple[int, str, int]], labels: dict[str, str],
                 digits: dict[str, int], settings: dict[str, str], worst: Sequence[tuple[Any, PairView]],
                 worst_by: str, outputs: Sequence[pathlib.Path], name_of: Any) -> pathlib.Path:
    """Writes ``directory/index.html`` and the plots and images it shows; returns the page's path."""
    (directory / "plots").mkdir(parents=True, exist_ok=True)
    (directory / "worst").mkdir(exist_ok=True)
    compared = [o for o in outcomes if o.failure is None]
    failed = [o for o in outcomes if o.failure is not None]
    parts = ["<h1>kivo-evaluate report</h1>"]

    run_rows = [("pairs", str(len(outcomes))), ("compared", str(len(compared))), ("failed", str(len(failed))),
                *settings.items()]
    parts.append("<h2>Run</h2>" + _table(("", ""), run_rows, css="settings"))
    links = [f'<a href="{html.escape(os.path.relpath(p, directory))}">{html.escape(p.name)}</a>' for p in outputs]
    if links:
        parts.append("<p>Rows: " + ", ".join(links) + "</p>")

    summary_rows = [(labels[m], *(_cell(summary[m][k], digits[m]) for k in ("mean", "median", "min", "max")),
                     str(summary[m]["count"])) for m in metrics]
    plots = []
    for m in metrics:
        values = [o.values[m] for o in compared if o.values.get(m) is not None]
        if values:
            _save_histogram(directory / "plots" / f"{m}.png", values, labels[m])
            plots.append(f'<img src="plots/{m}.png" alt="histogram of {html.escape(labels[m])}">')
    parts.append("<h2>Summary</h2>" + _table(("metric", "mean", "median", "min", "max", "pairs"), summary_rows)
                 + f'<div class="plots">{"".join(plots)}</div>')
    for name, (count, why, _) in notes.items():
        parts.append(f"<p>No {html.escape(labels[name])} for {count} pairs: {html.escape(why)}</p>")

    parts.append(f"<h2>The {len(worst)} worst pairs by {html.escape(labels[worst_by])}</h2>")
    for rank, (outcome, view) in enumerate(worst, 1):
        files = []
        for kind in ("reference", "distorted", "ssim", "error"):
            path = directory / "worst" / f"{rank:03d}-{kind}.png"
            if kind in ("reference", "distorted"):
                _save_image(path, getattr(view, kind))
            elif kind == "ssim":
                _save_map(path, view.ssim_map, "SSIM map (mean over channels)", 1.0, "viridis")
            else:
                top = float(view.abs_error.max()) or 1.0
                _save_map(path, view.abs_error, "absolute error (mean over channels)", top, "magma")
            files.append(f'<a href="worst/{path.name}"><img src="worst/{path.name}" alt="{kind}"></a>')
        values = ", ".join(f"{labels[m]} {_cell(outcome.values.get(m), digits[m]) or '-'}" for m in metrics)
        parts.append(f'<div class="pair"><h3>{rank}. {html.escape(name_of(outcome))}</h3><p>{html.escape(values)}'
                     f'</p><div class="views">{"".join(files)}</div></div>')

    if failed:
        items = "".join(f'<li><span class="name">{html.escape(name_of(o))}</span>: {html.escape(o.failure)}</li>'
                        for o in failed)
        parts.append(f'<h2>Pairs not compared</h2><ul class="failed">{items}</ul>')

    rows = [(name_of(o), *(_cell(o.values.get(m), digits[m]) for m in metrics), o.failure or "") for o in outcomes]
    parts.append("<h2>Every pair</h2><p>Click a column to sort.</p>"
                 + _table(("pair", *(labels[m] for m in metrics), "error"), rows, sortable=True,
                          kinds=("text", *("number" for _ in metrics), "text")))

    page = directory / "index.html"
    page.write_text(f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>kivo-evaluate report'
                    f"</title><style>{_STYLE}</style></head><body>{''.join(parts)}<script>{_SCRIPT}</script>"
                    "</body></html>\n")
    return page
