"""kivo.evaluate end to end, on folders of images the tests write: values checked against the references, the CSV
and JSON files, every reason a pair is not compared, the exit statuses, the summary, and two processes."""

import csv
import json
import math
import os
import pathlib
import struct
import subprocess
import sys
import zlib

import cv2
import numpy as np
import pytest
import torch

import reference as R

METRICS = ["ssim", "ms-ssim", "psnr", "gmsd", "mae", "mse"]


def write(path: pathlib.Path, image: np.ndarray) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    assert cv2.imwrite(str(path), image), path


def pair_images(shape, dtype, seed):
    """Reference and distorted samples of an integer type, in the decoder's channel order."""
    rng = np.random.default_rng(seed)
    top = np.iinfo(dtype).max
    a = rng.random(shape)
    b = np.clip(a + rng.normal(0, 0.08, shape), 0, 1)
    return (a * top).round().astype(dtype), (b * top).round().astype(dtype)


def as_float(image: np.ndarray) -> torch.Tensor:
    """What the evaluation compares: (1, C, H, W) float64 in [0, 1], alpha dropped, RGB order."""
    if image.ndim == 2:
        image = image[:, :, None]
    if image.shape[2] == 4:
        image = image[:, :, :3]
    if image.shape[2] == 3:
        image = image[:, :, ::-1]
    scale = np.iinfo(image.dtype).max
    return torch.from_numpy(np.ascontiguousarray(image.transpose(2, 0, 1))).double()[None] / scale


def expected(reference: np.ndarray, distorted: np.ndarray) -> dict:
    x, y = as_float(reference), as_float(distorted)
    values = {
        "ssim": R.ssim(x, y, R.gaussian(), 1.0)[0].item(),
        "psnr": (10 * torch.log10(1 / ((x - y) ** 2).mean())).item(),
        "gmsd": R.gmsd(x, y, 170.0 / 255**2).item(),
        "mae": (x - y).abs().mean().item(),
        "mse": ((x - y) ** 2).mean().item(),
    }
    if min(x.shape[2:]) >= 176:
        values["ms-ssim"] = R.ms_ssim(x, y, R.gaussian(), 1.0, (0.0448, 0.2856, 0.3001, 0.2363, 0.1333)).item()
    return values


@pytest.fixture(scope="module")
def folders(tmp_path_factory):
    """Two folders of pairs in every format, with a nested folder, and the pairs that cannot be compared."""
    root = tmp_path_factory.mktemp("images")
    ref, dis = root / "reference", root / "distorted"
    decoded = {}
    cases = {
        "rgb8.png": ((48, 64, 3), np.uint8),
        "grey16.png": ((50, 40), np.uint16),
        "rgb16.png": ((40, 36, 3), np.uint16),
        "rgba8.png": ((33, 47, 4), np.uint8),
        "nested/deeper/large.png": ((180, 190, 3), np.uint8),
        "grey8.tif": ((30, 31), np.uint8),
        "rgb16.tiff": ((44, 40, 3), np.uint16),
        "photo.jpg": ((64, 56, 3), np.uint8),
    }
    for i, (name, (shape, dtype)) in enumerate(cases.items()):
        a, b = pair_images(shape, dtype, i)
        write(ref / name, a)
        write(dis / name, b)
        # Lossy files are checked against what decoding gives back.
        decoded[name] = (cv2.imread(str(ref / name), cv2.IMREAD_UNCHANGED),
                         cv2.imread(str(dis / name), cv2.IMREAD_UNCHANGED))
    a, b = pair_images((20, 20, 3), np.uint8, 99)
    write(ref / "only_reference.png", a)
    write(dis / "only_distorted.png", b)
    write(ref / "broken.png", a)
    (dis / "broken.png").write_bytes(b"\x89PNG but not really")
    write(ref / "size.png", a)
    write(dis / "size.png", a[:, :18])
    write(ref / "channels.png", a)
    write(dis / "channels.png", a[:, :, 0])
    failures = {
        "only_reference.png": "missing counterpart: no distorted image",
        "only_distorted.png": "missing counterpart: no reference image",
        "broken.png": "undecodable file",
        "size.png": "size mismatch: reference 20 x 20 RGB, distorted 18 x 20 RGB",
        "channels.png": "channel mismatch: reference 20 x 20 RGB, distorted 20 x 20 grey",
    }
    return root, decoded, failures


def evaluate(*arguments, launcher=(sys.executable, "-m", "kivo.evaluate"), timeout=300):
    return subprocess.run([*launcher, *map(str, arguments)], capture_output=True, text=True, timeout=timeout)


def read_rows(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def test_folders_end_to_end(folders, tmp_path):
    root, decoded, failures = folders
    out_csv, out_json = tmp_path / "rows.csv", tmp_path / "rows.json"
    result = evaluate(root / "reference", root / "distorted", "--metrics", ",".join(METRICS), "--csv", out_csv,
                      "--json", out_json, "--batch-size", "2", "--workers", "2")
    assert result.returncode == 1, result.stderr  # some pairs could not be compared

    rows = {row["reference"] or row["distorted"]: row for row in read_rows(out_csv)}
    assert set(rows) == set(decoded) | set(failures)
    for name, (a, b) in decoded.items():
        row, want = rows[name], expected(a, b)
        assert row["error"] == "" and row["distorted"] == name
        for metric in METRICS:
            if metric not in want:  # MS-SSIM of images smaller than its five scales
                assert row[metric] == ""
                continue
            got = float(row[metric])
            tolerance = 2e-4 if metric == "psnr" else 2e-6 + 1e-5 * abs(want[metric])
            assert abs(got - want[metric]) <= tolerance, (name, metric, got, want[metric])
    for name, reason in failures.items():
        assert rows[name]["error"].startswith(reason), rows[name]
        assert all(rows[name][m] == "" for m in METRICS)

    document = json.loads(out_json.read_text())
    assert document["metrics"] == METRICS
    assert {p["reference"] for p in document["pairs"]} == set(decoded)
    assert {f["reference"] or f["distorted"] for f in document["failed"]} == set(failures)
    for metric in METRICS:
        values = [float(rows[n][metric]) for n in decoded if rows[n][metric]]
        summary = document["summary"][metric]
        assert summary["count"] == len(values)
        assert math.isclose(summary["mean"], sum(values) / len(values), rel_tol=1e-12)
        assert summary["min"] == min(values) and summary["max"] == max(values)

    # The printed summary: a line per metric, the worst pairs by SSIM, every failure with its reason.
    out = result.stdout
    assert out.startswith(f"kivo-evaluate: {len(decoded) + len(failures)} pairs, {len(decoded)} compared, "
                          f"{len(failures)} failed")
    ssim_line = next(line for line in out.splitlines() if line.startswith("SSIM "))
    assert float(ssim_line.split()[1]) == pytest.approx(document["summary"]["ssim"]["mean"], abs=1e-6)
    worst = out.split("worst pairs by SSIM:\n")[1].splitlines()[0].split()
    assert worst[1] == min(decoded, key=lambda n: float(rows[n]["ssim"]))
    for name, reason in failures.items():
        assert f"  {name}: {reason}" in out
    assert "note: no MS-SSIM for 7 pairs" in out
    # Plain progress lines when not on a terminal, over the pairs found in both folders.
    assert f"{len(decoded) + 3} of {len(decoded) + 3} pairs" in result.stderr


def test_a_clean_folder_exits_zero_and_the_list_form_matches(folders, tmp_path):
    root, decoded, _ = folders
    listing = tmp_path / "pairs.csv"
    names = sorted(decoded)
    lines = ["reference,distorted"] + [f"{root / 'reference' / n},{root / 'distorted' / n}" for n in names]
    listing.write_text("\n".join(lines) + "\n")
    result = evaluate("--pairs", listing, "--metrics", "ssim,psnr", "--csv", tmp_path / "list.csv", "--workers", "0")
    assert result.returncode == 0, result.stderr
    by_list = read_rows(tmp_path / "list.csv")
    assert [r["reference"] for r in by_list] == [str(root / "reference" / n) for n in names]

    # The same pairs as folder rows give the same values.
    folder_result = evaluate(root / "reference", root / "distorted", "--metrics", "ssim,psnr", "--csv",
                             tmp_path / "folder.csv", "--workers", "0")
    folder_rows = {r["reference"]: r for r in read_rows(tmp_path / "folder.csv")}
    for name, row in zip(names, by_list):
        assert (row["ssim"], row["psnr"]) == (folder_rows[name]["ssim"], folder_rows[name]["psnr"])
    assert folder_result.returncode == 1

    # Relative paths in a list are relative to the list; a listed file that does not exist fails its pair.
    relative = tmp_path / "relative.csv"
    up = os.path.relpath(root, tmp_path)
    relative.write_text(f"{up}/reference/rgb8.png,{up}/distorted/rgb8.png\n{up}/reference/rgb8.png,nowhere.png\n")
    result = evaluate("--pairs", relative, "--metrics", "mae", "--workers", "0")
    assert result.returncode == 1
    assert "missing counterpart: no file nowhere.png" in result.stdout


def test_usage_errors_exit_two(folders, tmp_path):
    root, _, _ = folders
    for arguments, message in [
        ((), "give two folders, or --pairs LIST.csv"),
        ((root / "reference",), "give the distorted folder too"),
        ((root / "reference", tmp_path / "missing"), "is not a folder"),
        ((root / "reference", root / "distorted", "--metrics", "ssim,vif"), "unknown metric vif"),
        (("--pairs", tmp_path / "none.csv"), "is not a file"),
        ((root / "reference", root / "distorted", "--batch-size", "0"), "--batch-size must be at least 1"),
    ]:
        result = evaluate(*arguments)
        assert result.returncode == 2 and message in result.stderr, (arguments, result.stderr)
    empty = tmp_path / "empty"
    empty.mkdir()
    result = evaluate(empty, empty)
    assert result.returncode == 1 and "no image pairs found" in result.stderr


def test_two_processes_write_what_one_does(folders, tmp_path):
    root, _, _ = folders
    common = [root / "reference", root / "distorted", "--metrics", ",".join(METRICS), "--workers", "1"]
    single = evaluate(*common, "--csv", tmp_path / "one.csv", "--json", tmp_path / "one.json")
    double = evaluate(*common, "--csv", tmp_path / "two.csv", "--json", tmp_path / "two.json",
                      launcher=(sys.executable, "-m", "torch.distributed.run", "--standalone", "--nproc_per_node=2",
                                "-m", "kivo.evaluate"))
    # Both report the failed pair with status 1; no process aborts on its way out.
    assert single.returncode == 1 and double.returncode == 1, double.stderr[-3000:]
    assert "SIGABRT" not in double.stderr and "exitcode  : 1" in double.stderr, double.stderr[-3000:]
    assert "2 processes" in double.stdout
    assert (tmp_path / "one.csv").read_text() == (tmp_path / "two.csv").read_text()
    one, two = json.loads((tmp_path / "one.json").read_text()), json.loads((tmp_path / "two.json").read_text())
    for key in ("pairs", "failed", "summary"):
        assert one[key] == two[key], key


def test_readme_evaluation_commands_run_as_written(tmp_path):
    root = pathlib.Path(__file__).resolve().parents[2]
    section = (root / "README.md").read_text().split("## Evaluating a folder of results", 1)[1]
    commands = [line.split("#")[0].strip() for line in section.split("```sh\n", 1)[1].split("```", 1)[0].splitlines()]
    (tmp_path / "examples").symlink_to(root / "examples")
    bin_dir = os.path.dirname(sys.executable)  # kivo-evaluate and torchrun of this environment
    env = {**os.environ, "PATH": bin_dir + os.pathsep + os.environ.get("PATH", "")}
    for command in filter(None, commands):
        if command.startswith("python "):
            command = sys.executable + command[len("python"):]
        result = subprocess.run(command, shell=True, cwd=tmp_path, env=env, capture_output=True, text=True,
                                timeout=600)
        assert result.returncode == 0, (command, result.stdout[-2000:], result.stderr[-3000:])
    rows = read_rows(tmp_path / "rows.csv")
    assert len(rows) == 21 and all(row["error"] == "" for row in rows)


def png_grey_alpha(path: pathlib.Path, grey: np.ndarray, alpha: np.ndarray) -> None:
    """An 8-bit grey + alpha PNG (colour type 4), which OpenCV cannot write."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    h, w = grey.shape
    rows = b"".join(b"\0" + np.stack([grey[i], alpha[i]], 1).tobytes() for i in range(h))
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 4, 0, 0, 0))
                     + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def test_empty_files_grey_alpha_identical_pairs_and_output_paths(tmp_path):
    ref, dis = tmp_path / "reference", tmp_path / "distorted"
    a, b = pair_images((24, 30), np.uint8, 7)
    write(ref / "same.png", a)
    write(dis / "same.png", a)
    write(ref / "alpha.png", a)
    png_grey_alpha(dis / "alpha.png", b, np.full_like(b, 128))
    write(ref / "empty.png", a)
    (dis / "empty.png").write_bytes(b"")
    write(ref / "small.png", a[:12, :12])
    write(dis / "small.png", b[:12, :12])

    # Unwritable outputs are refused before any pair is compared.
    for option, path in (("--csv", tmp_path / "no" / "rows.csv"), ("--json", tmp_path)):
        result = evaluate(ref, dis, option, path)
        assert result.returncode == 2 and result.stdout == "", result
        assert result.stderr.startswith(f"kivo-evaluate: cannot write {option} {path}")

    out_json = tmp_path / "rows.json"
    result = evaluate(ref, dis, "--metrics", "psnr,ssim,PSNR,ms-ssim", "--json", out_json, "--workers", "1")
    assert result.returncode == 1 and "Traceback" not in result.stderr and "WARN" not in result.stderr
    document = json.loads(out_json.read_text())
    assert document["metrics"] == ["psnr", "ssim", "ms-ssim"]
    pairs = {p["reference"]: p for p in document["pairs"]}
    assert pairs["same.png"]["psnr"] == "inf" and pairs["same.png"]["ms-ssim"] is None
    want = expected(a, b)
    assert pairs["alpha.png"]["ssim"] == pytest.approx(want["ssim"], abs=1e-5)
    assert [f["reason"] for f in document["failed"]] == [f"undecodable file: {dis / 'empty.png'} (empty)"]
    assert "got 12 x 12" in result.stdout.split("note: no MS-SSIM for 3 pairs")[1]
