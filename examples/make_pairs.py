"""Writes two folders of image pairs for trying kivo-evaluate: crops of examples/reference.png (reference/) and
the same crops distorted (distorted/) by blur, noise, JPEG compression, a brightness shift and quantisation,
as 8-bit PNG, 16-bit PNG and JPEG files, some in a nested folder.

    python examples/make_pairs.py OUTPUT_FOLDER
"""

from __future__ import annotations

import pathlib
import sys

import cv2
import numpy as np

SOURCE = pathlib.Path(__file__).resolve().parent / "reference.png"


def distortions(rng: np.random.Generator) -> dict[str, object]:
    def jpeg(image: np.ndarray, quality: int) -> np.ndarray:
        ok, data = cv2.imencode(".jpg", image, [cv2.IMWRITE_JPEG_QUALITY, quality])
        return cv2.imdecode(data, cv2.IMREAD_UNCHANGED)

    return {
        "blur": lambda im: cv2.GaussianBlur(im, (0, 0), 1.5),
        "noise": lambda im: np.clip(im + rng.normal(0, 12, im.shape), 0, 255).astype(np.uint8),
        "jpeg": lambda im: jpeg(im, 15),
        "brighter": lambda im: np.clip(im.astype(np.int16) + 20, 0, 255).astype(np.uint8),
        "quantised": lambda im: (im // 32 * 32 + 16).astype(np.uint8),
    }


def main() -> None:
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    out = pathlib.Path(sys.argv[1])
    source = cv2.imread(str(SOURCE), cv2.IMREAD_COLOR)
    rng = np.random.default_rng(0)
    crops = {"full": source, "left": source[:, :176], "corner": source[:96, :128]}
    written = 0
    for crop_name, crop in crops.items():
        for name, distort in distortions(rng).items():
            distorted = distort(crop)
            for suffix, folder in ((".png", ""), (".jpg", "jpeg/")):
                if suffix == ".jpg" and crop_name != "full":
                    continue
                relative = f"{folder}{crop_name}_{name}{suffix}"
                for side, image in (("reference", crop), ("distorted", distorted)):
                    path = out / side / relative
                    path.parent.mkdir(parents=True, exist_ok=True)
                    cv2.imwrite(str(path), image)
                written += 1
    # 16-bit files hold the same images at 65535 / 255 the scale.
    for side, image in (("reference", source), ("distorted", distortions(rng)["blur"](source))):
        cv2.imwrite(str(out / side / "full_blur_16bit.png"), image.astype(np.uint16) * 257)
    print(f"wrote {written + 1} pairs under {out}/reference and {out}/distorted")


if __name__ == "__main__":
    main()
