"""Veldmap from Python: a mesh seen from above as a height map, rendered into NumPy arrays
through the same host calls the veldmap command line makes."""

from typing import Any, Optional, Sequence, Union, overload

import numpy as np
import numpy.typing as npt

__version__: str

class Map:
    """A Veldmap map showing one mesh file's mesh, or the map a scene file holds.

    Use a map from one thread at a time; different maps may render on different threads at once.
    """

    @property
    def source(self) -> str:
        """The file the map was opened from."""
    def parameters(self) -> dict[str, Union[int, float]]:
        """The map's number parameters by name (quadTreeDepth, uScale, normalizeMesh, ...)."""
    def __getitem__(self, name: str) -> Union[int, float]: ...
    def __setitem__(self, name: str, value: float) -> None:
        """Sets a number parameter; ValueError naming the range for a value outside it."""
    def set(self, **values: float) -> None:
        """Sets several number parameters by name: map.set(quadTreeDepth=8, uScale=2)."""
    def configure(
        self,
        *,
        depth: Optional[int] = None,
        normalize: Optional[bool] = None,
        affect_alpha: Optional[bool] = None,
        bump: Optional[str] = None,
        ramp: Optional[str] = None,
        uv_offset: Optional[Sequence[float]] = None,
        uv_tiling: Optional[Sequence[float]] = None,
        uv_angle: Optional[float] = None,
        wrap: bool = False,
        mirror_u: bool = False,
        mirror_v: bool = False,
    ) -> None:
        """The command line's map options: --depth, --no-normalize, --affect-alpha, --bump,
        --ramp (an image file or a gradient such as "0:black,1:white"), --uv-offset, --uv-tiling,
        --uv-angle, --wrap, --mirror-u, --mirror-v."""
    @overload
    def render(
        self,
        kinds: str = "height",
        *,
        size: int = 512,
        width: Optional[int] = None,
        height: Optional[int] = None,
        tile: Optional[str] = None,
        region: Optional[Sequence[float]] = None,
        pixel_size: Optional[float] = None,
        heights: str = "map",
        bump_scale: float = 1.0,
        filter: bool = False,
        threads: int = 0,
        time: int = 0,
        normal_convention: str = "gl",
        azimuth: Optional[float] = None,
        altitude: Optional[float] = None,
        nodata: Optional[float] = None,
        edge_aligned: bool = False,
    ) -> npt.NDArray[np.float32]: ...
    @overload
    def render(
        self,
        kinds: Sequence[str],
        *,
        size: int = 512,
        width: Optional[int] = None,
        height: Optional[int] = None,
        tile: Optional[str] = None,
        region: Optional[Sequence[float]] = None,
        pixel_size: Optional[float] = None,
        heights: str = "map",
        bump_scale: float = 1.0,
        filter: bool = False,
        threads: int = 0,
        time: int = 0,
        normal_convention: str = "gl",
        azimuth: Optional[float] = None,
        altitude: Optional[float] = None,
        nodata: Optional[float] = None,
        edge_aligned: bool = False,
    ) -> dict[str, npt.NDArray[np.float32]]:
        """Renders "height", "color", "alpha", "bump", "mask", "slope" or "hillshade" (one str:
        one array; a list: a dict of arrays) as float32, shape (H, W) or (H, W, C), row 0 at the
        top as in the images. The options are the command line's: --size is the longer side, the
        image follows the mesh's X/Y aspect unless width and height are both given; tile "I/N";
        region (x0, y0, x1, y1) in the mesh's own coordinates; heights "metres" gives z in the
        mesh's units; normal_convention "dx" flips the bump's green; azimuth and altitude light
        the hillshade; nodata fills the uncovered pixels of one-channel images (NaN allowed);
        edge_aligned puts the first and last samples on the borders (as --edge-aligned).
        Releases the GIL and renders on all cores (threads=N for fewer)."""
    @property
    def metadata(self) -> Optional[dict[str, Any]]:
        """The facts the last render's images would carry ("veldmap:z_min", "veldmap:extent",
        "veldmap:params", "veldmap:coverage", ...), or None before the first render."""
    def bake(self) -> None:
        """Bakes the mesh into the map, which then keeps its own copy (as the Bake button)."""
    def save(self, path: str) -> None:
        """Saves a scene holding the baked map."""
    def export_mesh(self, path: str) -> None:
        """Writes the mesh the map shows as a mesh file (.obj, .ply, .stl, ...)."""

def read_image(path: str) -> tuple[npt.NDArray[np.float32], dict[str, str]]:
    """Reads a PNG or EXR image (ours or any other) as float32, shape (H, W) or (H, W, C), row 0 at
    the top, PNG samples scaled to 0..1; and its text entries ("veldmap:z_min", ...) as strings."""

def plugin_folder() -> str:
    """The folder the plug-in modules are loaded from: $VELDMAP_PLUGIN_DIR, else "plugins" beside
    the build tree's module, else lib/veldmap/plugins of the prefix the module is installed in."""

def open(
    path: str,
    *,
    up: Optional[str] = None,
    node: Optional[str] = None,
    flat: bool = False,
    orient: Optional[str] = None,
) -> Map:
    """Opens a mesh file (OBJ, PLY, STL, glTF, ...) as a new map showing it, with the command
    line's --up, --node, --flat and --orient; or a scene file, as the map it holds. A missing file
    is FileNotFoundError; a file that cannot be used, ValueError with the command line's message."""
