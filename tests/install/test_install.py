"""`cmake --install` into a prefix that is then moved: everything a user runs works from there,
and nothing reaches back into the build tree."""

import os
import shutil
import subprocess

import pytest

BUILD = os.environ["VELDMAP_BUILD_DIR"]


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    root = tmp_path_factory.mktemp("install")
    subprocess.run(["cmake", "--install", BUILD, "--prefix", str(root / "first")], check=True, capture_output=True)
    moved = root / "moved"
    (root / "first").rename(moved)
    return moved


def run(prefix, *args, cwd, **env):
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("VELDMAP_PLUGIN_DIR", "VELDMAP_SAMPLE", "PYTHONPATH", "LD_LIBRARY_PATH")}
    environment.update(env)
    return subprocess.run(list(args), cwd=cwd, env=environment, capture_output=True, text=True, check=True)


def test_the_installed_tree_runs_from_anywhere_without_the_build(prefix, tmp_path):
    veldmap = str(prefix / "bin" / "veldmap")
    # The host library comes from the prefix, not from the build tree the run path was made in.
    libraries = run(prefix, "ldd", veldmap, cwd=tmp_path).stdout
    host = [line for line in libraries.splitlines() if "libveldmap_host" in line]
    assert host, libraries
    resolved = os.path.realpath(host[0].split("=>")[1].split("(")[0].strip())
    assert resolved == str(prefix / "lib" / "veldmap" / "libveldmap_host.so"), libraries
    for binary in (veldmap, *map(str, (prefix / "lib" / "veldmap" / "plugins").iterdir())):
        dynamic = run(prefix, "readelf", "-d", binary, cwd=tmp_path).stdout
        assert BUILD not in dynamic, (binary, dynamic)

    version = run(prefix, veldmap, "--version", cwd=tmp_path).stdout
    assert version.startswith("veldmap ") and "built with assimp" in version and "LibVersion" in version

    sample = prefix / "share" / "veldmap" / "samples" / "hills.obj"
    run(prefix, veldmap, "render", str(sample), "-o", "h.png", "--size", "64", "-q", cwd=tmp_path)
    assert (tmp_path / "h.png").stat().st_size > 0
    # The demo renders the installed sample, not the source tree's.
    run(prefix, veldmap, "demo", "-o", "demo", "-q", cwd=tmp_path)
    report = (tmp_path / "demo" / "report.json").read_text()
    assert str(sample) in report

    # The Python module and its plug-in, from the moved prefix.
    site = prefix / "lib" / "python3" / "dist-packages"
    imported = run(prefix, "/usr/bin/python3", "-c",
                   "import veldmap; print(veldmap.plugin_folder()); print(veldmap.open(%r).render(size=8).shape)"
                   % str(sample), cwd=tmp_path, PYTHONPATH=str(site)).stdout.split("\n")
    assert imported[0] == str(prefix / "lib" / "veldmap" / "plugins")
    assert imported[1] == "(8, 8)"
    # The Dask driver finds its module in the prefix.
    usage = run(prefix, str(prefix / "bin" / "veldmap-dask"), "--help", cwd=tmp_path).stdout
    assert "--tiles" in usage


def test_manual_page_and_completion_are_installed_and_usable(prefix, tmp_path):
    page = prefix / "share" / "man" / "man1" / "veldmap.1"
    text = page.read_text()
    assert text.startswith(".TH VELDMAP 1")
    for words in ("veldmap render", "veldmap split", "\\-\\-heights", "VELDMAP_PLUGIN_DIR", "EXIT STATUS"):
        assert words in text, words
    if shutil.which("man"):
        found = run(prefix, "man", "-w", "veldmap", cwd=tmp_path, MANPATH=str(prefix / "share" / "man")).stdout
        assert found.strip() == str(page)
    completion = prefix / "share" / "bash-completion" / "completions" / "veldmap"
    (tmp_path / "mesh.obj").write_text("")
    script = (f"source {completion}; complete -p veldmap; "
              "COMP_WORDS=(veldmap render mesh.obj --kind ''); COMP_CWORD=4; _veldmap; echo \"${COMPREPLY[*]}\"; "
              "COMP_WORDS=(veldmap ren); COMP_CWORD=1; _veldmap; echo \"${COMPREPLY[*]}\"; "
              "COMP_WORDS=(veldmap render me); COMP_CWORD=2; _veldmap; echo \"${COMPREPLY[*]}\"")
    lines = run(prefix, "bash", "-c", script, cwd=tmp_path).stdout.splitlines()
    assert lines[0] == "complete -F _veldmap veldmap"
    kinds = lines[1].split()
    assert kinds[:4] == ["height", "color", "alpha", "bump"] and kinds[-1] == "preview" and "mask" in kinds
    assert lines[2] == "render"
    assert lines[3] == "mesh.obj"
