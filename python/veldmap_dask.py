"""A bake too large for one machine, run on Dask distributed.

`veldmap split` cuts the mesh into one shard per tile (each with only the faces its tile sees),
one Dask task per tile runs `veldmap render SHARD --tile I/N ...` on a worker, and `veldmap join`
puts the tiles together: the image is the one a single machine would have rendered, bit for bit.

Inputs and outputs go through a folder every worker sees at the same path (a shared file system
on a cluster). A task writes its tile under a temporary name and renames it, so a task that is
retried (its worker died, or the render failed) never leaves half a tile behind. Dask reruns
the tasks of a worker that dies; --retries more for a render that fails.

No scheduler of our own: give the address of a running `dask scheduler` (workers started with
`dask worker ADDRESS`, by `dask ssh`, or by dask-jobqueue / dask-kubernetes), or none for a local
cluster of --workers processes on this machine.
"""

import argparse
import json
import os
import shlex
import shutil
import subprocess
import sys
import uuid


def find_veldmap(given):
    """The veldmap executable: --veldmap, $VELDMAP, or the one on PATH."""
    path = given or os.environ.get("VELDMAP") or shutil.which("veldmap")
    if not path:
        raise SystemExit("veldmap-dask: no veldmap executable (give --veldmap or put it on PATH)")
    return os.path.abspath(path)


def failure(command, returncode, stderr):
    """A veldmap command that failed, with its one-line message."""
    return RuntimeError("%s failed (exit %d): %s" % (" ".join(map(shlex.quote, command)), returncode, stderr.strip()))


def run(command):
    """Runs a veldmap command; its one-line message becomes the error."""
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise failure(command, done.returncode, done.stderr)
    return done


def render_tile(veldmap, shard, tile_args, render_args, output):
    """One task: the shard rendered as its tile into output, through a temporary and a rename.

    Runs on a worker. Safe to run again: a second run writes the same file.
    """
    folder, name = os.path.split(output)
    stem, extension = os.path.splitext(name)
    temporary = os.path.join(folder, ".%s.%s%s" % (stem, uuid.uuid4().hex, extension))
    try:
        run([veldmap, "render", shard] + tile_args + render_args + ["-o", temporary, "-q"])
        os.replace(temporary, output)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)
    return output


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="veldmap-dask",
        description="Bake a mesh on a Dask cluster: split it into shards, render one tile per task, join the tiles.",
    )
    parser.add_argument("mesh", help="mesh file")
    parser.add_argument("-o", "--output", required=True, help="the whole image (.exr or .png)")
    parser.add_argument("--size", type=int, default=512, help="longer side in pixels, the other following the mesh's aspect (default 512)")
    parser.add_argument("--width", type=int, help="width in pixels")
    parser.add_argument("--height", type=int, help="height in pixels")
    parser.add_argument("--tiles", required=True, help="ROWSxCOLS: one shard and one task per tile")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument(
        "--scheduler-file", help="the file a `dask scheduler --scheduler-file FILE` wrote (a batch job's scheduler)"
    )
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (default 2)")
    parser.add_argument(
        "--shared", help="folder every worker sees at the same path, for shards and tiles (default: beside -o)"
    )
    parser.add_argument("--veldmap", help="the veldmap executable, at the same path on every worker")
    parser.add_argument("--kind", default="height", help="what -o holds: height, color, alpha or bump")
    parser.add_argument("--format", help="png8, png16 or exr (default: from -o's extension)")
    parser.add_argument("--split-args", default="", help="map options for veldmap split, e.g. '--bump numerical'")
    parser.add_argument("--render-args", default="", help="render options for each tile, e.g. '--ramp terrain'")
    parser.add_argument("--retries", type=int, default=2, help="reruns of a tile whose render fails (default 2)")
    parser.add_argument("--keep", action="store_true", help="keep the shards and tiles")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_arguments(argv)
    veldmap = find_veldmap(args.veldmap)
    output = os.path.abspath(args.output)
    shared = os.path.abspath(args.shared or output + ".veldmap-dask")
    shards = os.path.join(shared, "shards")
    tiles_folder = os.path.join(shared, "tiles")
    os.makedirs(tiles_folder, exist_ok=True)

    # The split sizes the image as render would (the mesh's aspect unless both sides are given);
    # the manifest then gives every tile its exact --width and --height.
    size = ["--size", str(args.size)]
    if args.width:
        size += ["--width", str(args.width)]
    if args.height:
        size += ["--height", str(args.height)]
    split = [veldmap, "split", args.mesh, "--tiles", args.tiles, "-o", shards, "-q", "--announce"]
    split += size + shlex.split(args.split_args)
    # The split runs while the cluster starts, and says each shard as soon as it is saved, so its
    # tile renders on a free worker while the later shards are still being cut.
    splitting = subprocess.Popen(split, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    extension = os.path.splitext(output)[1]
    render_args = ["--kind", args.kind] + shlex.split(args.render_args)
    if args.format:
        render_args += ["--format", args.format]
    # EXR tiles are read once, by the join, which compresses the whole image itself: compressing
    # each tile as well only costs the workers time.
    exr = (args.format or extension.lstrip(".")).lower() == "exr"
    if exr and "--exr-compression" not in render_args:
        render_args += ["--exr-compression", "none"]

    cluster = client = None
    futures = []
    try:
        # Imported here so that --help works without Dask.
        from distributed import Client, LocalCluster, progress

        if args.scheduler:
            client = Client(args.scheduler)
        elif args.scheduler_file:
            client = Client(scheduler_file=args.scheduler_file)
        else:
            # Processes, not threads: each task runs its own veldmap on all its cores anyway, and a
            # worker that dies takes only its own task with it.
            cluster = LocalCluster(
                n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
            )
            client = Client(cluster)

        for line in splitting.stdout:
            tile = json.loads(line)
            tile_args = shlex.split(tile["render"])
            target = os.path.join(tiles_folder, "tile-%d%s" % (tile["index"], extension))
            futures.append(
                client.submit(
                    render_tile,
                    veldmap,
                    os.path.join(shards, tile["shard"]),
                    tile_args,
                    render_args,
                    target,
                    key="veldmap-tile-%d-%s" % (tile["index"], uuid.uuid4().hex),
                    retries=args.retries,
                    pure=False,
                )
            )
        errors = splitting.stderr.read()
        splitting.wait()
        if splitting.returncode != 0:
            raise failure(split, splitting.returncode, errors)
        with open(os.path.join(shards, "manifest.json")) as manifest_file:
            manifest = json.load(manifest_file)
        if len(manifest["tiles"]) != len(futures):
            raise RuntimeError(
                "the split announced %d tiles but its manifest lists %d" % (len(futures), len(manifest["tiles"]))
            )
        if not args.quiet:
            progress(futures)
        written = client.gather(futures)
    finally:
        if splitting.poll() is None:
            splitting.kill()
            splitting.wait()
        if client is not None:
            if futures:
                client.cancel(futures)
            client.close()
        if cluster is not None:
            cluster.close()

    join = [veldmap, "join"] + written + ["-o", output]
    if args.format:
        join += ["--format", args.format]
    run(join)
    if not args.keep:
        shutil.rmtree(shared, ignore_errors=True)
    if not args.quiet:
        print("veldmap-dask: wrote %s from %d tiles" % (output, len(written)), file=sys.stderr)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except RuntimeError as error:
        print("veldmap-dask: %s" % error, file=sys.stderr)
        sys.exit(1)
