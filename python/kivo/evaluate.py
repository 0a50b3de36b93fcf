"""Compares every image pair of two folders, or of a list, with the library's metrics.

    python -m kivo.evaluate REFERENCE DISTORTED [--metrics ssim,ms-ssim,psnr,gmsd,mae] [--convention NAME]
                            [--csv F] [--json F]
    python -m kivo.evaluate --pairs LIST.csv ...
    python -m kivo.evaluate REFERENCE DISTORTED --report DIR [--report-worst N] [--report-by METRIC] [--maps DIR]
    torchrun --nproc_per_node=N -m kivo.evaluate ...      (also installed as ``kivo-evaluate``)

Pairs are matched by their path relative to the two folders (PNG, JPEG and TIFF files; 8 or 16 bits; grey, RGB,
grey or RGB with an alpha channel, which is dropped; turned upright by their EXIF orientation, as viewers show
them), or listed in a CSV file of ``reference,distorted`` rows (relative paths are
relative to the list). Samples are scaled to [0, 1] (so MSE and MAE are in that unit, and the data range is 1).
Files are decoded in parallel by a ``DataLoader``; images of equal size are batched and compared on the GPU, or
on the CPU through ``libkivo_cpu.so`` (``KIVO_CPU_BACKEND=sim``: the simulation). One row per pair goes to ``--csv`` and/or ``--json``; a summary
(mean, median, min, max of each metric), the worst pairs and the pairs that could not be compared (a missing
counterpart, an undecodable file, a size or channel mismatch, with the reason) are printed. In the JSON file a
value that was not computed is ``null``, and an infinite or undefined one (the PSNR of identical images) the
string ``"inf"``, ``"-inf"`` or ``"nan"``. Output paths are checked before any pair is compared. The exit status is 0 when every
pair was compared, 1 when any could not be, 2 for a command-line error.

``--report DIR`` writes ``DIR/index.html``, a page to look at (see ``kivo._report``): the run, the summary with a
histogram per metric, the worst pairs by a metric with their images, SSIM map and error map, the failures and a
sortable table of every pair. ``--maps DIR`` writes the SSIM map of every pair (the mean over channels, one value
per window): a 16-bit grey PNG (0..1 as 0..65535, negative values as 0) or float32 ``.npy``, named after the pair.
``--convention NAME`` computes SSIM, MS-SSIM and PSNR as another package defines them (see ``kivo.compat``;
``kivo``, the default, is the library's own); the report and the JSON file name the convention used.

Under ``torchrun`` each process takes a disjoint share of the pairs and its own GPU; rank 0 gathers the rows
and alone writes the files and the summary, which are those of a single-process run. Maps are written by the
process that compares the pair; the worst pairs' views are computed after the gather, shared out among the
processes, and the report is written by rank 0.
"""

from __future__ import annotations

import argparse
import csv
import datetime
import importlib
import json
import math
import os
import pathlib
import shlex
import statistics
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Sequence

import numpy as np
import torch

from . import compat
from . import functional as F
from ._library import host_backend, library
from ._report import PairView, write_report

__all__ = ["main"]

EXTENSIONS = {".png", ".jpg", ".jpeg", ".tif", ".tiff"}


@dataclass(frozen=True)
class MetricSpec:
    label: str
    compute: Callable[..., torch.Tensor]
    higher_is_better: bool
    digits: int


METRICS: dict[str, MetricSpec] = {
    "ssim": MetricSpec("SSIM", F.ssim, True, 6),
    "ms-ssim": MetricSpec("MS-SSIM", F.ms_ssim, True, 6),
    "psnr": MetricSpec("PSNR dB", F.psnr, True, 3),
    "gmsd": MetricSpec("GMSD", F.gmsd, False, 6),
    "mae": MetricSpec("MAE", F.mae, False, 6),
    "mse": MetricSpec("MSE", F.mse, False, 8),
}
DEFAULT_METRICS = "ssim,ms-ssim,psnr,gmsd,mae"


# ---- Pairs ---------------------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Pair:
    index: int
    reference: str  # as reported: relative to the folder, or as listed
    distorted: str
    reference_path: pathlib.Path
    distorted_path: pathlib.Path


@dataclass
class Outcome:
    """What became of one pair: its values, or the reason it could not be compared."""

    index: int
    reference: str
    distorted: str
    values: dict[str, float | None] = field(default_factory=dict)
    failure: str | None = None


def _images_below(root: pathlib.Path) -> dict[str, pathlib.Path]:
    return {p.relative_to(root).as_posix(): p for p in root.rglob("*")
            if p.suffix.lower() in EXTENSIONS and p.is_file()}


def pairs_of_folders(reference: pathlib.Path, distorted: pathlib.Path) -> tuple[list[Pair], list[Outcome]]:
    """Pairs matched by relative path, and an outcome for every image without a counterpart."""
    ours, theirs = _images_below(reference), _images_below(distorted)
    pairs, unmatched = [], []
    for index, name in enumerate(sorted(ours.keys() | theirs.keys())):
        if name not in theirs:
            unmatched.append(Outcome(index, name, "", failure="missing counterpart: no distorted image"))
        elif name not in ours:
            unmatched.append(Outcome(index, "", name, failure="missing counterpart: no reference image"))
        else:
            pairs.append(Pair(index, name, name, ours[name], theirs[name]))
    return pairs, unmatched


def pairs_of_list(listing: pathlib.Path) -> tuple[list[Pair], list[Outcome]]:
    """The pairs of a CSV file of (reference, distorted) rows; a first row "reference,distorted" is a header."""
    with open(listing, newline="") as f:
        rows = [row for row in csv.reader(f) if row and any(cell.strip() for cell in row)]
    if rows and [cell.strip().lower() for cell in rows[0][:2]] == ["reference", "distorted"]:
        rows = rows[1:]
    pairs, missing = [], []
    for index, row in enumerate(rows):
        if len(row) < 2:
            raise ValueError(f"{listing}: row {index + 1} does not name two files")
        names = (row[0].strip(), row[1].strip())
        paths = [pathlib.Path(n) if pathlib.Path(n).is_absolute() else listing.parent / n for n in names]
        absent = [n for n, p in zip(names, paths) if not p.is_file()]
        if absent:
            missing.append(Outcome(index, *names, failure="missing counterpart: no file " + ", ".join(absent)))
        else:
            pairs.append(Pair(index, *names, *paths))
    return pairs, missing


# ---- Decoding (in the DataLoader's workers) ------------------------------------------------------------------


class Undecodable(Exception):
    pass


def _opencv() -> Any:
    """OpenCV, with its own log messages silenced (a failure is reported once, as this pair's reason)."""
    os.environ.setdefault("OPENCV_LOG_LEVEL", "OFF")
    import cv2

    logging = getattr(getattr(cv2, "utils", None), "logging", None)
    if logging is not None:
        logging.setLogLevel(logging.LOG_LEVEL_SILENT)
    return cv2


def _png_grey_with_alpha(data: np.ndarray) -> bool:
    """Whether the bytes are a PNG whose header says grey + alpha (colour type 4), which the decoder expands to
    colour."""
    return data.size > 25 and data[:8].tobytes() == b"\x89PNG\r\n\x1a\n" and data[25] == 4


def decode(path: pathlib.Path) -> np.ndarray:
    """An image as float32 (C, H, W) samples in [0, 1]: grey or RGB, alpha dropped, EXIF orientation applied."""
    cv2 = _opencv()
    try:
        data = np.fromfile(path, dtype=np.uint8)
        # Any depth and colour, alpha dropped; unlike "unchanged", this applies the EXIF orientation.
        image = cv2.imdecode(data, cv2.IMREAD_ANYDEPTH | cv2.IMREAD_ANYCOLOR) if data.size else None
    except (cv2.error, OSError, ValueError) as e:
        raise Undecodable(f"undecodable file: {path} ({str(e).strip().splitlines()[-1]})") from None
    if image is None:
        raise Undecodable(f"undecodable file: {path}" + (" (empty)" if data.size == 0 else ""))
    if image.ndim == 2:
        image = image[:, :, None]
    if image.shape[2] == 4:
        image = image[:, :, :3]
    if _png_grey_with_alpha(data):
        image = image[:, :, :1]
    if image.shape[2] == 3:
        image = image[:, :, ::-1]  # the decoder's BGR order to RGB
    if image.dtype == np.uint8:
        scale = 255.0
    elif image.dtype == np.uint16:
        scale = 65535.0
    elif image.dtype.kind == "f":
        scale = 1.0
    else:
        raise Undecodable(f"undecodable file: {path} has {image.dtype} samples")
    return np.ascontiguousarray(image.transpose(2, 0, 1), dtype=np.float32) / np.float32(scale)


def _describe(shape: Sequence[int]) -> str:
    channels = {1: "grey", 3: "RGB"}.get(shape[0], f"{shape[0]} channels")
    return f"{shape[2]} x {shape[1]} {channels}"


class PairImages(torch.utils.data.Dataset):
    """Decodes the two images of each pair; an item is (pair position, reference, distorted, failure)."""

    def __init__(self, pairs: Sequence[Pair]) -> None:
        self.pairs = pairs

    def __len__(self) -> int:
        return len(self.pairs)

    def __getitem__(self, i: int) -> tuple[int, Any, Any, str | None]:
        pair = self.pairs[i]
        try:
            reference, distorted = decode(pair.reference_path), decode(pair.distorted_path)
        except Undecodable as e:
            return i, None, None, str(e)
        if reference.shape != distorted.shape:
            what = "channel" if reference.shape[1:] == distorted.shape[1:] else "size"
            return i, None, None, (f"{what} mismatch: reference {_describe(reference.shape)}, "
                                   f"distorted {_describe(distorted.shape)}")
        return i, torch.from_numpy(reference), torch.from_numpy(distorted), None


# ---- Comparing ---------------------------------------------------------------------------------------------------


class Progress:
    """A progress bar on a terminal; plain lines every 10 seconds otherwise."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total, self.done, self.bar = total, 0, None
        self.enabled = enabled
        self.last = time.monotonic()
        if enabled and sys.stderr.isatty():
            try:
                from tqdm import tqdm

                self.bar = tqdm(total=total, unit="pair", file=sys.stderr)
            except ImportError:
                pass

    def advance(self, n: int) -> None:
        self.done += n
        if self.bar is not None:
            self.bar.update(n)
        elif self.enabled and (time.monotonic() - self.last >= 10 or self.done == self.total):
            self.last = time.monotonic()
            print(f"kivo-evaluate: {self.done} of {self.total} pairs", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class Comparer:
    """Batches decoded pairs by size and compares each batch with every metric."""

    def __init__(self, pairs: Sequence[Pair], metrics: Sequence[str], device: torch.device, batch_size: int,
                 maps: pathlib.Path | None = None, maps_format: str = "png",
                 convention: compat.Convention | None = None) -> None:
        self.pairs, self.metrics, self.device, self.batch_size = pairs, metrics, device, batch_size
        self.maps, self.maps_format = maps, maps_format
        self.convention = compat.get(convention)
        self.buckets: dict[tuple[int, ...], list[tuple[int, torch.Tensor, torch.Tensor]]] = {}
        self.outcomes: list[Outcome] = []
        # metric -> (pairs without a value, why, for the smallest of their images)
        self.notes: dict[str, tuple[int, str, int]] = {}

    def add(self, position: int, reference: Any, distorted: Any, failure: str | None) -> int:
        """Takes one decoded pair; returns how many pairs were finished by it."""
        if failure is not None:
            pair = self.pairs[position]
            self.outcomes.append(Outcome(pair.index, pair.reference, pair.distorted, failure=failure))
            return 1
        bucket = self.buckets.setdefault(tuple(reference.shape), [])
        bucket.append((position, reference, distorted))
        if len(bucket) < self.batch_size:
            return 0
        del self.buckets[tuple(reference.shape)]
        return self.compare(bucket)

    def flush(self) -> int:
        finished = sum(self.compare(bucket) for bucket in self.buckets.values())
        self.buckets.clear()
        return finished

    def compare(self, batch: list[tuple[int, torch.Tensor, torch.Tensor]]) -> int:
        x = torch.stack([r for _, r, _ in batch]).to(self.device, non_blocking=True)
        y = torch.stack([d for _, _, d in batch]).to(self.device, non_blocking=True)
        columns, computed = [], []
        if self.maps is not None:
            self.write_maps(batch, x, y)
        for name in self.metrics:
            try:
                columns.append(self.measure(name, x, y).double())
                computed.append(name)
            except ValueError as e:  # an image too small for this metric
                self.notes[name] = _add_note(self.notes.get(name), len(batch), str(e), min(x.shape[2:]))
        table = torch.stack(columns).cpu().tolist() if columns else []  # one read-back per batch
        for row, (position, _, _) in enumerate(batch):
            pair = self.pairs[position]
            values: dict[str, float | None] = {name: None for name in self.metrics}
            values.update({name: table[i][row] for i, name in enumerate(computed)})
            self.outcomes.append(Outcome(pair.index, pair.reference, pair.distorted, values))
        return len(batch)

    def measure(self, name: str, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        """Per-image values of one metric, SSIM, MS-SSIM and PSNR as the convention defines them."""
        if name in _CONVENTION_METRICS:
            return self.convention.compute(_CONVENTION_METRICS[name], x, y, reduction="none")
        return METRICS[name].compute(x, y, reduction="none")

    def write_maps(self, batch: list[tuple[int, torch.Tensor, torch.Tensor]], x: torch.Tensor,
                   y: torch.Tensor) -> None:
        """The SSIM map of every pair of the batch, to a file named after the pair (none for images smaller than
        the window: their SSIM is noted as missing)."""
        assert self.maps is not None
        try:
            _, ssim_map = F.ssim(x, y, reduction="none", return_map=True)
        except ValueError:
            return
        for (position, _, _), values in zip(batch, ssim_map.mean(1).cpu().numpy()):
            path = self.maps / map_name(self.pairs[position], self.maps_format)
            path.parent.mkdir(parents=True, exist_ok=True)
            if self.maps_format == "npy":
                np.save(path, values.astype(np.float32))
            else:
                import cv2

                cv2.imwrite(str(path), (np.clip(values, 0, 1) * 65535).round().astype(np.uint16))


_CONVENTION_METRICS = {"ssim": "ssim", "ms-ssim": "ms_ssim", "psnr": "psnr"}


def map_name(pair: Pair, extension: str) -> pathlib.PurePath:
    """Where a pair's map goes below the maps folder: its reference's relative path (a listed absolute path
    loses its root), with the extension replaced."""
    name = pathlib.PurePath(pair.reference)
    parts = [p for p in name.parts[1 if name.is_absolute() else 0:] if p not in ("..", ".")]
    return pathlib.PurePath(*parts).with_suffix("." + extension)


def compare_pairs(pairs: Sequence[Pair], metrics: Sequence[str], device: torch.device, batch_size: int,
                  workers: int, progress: Progress, maps: pathlib.Path | None = None,
                  maps_format: str = "png", convention: compat.Convention | None = None) -> Comparer:
    comparer = Comparer(pairs, metrics, device, batch_size, maps, maps_format, convention)
    loader = torch.utils.data.DataLoader(PairImages(pairs), batch_size=None, shuffle=False, num_workers=workers,
                                         pin_memory=device.type == "cuda")
    for position, reference, distorted, failure in loader:
        progress.advance(comparer.add(position, reference, distorted, failure))
    progress.advance(comparer.flush())
    progress.close()
    return comparer


def _add_note(note: tuple[int, str, int] | None, count: int, why: str, size: int) -> tuple[int, str, int]:
    """A note counting ``count`` more pairs, whose reason is that of the smallest image concerned."""
    if note is None:
        return count, why, size
    return note[0] + count, *(min((note[1:], (why, size)), key=lambda n: n[1]))  # type: ignore[return-value]


# ---- Processes -------------------------------------------------------------------------------------------------


@dataclass
class Processes:
    rank: int = 0
    world: int = 1
    local_rank: int = 0

    @property
    def distributed(self) -> bool:
        return self.world > 1


def start_processes(device: str) -> tuple[Processes, torch.device]:
    """The process group under torchrun (WORLD_SIZE > 1), and this process's device."""
    processes = Processes(int(os.environ.get("RANK", 0)), int(os.environ.get("WORLD_SIZE", 1)),
                          int(os.environ.get("LOCAL_RANK", 0)))
    use_cuda = device == "cuda" or (device == "auto" and torch.cuda.is_available())
    if use_cuda:
        torch.cuda.set_device(processes.local_rank % max(torch.cuda.device_count(), 1))
        chosen = torch.device("cuda", torch.cuda.current_device())
    else:
        chosen = torch.device("cpu")
    if processes.distributed:
        import torch.distributed as dist

        dist.init_process_group("nccl" if use_cuda else "gloo")
    return processes, chosen


def gather(processes: Processes, comparer: Comparer) -> tuple[list[Outcome], dict[str, tuple[int, str, int]]]:
    """Every process's outcomes and notes, at rank 0 (elsewhere: empty)."""
    if not processes.distributed:
        return comparer.outcomes, comparer.notes
    import torch.distributed as dist

    parts: list[Any] | None = [None] * processes.world if processes.rank == 0 else None
    dist.gather_object((comparer.outcomes, comparer.notes), parts, dst=0)
    if parts is None:
        return [], {}
    outcomes = [o for part_outcomes, _ in parts for o in part_outcomes]
    notes: dict[str, tuple[int, str, int]] = {}
    for _, part_notes in parts:
        for name, (count, why, size) in part_notes.items():
            notes[name] = _add_note(notes.get(name), count, why, size)
    return outcomes, notes


def view_of(pair: Pair, device: torch.device) -> PairView:
    """The report's view of one pair, decoded again (so that no map is kept during the run)."""
    reference, distorted = decode(pair.reference_path), decode(pair.distorted_path)
    x, y = (torch.from_numpy(a)[None].to(device) for a in (reference, distorted))
    try:
        ssim_map = F.ssim(x, y, return_map=True)[1][0].mean(0).cpu().numpy()
    except ValueError:  # smaller than the window
        ssim_map = np.zeros((1, 1), np.float32)
    abs_error = (x - y).abs()[0].mean(0).cpu().numpy()
    return PairView(reference.transpose(1, 2, 0), distorted.transpose(1, 2, 0), ssim_map, abs_error)


def worst_views(processes: Processes, pairs: Sequence[Pair], worst: list[int], device: torch.device) -> list[PairView]:
    """The views of the pairs with the given indices (known at rank 0), each process computing its share; the
    list at rank 0, in the given order (elsewhere: empty)."""
    by_index = {p.index: p for p in pairs}
    if not processes.distributed:
        return [view_of(by_index[i], device) for i in worst]
    import torch.distributed as dist

    shared = [worst]
    dist.broadcast_object_list(shared, src=0)
    mine = {i: view_of(by_index[i], device) for i in shared[0][processes.rank :: processes.world]}
    parts: list[Any] | None = [None] * processes.world if processes.rank == 0 else None
    dist.gather_object(mine, parts, dst=0)
    if parts is None:
        return []
    views = {i: v for part in parts for i, v in part.items()}
    return [views[i] for i in worst]


def rank_worst(outcomes: Sequence[Outcome], metric: str, count: int) -> list[Outcome]:
    """The ``count`` worst compared pairs by ``metric`` (NaN counts as worst)."""
    spec = METRICS[metric]
    ranked = [o for o in outcomes if o.failure is None and o.values.get(metric) is not None]
    badness = (lambda v: -v) if spec.higher_is_better else (lambda v: v)
    ranked.sort(key=lambda o: (not math.isnan(o.values[metric]), -badness(o.values[metric])
                               if not math.isnan(o.values[metric]) else 0.0))
    return ranked[:count]


# ---- Reports -----------------------------------------------------------------------------------------------------


def summarise(outcomes: Iterable[Outcome], metrics: Sequence[str]) -> dict[str, dict[str, float | int | None]]:
    summary: dict[str, dict[str, float | int | None]] = {}
    for name in metrics:
        values = [o.values[name] for o in outcomes if o.failure is None and o.values.get(name) is not None]
        finite = [v for v in values if not math.isnan(v)]
        summary[name] = {
            "mean": statistics.fmean(finite) if finite else None,
            "median": statistics.median(finite) if finite else None,
            "min": min(finite) if finite else None,
            "max": max(finite) if finite else None,
            "count": len(values),
        }
    return summary


def _name(outcome: Outcome) -> str:
    if outcome.reference == outcome.distorted or not outcome.distorted:
        return outcome.reference or outcome.distorted
    if not outcome.reference:
        return outcome.distorted
    return f"{outcome.reference} -> {outcome.distorted}"


def _json_number(v: float | int | None) -> float | int | str | None:
    """A value for JSON: null when not computed, the strings "inf", "-inf" and "nan" where it is not finite."""
    if isinstance(v, float) and not math.isfinite(v):
        return "nan" if math.isnan(v) else ("inf" if v > 0 else "-inf")
    return v


def write_csv(path: pathlib.Path, outcomes: Sequence[Outcome], metrics: Sequence[str]) -> None:
    with open(path, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(["reference", "distorted", *metrics, "error"])
        for o in outcomes:
            values = ["" if o.values.get(m) is None else repr(o.values[m]) for m in metrics]
            out.writerow([o.reference, o.distorted, *values, o.failure or ""])


def write_json(path: pathlib.Path, outcomes: Sequence[Outcome], metrics: Sequence[str],
               summary: dict[str, Any], device: str, convention: str = "kivo") -> None:
    document = {
        "device": device,
        "convention": convention,
        "metrics": list(metrics),
        "pairs": [{"reference": o.reference, "distorted": o.distorted,
                   **{m: _json_number(o.values.get(m)) for m in metrics}} for o in outcomes if o.failure is None],
        "failed": [{"reference": o.reference, "distorted": o.distorted, "reason": o.failure}
                   for o in outcomes if o.failure is not None],
        "summary": {m: {k: _json_number(v) for k, v in s.items()} for m, s in summary.items()},
    }
    with open(path, "w") as f:
        json.dump(document, f, indent=1, allow_nan=False)
        f.write("\n")


def print_report(outcomes: Sequence[Outcome], metrics: Sequence[str], summary: dict[str, Any],
                 notes: dict[str, tuple[int, str, int]], device: str, worst: int, convention: str = "kivo") -> None:
    failed = [o for o in outcomes if o.failure is not None]
    compared = len(outcomes) - len(failed)
    print(f"kivo-evaluate: {len(outcomes)} pairs, {compared} compared, {len(failed)} failed, on {device}")
    print(f"convention: {convention} ({compat.get(convention).summary})")
    print(f"{'metric':<10} {'mean':>12} {'median':>12} {'min':>12} {'max':>12} {'pairs':>7}")
    for name in metrics:
        spec, s = METRICS[name], summary[name]
        cells = ["-" if s[k] is None else f"{s[k]:.{spec.digits}f}" for k in ("mean", "median", "min", "max")]
        print(f"{spec.label:<10} {cells[0]:>12} {cells[1]:>12} {cells[2]:>12} {cells[3]:>12} {s['count']:>7}")
    ranked_metric = next((m for m in metrics if summary[m]["count"]), None)
    if ranked_metric is not None and worst > 0:
        spec = METRICS[ranked_metric]
        ranked = [o for o in outcomes if o.failure is None and o.values.get(ranked_metric) is not None]
        ranked.sort(key=lambda o: o.values[ranked_metric], reverse=not spec.higher_is_better)
        print(f"worst pairs by {spec.label}:")
        for o in ranked[:worst]:
            print(f"  {o.values[ranked_metric]:.{spec.digits}f}  {_name(o)}")
    if failed:
        print("pairs not compared:")
        for o in failed:
            print(f"  {_name(o)}: {o.failure}")
    for name, (count, why, _) in notes.items():
        print(f"note: no {METRICS[name].label} for {count} pairs: {why}")


def run_settings(args: argparse.Namespace, where: str) -> dict[str, str]:
    """The run as the report states it."""
    settings = {
        "backend and device": where,
        "data range": "1 (samples scaled to [0, 1])",
        "SSIM window": "11-tap Gaussian, sigma 1.5, valid windows" if args.convention == "kivo"
        else "as the convention defines it (maps: 11-tap Gaussian, valid windows)",
        "metrics": ", ".join(METRICS[m].label for m in args.metrics),
        "convention": f"{args.convention} ({compat.get(args.convention).summary})",
    }
    settings["date"] = datetime.datetime.now().astimezone().isoformat(timespec="seconds")
    settings["command"] = shlex.join(["kivo-evaluate", *sys.argv[1:]])
    return settings


# ---- Command line ------------------------------------------------------------------------------------------------


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="kivo-evaluate", description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="Exit status: 0 every pair compared, 1 some could not be, 2 usage error.")
    parser.add_argument("reference", nargs="?", type=pathlib.Path, help="folder of reference images")
    parser.add_argument("distorted", nargs="?", type=pathlib.Path, help="folder of distorted images")
    parser.add_argument("--pairs", type=pathlib.Path, help="CSV file of reference,distorted rows, instead of folders")
    parser.add_argument("--metrics", default=DEFAULT_METRICS,
                        help=f"comma-separated, of {', '.join(METRICS)} (default {DEFAULT_METRICS})")
    parser.add_argument("--csv", type=pathlib.Path, help="write one row per pair to this CSV file")
    parser.add_argument("--json", type=pathlib.Path, help="write the rows and the summary to this JSON file")
    parser.add_argument("--batch-size", type=int, default=8, help="images of equal size compared at once")
    parser.add_argument("--workers", type=int, default=min(4, os.cpu_count() or 1), help="decoding processes")
    parser.add_argument("--device", choices=["auto", "cuda", "cpu"], default="auto",
                        help="auto: the GPU when there is one (under torchrun, each process its own)")
    parser.add_argument("--worst", type=int, default=5, help="how many of the worst pairs to print")
    parser.add_argument("--report", type=pathlib.Path, metavar="DIR", help="write an HTML report, DIR/index.html")
    parser.add_argument("--report-worst", type=int, default=12, metavar="N",
                        help="how many of the worst pairs the report shows with their maps (default 12)")
    parser.add_argument("--report-by", metavar="METRIC",
                        help="the metric that ranks the worst pairs (default ssim, or the first metric)")
    parser.add_argument("--maps", type=pathlib.Path, metavar="DIR", help="write every pair's SSIM map to DIR")
    parser.add_argument("--maps-format", choices=["png", "npy"], default="png",
                        help="png: 16-bit grey, 0..1 as 0..65535; npy: float32 values")
    parser.add_argument("--convention", choices=list(compat.CONVENTIONS), default="kivo",
                        help="compute SSIM, MS-SSIM and PSNR as this package defines them (kivo: our own)")
    args = parser.parse_args(argv)
    if (args.pairs is None) == (args.reference is None):
        parser.error("give two folders, or --pairs LIST.csv")
    if args.reference is not None and args.distorted is None:
        parser.error("give the distorted folder too")
    for folder in (args.reference, args.distorted):
        if folder is not None and not folder.is_dir():
            parser.error(f"{folder} is not a folder")
    if args.pairs is not None and not args.pairs.is_file():
        parser.error(f"{args.pairs} is not a file")
    args.metrics = list(dict.fromkeys(m.strip().lower() for m in args.metrics.split(",") if m.strip()))
    unknown = [m for m in args.metrics if m not in METRICS]
    if unknown or not args.metrics:
        parser.error(f"unknown metric {', '.join(unknown) or '(none given)'}; choose from {', '.join(METRICS)}")
    if args.batch_size < 1 or args.workers < 0:
        parser.error("--batch-size must be at least 1 and --workers at least 0")
    if args.report_worst < 0:
        parser.error("--report-worst must be at least 0")
    if args.report_by is None:
        args.report_by = "ssim" if "ssim" in args.metrics else args.metrics[0]
    args.report_by = args.report_by.strip().lower()
    if args.report_by not in args.metrics:
        parser.error(f"--report-by {args.report_by}: not one of the metrics computed ({', '.join(args.metrics)})")
    if args.device == "cuda" and not torch.cuda.is_available():
        parser.error("--device cuda: no CUDA device")
    return args


def _cannot_write(path: pathlib.Path) -> str | None:
    """Why a file could not be written at ``path``, or None."""
    parent = path.parent
    if path.is_dir():
        return "it is a folder"
    if not parent.is_dir():
        return f"no folder {parent}"
    if not os.access(parent, os.W_OK | os.X_OK) or (path.exists() and not os.access(path, os.W_OK)):
        return "permission denied"
    return None


def _cannot_make_folder(path: pathlib.Path) -> str | None:
    """Why files could not be written into the folder ``path`` (made if absent), or None."""
    if path.exists():
        if not path.is_dir():
            return "it is not a folder"
        return None if os.access(path, os.W_OK | os.X_OK) else "permission denied"
    existing = next(p for p in path.absolute().parents if p.exists())
    if not existing.is_dir():
        return f"{existing} is not a folder"
    return None if os.access(existing, os.W_OK | os.X_OK) else "permission denied"


def _missing_modules(args: argparse.Namespace) -> list[str]:
    """The modules of the evaluate extra that this run needs and cannot import."""
    missing = []
    for module in ["cv2"] + (["matplotlib"] if args.report is not None else []):
        try:
            importlib.import_module(module)
        except ImportError:
            missing.append(module)
    return missing


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_arguments(argv)
    missing = _missing_modules(args)
    if missing:
        print(f"kivo-evaluate: {', '.join(missing)} not found; install the evaluate extra: "
              'pip install "kivo[evaluate]" (pip install ".[evaluate]" from a source tree)', file=sys.stderr)
        return 2
    checks = [(f"--{o}", getattr(args, o), _cannot_write) for o in ("csv", "json")]
    checks += [(f"--{o}", getattr(args, o), _cannot_make_folder) for o in ("report", "maps")]
    for option, path, check in checks:
        why = None if path is None else check(path)
        if why is not None:
            print(f"kivo-evaluate: cannot write {option} {path}: {why}", file=sys.stderr)
            return 2
    try:
        pairs, outcomes = (pairs_of_list(args.pairs) if args.pairs is not None
                           else pairs_of_folders(args.reference, args.distorted))
    except (OSError, ValueError, csv.Error) as e:
        print(f"kivo-evaluate: {e}", file=sys.stderr)
        return 2
    processes, device = start_processes(args.device)
    try:
        share = pairs[processes.rank :: processes.world]
        progress = Progress(len(share), enabled=processes.rank == 0)
        comparer = compare_pairs(share, args.metrics, device, args.batch_size, args.workers, progress, args.maps,
                                 args.maps_format, compat.get(args.convention))
        gathered, notes = gather(processes, comparer)
        worst: list[Outcome] = []
        if args.report is not None:
            if processes.rank == 0:
                worst = rank_worst(outcomes + gathered, args.report_by, args.report_worst)
            views = worst_views(processes, pairs, [o.index for o in worst], device)
        status = 0
        if processes.rank == 0:
            outcomes = sorted(outcomes + gathered, key=lambda o: o.index)
            where = (f"{device} ({torch.cuda.get_device_name(device)})" if device.type == "cuda"
                     else f"cpu ({library(host_backend()).path.name})")
            if processes.distributed:
                where += f", {processes.world} processes"
            summary = summarise(outcomes, args.metrics)
            if args.csv is not None:
                write_csv(args.csv, outcomes, args.metrics)
            if args.json is not None:
                write_json(args.json, outcomes, args.metrics, summary, where, args.convention)
            print_report(outcomes, args.metrics, summary, notes, where, args.worst, args.convention)
            if args.report is not None:
                page = write_report(
                    args.report, outcomes=outcomes, metrics=args.metrics, summary=summary, notes=notes,
                    labels={m: METRICS[m].label for m in METRICS}, digits={m: METRICS[m].digits for m in METRICS},
                    settings=run_settings(args, where), worst=list(zip(worst, views)), worst_by=args.report_by,
                    outputs=[p for p in (args.csv, args.json) if p is not None], name_of=_name)
                print(f"report: {page}")
            if not outcomes:
                print("kivo-evaluate: no image pairs found", file=sys.stderr)
            status = 1 if any(o.failure for o in outcomes) or not outcomes else 0
        if processes.distributed:
            import torch.distributed as dist

            shared = [status]
            dist.broadcast_object_list(shared, src=0)
            status = shared[0]
        return status
    finally:
        if processes.distributed:
            import torch.distributed as dist

            dist.destroy_process_group()


def run() -> None:
    """The command's entry: main(), then the exit with its status.

    Under torchrun a process leaves without finalising the interpreter: gloo's worker threads may still be
    releasing gathered tensors, and one that wants the interpreter while it is being torn down aborts the process
    (and with it the run's exit status).
    """
    status = main()
    if int(os.environ.get("WORLD_SIZE", 1)) > 1:
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
    sys.exit(status)


if __name__ == "__main__":
    run()
