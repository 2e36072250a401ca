"""`import veldmap` against the command line: the same arrays as its EXR images, the same
messages as its errors, and renders on two threads at once."""

import glob
import os
import struct
import subprocess
import threading

import numpy as np
import pytest

import veldmap

VELDMAP = os.environ["VELDMAP_CLI"]
SAMPLES = os.environ["VELDMAP_SAMPLE_DIR"]
REGRESSIONS = os.environ["VELDMAP_FUZZ_REGRESSIONS"]
HILLS = os.path.join(SAMPLES, "hills.obj")
ENGINE = "/usr/share/assimp/models/glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb"


def read_exr(path):
    """The pixels of an uncompressed scanline EXR of FLOAT channels, as (H, W) or (H, W, C)
    with the channels in R, G, B order (a file stores them sorted by name)."""
    with open(path, "rb") as f:
        data = f.read()
    assert struct.unpack("<I", data[:4])[0] == 20000630
    at, channels, window, compression = 8, None, None, None
    while data[at] != 0:
        name_end = data.index(b"\0", at)
        name = data[at:name_end].decode()
        type_end = data.index(b"\0", name_end + 1)
        (size,) = struct.unpack("<i", data[type_end + 1 : type_end + 5])
        value = data[type_end + 5 : type_end + 5 + size]
        if name == "channels":
            channels, p = [], 0
            while value[p] != 0:
                e = value.index(b"\0", p)
                (pixel_type,) = struct.unpack("<i", value[e + 1 : e + 5])
                assert pixel_type == 2, "FLOAT channels only"
                channels.append(value[p:e].decode())
                p = e + 17
        elif name == "dataWindow":
            window = struct.unpack("<4i", value)
        elif name == "compression":
            compression = value[0]
        at = type_end + 5 + size
    assert compression == 0, "uncompressed files only"
    width, height = window[2] - window[0] + 1, window[3] - window[1] + 1
    at += 1 + 8 * height  # the header's end, then the line offset table
    image = np.empty((height, width, len(channels)), dtype=np.float32)
    for _ in range(height):
        y, size = struct.unpack("<ii", data[at : at + 8])
        row = np.frombuffer(data[at + 8 : at + 8 + size], dtype="<f4").reshape(len(channels), width)
        image[y - window[1]] = row.T
        at += 8 + size
    order = [channels.index(c) for c in ("R", "G", "B") if c in channels] or [channels.index("Y")]
    image = image[:, :, order]
    return image[:, :, 0] if image.shape[2] == 1 else image


def cli_render(tmp_path, mesh, kind, *options):
    out = str(tmp_path / f"{kind}.exr")
    subprocess.run([VELDMAP, "render", mesh, "--kind", kind, "-o", out, "--exr-compression", "none", "-q", *options],
                   check=True)
    return read_exr(out)


@pytest.fixture(scope="module")
def terrain(tmp_path_factory):
    """A rolling terrain of 80 x 60 cells, 40 x 30 units, heights in metres, Z up (read with
    up="z": OBJ's own convention is Y up)."""
    path = tmp_path_factory.mktemp("terrain") / "terrain.obj"
    nx, ny = 80, 60
    lines = []
    for j in range(ny + 1):
        for i in range(nx + 1):
            x, y = 40.0 * i / nx, 30.0 * j / ny
            lines.append(f"v {x:.4f} {y:.4f} {3 * np.sin(x / 5) * np.cos(y / 4) + 0.05 * x:.5f}")
    for j in range(ny):
        for i in range(nx):
            a = j * (nx + 1) + i + 1
            lines.append(f"f {a} {a + 1} {a + nx + 2}")
            lines.append(f"f {a} {a + nx + 2} {a + nx + 1}")
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def test_arrays_equal_the_command_lines_images_bit_for_bit(tmp_path, terrain):
    meshes = [(HILLS, {}), (terrain, {"up": "z"})]
    if os.path.exists(ENGINE):
        meshes.append((ENGINE, {}))
    for mesh, mesh_options in meshes:
        m = veldmap.open(mesh, **mesh_options)
        for kind, channels in (("height", 1), ("color", 3), ("bump", 3)):
            array = m.render(kind, size=96)
            expected = cli_render(tmp_path, mesh, kind, "--size", "96", *[a for k, v in mesh_options.items() for a in ("--" + k, v)])
            assert array.dtype == np.float32
            assert array.shape == expected.shape, (mesh, kind)
            assert array.shape[2:] == ((channels,) if channels > 1 else ())
            assert np.array_equal(array, expected), (mesh, kind)
    # The terrain is 4:3, so the image follows; a region and heights in metres as --region and
    # --heights metres give them; a tile is that tile of the command line's image.
    m = veldmap.open(terrain, up="z")
    assert m.render(size=80).shape == (60, 80)
    region = m.render(size=64, region=(10, 5, 30, 25), heights="metres")
    assert np.array_equal(region, cli_render(tmp_path, terrain, "height", "--up", "z", "--size", "64", "--region", "10,5,30,25",
                                             "--heights", "metres"))
    tile = m.render("color", size=90, tile="2/4")
    assert np.array_equal(tile, cli_render(tmp_path, terrain, "color", "--up", "z", "--size", "90", "--tile", "2/4"))
    # The terrain outputs and the coverage, on a mesh with a hole whose lowest ground is covered.
    holes = tmp_path / "holes.obj"
    rows = [f"v {x} {y} {0.3 * max(0, x - 4) + 0.2 * y}" for y in range(9) for x in range(9)]
    for y in range(8):
        for x in range(8):
            if 2 <= x <= 3 and 5 <= y <= 6:
                continue
            a = y * 9 + x + 1
            rows += [f"f {a} {a + 1} {a + 10}", f"f {a} {a + 10} {a + 9}"]
    holes.write_text("\n".join(rows) + "\n")
    h = veldmap.open(str(holes), up="z")
    for kind, options, cli in (("mask", {}, []), ("slope", {}, []), ("hillshade", {"azimuth": 200.0}, ["--azimuth", "200"]),
                               ("height", {"nodata": float("nan")}, ["--nodata", "nan"]),
                               ("bump", {"normal_convention": "dx"}, ["--normal-convention", "dx"]),
                               ("slope", {"edge_aligned": True}, ["--edge-aligned"])):
        array = h.render(kind, size=40, **options)
        expected = cli_render(tmp_path, str(holes), kind, "--up", "z", "--size", "40", *cli)
        assert np.array_equal(array, expected, equal_nan=True), kind
    mask = h.render("mask", size=40)
    assert 0 < mask.sum() < mask.size and h.metadata["veldmap:coverage"] == mask.mean().round(6)
    assert np.isnan(h.render("height", size=40, nodata=float("nan"))[mask == 0]).all()
    # The command line's image read back through the module: the same pixels, and its entries.
    cli = str(tmp_path / "read.exr")
    subprocess.run([VELDMAP, "render", terrain, "--up", "z", "-o", cli, "--size", "64", "-q"], check=True)
    pixels, entries = veldmap.read_image(cli)
    assert np.array_equal(pixels, m.render(size=64))
    assert entries["veldmap:size"] == "64,48" and entries["veldmap:heights"] == "map"
    # The region moved the map's placement for that render only.
    assert m.parameters()["uScale"] == 1.0 and m.parameters()["uOffset"] == 0.0
    assert np.array_equal(m.render(size=64), cli_render(tmp_path, terrain, "height", "--up", "z", "--size", "64"))


def test_parameters_metadata_and_scenes(tmp_path, terrain):
    m = veldmap.open(terrain, up="z")
    assert m.source == terrain
    assert m["quadTreeDepth"] == 6
    m.set(quadTreeDepth=8, uScale=1.5)
    assert m["quadTreeDepth"] == 8 and m["uScale"] == 1.5
    m["uScale"] = 1
    m.configure(ramp="terrain")
    assert m.metadata is None
    images = m.render(["height", "color", "alpha"], width=40, height=30)
    assert sorted(images) == ["alpha", "color", "height"]
    assert images["color"].shape == (30, 40, 3) and images["alpha"].shape == (30, 40)
    facts = m.metadata
    assert facts["veldmap:size"] == [40, 30]
    assert facts["veldmap:extent"] == [0.0, 0.0, 40.0, 30.0]
    assert "quadTreeDepth=8" in facts["veldmap:params"]
    assert facts["veldmap:coverage"] > 0.99
    assert facts["veldmap:z_min"] < facts["veldmap:z_max"]

    # Baked, saved and opened again, the map renders what it rendered before, though other maps
    # share the process's scene (their nodes are saved with it, and left out when it is opened).
    others = [veldmap.open(HILLS), veldmap.open(terrain, up="z")]
    before = m.render(size=64)
    with pytest.raises(ValueError, match="bake"):
        m.save(str(tmp_path / "unbaked.vlds"))
    m.bake()
    scene = str(tmp_path / "terrain.vlds")
    m.save(scene)
    exported = str(tmp_path / "exported.obj")
    m.export_mesh(exported)
    again = veldmap.open(scene)
    assert np.array_equal(again.render(size=64), before)
    assert np.array_equal(veldmap.open(exported).render(size=64), before)
    assert again.metadata["veldmap:extent"] == [0.0, 0.0, 40.0, 30.0]
    assert all(o.render(size=8).shape == (8, 8) or o.render(size=8).shape == (6, 8) for o in others)


def test_two_threads_render_two_maps_as_one_after_the_other(terrain):
    a, b = veldmap.open(HILLS), veldmap.open(terrain, up="z")
    expected = [a.render(["height", "bump"], size=256), b.render(["height", "color"], size=256)]
    got = [None, None]

    def run(i, m, kinds):
        got[i] = m.render(kinds, size=256)

    threads = [threading.Thread(target=run, args=(0, a, ["height", "bump"])),
               threading.Thread(target=run, args=(1, b, ["height", "color"]))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for want, have in zip(expected, got):
        assert sorted(want) == sorted(have)
        for kind in want:
            assert np.array_equal(want[kind], have[kind])


def cli_error(*args):
    run = subprocess.run([VELDMAP, *args], capture_output=True, text=True)
    assert run.returncode != 0
    return run.stderr.strip().removeprefix("veldmap: ")


def test_every_error_is_a_python_exception_with_the_command_lines_message(tmp_path, terrain):
    missing = str(tmp_path / "missing.obj")
    with pytest.raises(FileNotFoundError):
        veldmap.read_image(missing)
    with pytest.raises(ValueError):
        veldmap.read_image(terrain)
    with pytest.raises(FileNotFoundError) as error:
        veldmap.open(missing)
    assert str(error.value) in cli_error("render", missing, "-o", str(tmp_path / "x.png"))
    garbage = tmp_path / "garbage.obj"
    garbage.write_text("this is not a mesh\n")
    with pytest.raises(ValueError) as error:
        veldmap.open(str(garbage))
    assert str(error.value) in cli_error("render", str(garbage), "-o", str(tmp_path / "x.png"))
    with pytest.raises(ValueError, match="up 'w'"):
        veldmap.open(terrain, up="w")
    m = veldmap.open(terrain, up="z")
    for name, value, message in (("uScale", 1e9, "outside the range -10000 .. 10000"),
                                 ("quadTreeDepth", 11, "outside the range 2 .. 10"),
                                 ("quadTreeDepth", 2.5, "whole number"),
                                 ("uScale", float("nan"), "not a number"),
                                 ("nothing", 1, "no number parameter 'nothing'")):
        with pytest.raises(ValueError, match=message):
            m[name] = value
    with pytest.raises(ValueError, match="no number parameter"):
        m["nothing"]
    assert m["uScale"] == 1.0
    for kinds, options, message in (("preview", {}, "not an image this module renders"),
                                    ([], {}, "nothing to render"),
                                    ("height", {"region": (5, 5, 1, 1)}, "x0 < x1"),
                                    ("height", {"pixel_size": -1.0}, "above 0"),
                                    ("height", {"tile": "5/4"}, "tile"),
                                    ("height", {"tile": "x"}, "I/N"),
                                    ("height", {"heights": "feet"}, "metres"),
                                    ("height", {"size": 0}, "1 or more"),
                                    ("bump", {"normal_convention": "up"}, "gl"),
                                    ("hillshade", {"altitude": 95.0}, "0 to 90"),
                                    ("height", {"nodata": float("inf")}, "nan"),
                                    ("height", {"edge_aligned": True, "width": 1, "height": 5}, "2 or more")):
        with pytest.raises(ValueError, match=message):
            m.render(kinds, **options)
    with pytest.raises(ValueError, match="bump"):
        m.configure(bump="sideways")
    with pytest.raises(ValueError, match="ramp"):
        m.configure(ramp="0:nocolour")
    baked = veldmap.open(terrain, up="z")
    baked.bake()
    with pytest.raises(ValueError, match="baked mesh already"):
        baked.bake()


def test_the_fuzz_corpus_of_meshes_and_scenes_never_crashes_the_interpreter(tmp_path):
    # Each mesh input's first byte picks its reader; scene inputs are scene files as they are.
    extension = {0: ".obj", 1: ".ply", 2: ".stl", 3: ".gltf"}
    files = []
    for i, path in enumerate(sorted(glob.glob(os.path.join(REGRESSIONS, "mesh_import", "*")))):
        data = open(path, "rb").read()
        if not data or data[0] not in extension:
            continue
        target = tmp_path / f"mesh{i}{extension[data[0]]}"
        target.write_bytes(data[1:])
        files.append(str(target))
    for reader in ("ply_reader", "stl_reader", "obj_reader"):
        for i, path in enumerate(sorted(glob.glob(os.path.join(REGRESSIONS, reader, "*")))):
            target = tmp_path / f"{reader}{i}.{reader[:3]}"
            target.write_bytes(open(path, "rb").read())
            files.append(str(target))
    files += sorted(glob.glob(os.path.join(REGRESSIONS, "scene_roundtrip", "*")))
    opened = refused = 0
    for path in files:
        try:
            m = veldmap.open(path)
        except ValueError:
            refused += 1
            continue
        opened += 1
        try:
            m.render(["height", "color"], size=16)
        except ValueError:
            pass
    assert opened > 0 and refused > 0


def test_installed_into_a_prefix_the_module_works_and_moves_with_it(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", os.environ["VELDMAP_BUILD_DIR"], "--component", "python", "--prefix",
                    str(prefix)], check=True, capture_output=True)
    moved = tmp_path / "elsewhere"
    prefix.rename(moved)
    site = moved / "lib" / "python3" / "dist-packages"
    assert (site / "veldmap.pyi").exists()
    script = ("import veldmap, sys; m = veldmap.open(sys.argv[1]); "
              "print(veldmap.__file__); print(veldmap.plugin_folder()); print(m.render(size=32).sum())")
    env = {k: v for k, v in os.environ.items() if k != "VELDMAP_PLUGIN_DIR"}
    env["PYTHONPATH"] = str(site)
    run = subprocess.run(["/usr/bin/python3", "-c", script, HILLS], env=env, cwd=tmp_path, capture_output=True,
                         text=True, check=True)
    module_file, plugins, total = run.stdout.split()
    assert module_file.startswith(str(site))
    assert plugins == str(moved / "lib" / "veldmap" / "plugins")
    assert float(total) == pytest.approx(float(veldmap.open(HILLS).render(size=32).sum()))
