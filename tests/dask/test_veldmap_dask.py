"""veldmap-dask on a local cluster of two worker processes (127.0.0.1 only), against the
single-machine render of the same mesh."""

import os
import struct
import subprocess
import zlib

import pytest

VELDMAP = os.environ["VELDMAP_CLI"]
DRIVER = os.environ["VELDMAP_DASK"]
HILLS = os.path.join(os.environ["VELDMAP_SAMPLE_DIR"], "hills.obj")


def png_pixels(path):
    """The decoded rows of a non-interlaced PNG, as bytes (samples as stored)."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat, header = 8, b"", None
    while at < len(data):
        (length,) = struct.unpack(">I", data[at : at + 4])
        kind = data[at + 4 : at + 8]
        body = data[at + 8 : at + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    width, height, depth, colour, _, _, interlace = header
    assert interlace == 0
    channels = {0: 1, 2: 3, 4: 2, 6: 4}[colour]
    step = max(1, channels * depth // 8)
    stride = width * channels * depth // 8
    raw = zlib.decompress(idat)
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        row = bytearray(raw[y * (stride + 1) + 1 : (y + 1) * (stride + 1)])
        for i in range(stride):
            a = row[i - step] if i >= step else 0
            b = previous[i]
            c = previous[i - step] if i >= step else 0
            if kind == 1:
                row[i] = (row[i] + a) & 0xFF
            elif kind == 2:
                row[i] = (row[i] + b) & 0xFF
            elif kind == 3:
                row[i] = (row[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                row[i] = (row[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append(bytes(row))
        previous = row
    return (width, height, depth, channels), b"".join(rows)


def single_machine(tmp_path, args, name):
    out = str(tmp_path / name)
    subprocess.run([VELDMAP, "render", HILLS, "-q", "-o", out] + args, check=True)
    return png_pixels(out)


def driver(tmp_path, args, env=None):
    return subprocess.run(
        ["/usr/bin/python3", DRIVER, HILLS, "--veldmap", VELDMAP] + args,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        env=env,
        cwd=str(tmp_path),
        timeout=300,
    )


def test_a_killed_worker_still_gives_the_single_machine_image(tmp_path):
    # A veldmap that, the first time it is asked for tile 2, kills the worker process running the
    # task (its parent) in the middle of the task; every other call is the real veldmap.
    marker = tmp_path / "killed-once"
    flaky = tmp_path / "flaky-veldmap"
    flaky.write_text(
        "#!/bin/sh\n"
        'case " $* " in *" --tile 2/"*)\n'
        '  if [ ! -e "%s" ]; then touch "%s"; kill -9 $PPID; sleep 2; exit 1; fi;;\n'
        "esac\n"
        'exec "%s" "$@"\n' % (marker, marker, VELDMAP)
    )
    flaky.chmod(0o755)
    out = tmp_path / "distributed.png"
    run = driver(
        tmp_path,
        ["-o", str(out), "--size", "48", "--tiles", "2x2", "--format", "png16", "--workers", "2", "--veldmap", str(flaky)]
        + ["--split-args=--bump numerical", "--render-args=--filter"],
    )
    assert run.returncode == 0, run.stdout
    assert marker.exists(), "no worker was killed: the test proved nothing"
    expected = single_machine(tmp_path, ["--size", "48", "--format", "png16", "--bump", "numerical", "--filter"], "one.png")
    assert png_pixels(str(out)) == expected
    # The shared folder is cleared once the image is joined.
    assert not (tmp_path / "distributed.png.veldmap-dask").exists()


def test_bump_and_colour_tiles_join_to_the_single_machine_images(tmp_path):
    for kind, extra in (("bump", []), ("color", ["--ramp", "terrain"])):
        out = tmp_path / ("%s.png" % kind)
        run = driver(
            tmp_path,
            ["-o", str(out), "--width", "40", "--height", "30", "--tiles", "3x1", "--kind", kind, "--format", "png16"]
            + ["--render-args=" + " ".join(extra), "-q", "--keep"],
        )
        assert run.returncode == 0, run.stdout
        expected = single_machine(
            tmp_path, ["--width", "40", "--height", "30", "--kind", kind, "--format", "png16"] + extra, kind + "1.png"
        )
        assert png_pixels(str(out)) == expected
        assert len(os.listdir(str(tmp_path / ("%s.png.veldmap-dask" % kind) / "tiles"))) == 3


def test_a_split_that_fails_stops_before_any_task(tmp_path):
    run = driver(tmp_path, ["-o", str(tmp_path / "x.png"), "--tiles", "0x2"])
    assert run.returncode == 1
    assert "--tiles 0x2" in run.stdout
    assert not (tmp_path / "x.png").exists()


if __name__ == "__main__":
    raise SystemExit(pytest.main([__file__, "-q"]))
