"""kivo-evaluate --report and --maps on a small run the test writes: the page parses, names every pair, links only
to files that exist, shows the plots and the worst pairs in order, and renders in a headless browser; the maps hold
the functional API's map."""

import html.parser
import pathlib
import shutil
import subprocess
import sys

import cv2
import numpy as np
import pytest
import torch

import kivo
from test_evaluate import evaluate, pair_images, read_rows, write


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.links, self.headings, self.text, self._heading = [], [], [], False

    def handle_starttag(self, tag, attributes):
        attributes = dict(attributes)
        self.links += [attributes[k] for k in ("href", "src") if k in attributes]
        self._heading = tag == "h3"

    def handle_data(self, data):
        self.text.append(data)
        if self._heading:
            self.headings.append(data)
            self._heading = False


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    root = tmp_path_factory.mktemp("report")
    ref, dis = root / "reference", root / "distorted"
    for i, shape in enumerate([(40, 48, 3), (36, 30), (44, 40, 3), (30, 34, 3), (32, 32)]):
        a, b = pair_images(shape, np.uint8, 50 + i)
        noisy = np.clip(a.astype(int) + (b.astype(int) - a) * (i + 1) // 3, 0, 255).astype(np.uint8)
        write(ref / f"p{i}.png", a)
        write(dis / f"p{i}.png", noisy)
    write(ref / "odd.png", a)
    write(dis / "odd.png", a[:, :20])
    result = evaluate(ref, dis, "--metrics", "ssim,psnr,mae", "--report", root / "out", "--report-worst", "3",
                      "--csv", root / "rows.csv", "--maps", root / "maps", "--maps-format", "npy", "--workers", "0")
    assert result.returncode == 1 and "Traceback" not in result.stderr, result.stderr
    return root


def test_report_page(run):
    page = Page()
    page.feed((run / "out" / "index.html").read_text())
    text = " ".join(page.text)
    rows = read_rows(run / "rows.csv")
    for row in rows:
        assert row["reference"] in text
    assert "size mismatch: reference 32 x 32 grey, distorted 20 x 32 grey" in text
    for link in page.links:
        assert (run / "out" / link).is_file(), link
    assert {f"plots/{m}.png" for m in ("ssim", "psnr", "mae")} <= set(page.links)
    worst = sorted((r for r in rows if r["ssim"]), key=lambda r: float(r["ssim"]))[:3]
    assert page.headings == [f"{i}. {r['reference']}" for i, r in enumerate(worst, 1)]
    assert len([link for link in page.links if link.startswith("worst/")]) == 3 * 4 * 2


def test_maps_hold_the_functional_map(run):
    for name in ("p0", "p1"):
        decoded = [cv2.imread(str(run / side / f"{name}.png"), cv2.IMREAD_UNCHANGED) for side in ("reference",
                                                                                                 "distorted")]
        x, y = (torch.from_numpy(np.atleast_3d(d)[:, :, ::-1].copy()).permute(2, 0, 1)[None].float() / 255
                for d in decoded)
        want = kivo.ssim(x, y, return_map=True)[1][0].mean(0).numpy()
        np.testing.assert_array_equal(np.load(run / "maps" / f"{name}.npy"), want)


def test_page_renders_in_a_headless_browser(run, tmp_path):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("no chromium on this machine (CI installs it)")
    shot = tmp_path / "page.png"
    subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp_path / 'profile'}",
                    "--window-size=1000,1600", f"--screenshot={shot}", (run / "out" / "index.html").as_uri()],
                   capture_output=True, timeout=120, check=True)
    image = cv2.imread(str(shot))
    assert image is not None and image.std() > 20 and len(np.unique(image.reshape(-1, 3), axis=0)) > 100


def test_missing_extra_is_named_once_before_starting(run):
    blocked = "import sys; sys.modules['matplotlib'] = None; sys.argv[0] = 'kivo-evaluate'; import kivo.evaluate as e; e.run()"
    result = subprocess.run([sys.executable, "-c", blocked, str(run / "reference"), str(run / "distorted"),
                             "--report", str(run / "again")], capture_output=True, text=True, timeout=120)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.strip().splitlines() == [
        'kivo-evaluate: matplotlib not found; install the evaluate extra: pip install "kivo[evaluate]" '
        '(pip install ".[evaluate]" from a source tree)']
