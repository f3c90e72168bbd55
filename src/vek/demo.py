"""A short tour of vek: ``make demo`` or ``python -m vek.demo [--html FILE]``.

1. the raster drivers that can create datasets;
2. GTiff and the first of its creation options;
3. a compressed, tiled GeoTIFF, read back by GDAL (size, compression,
   block size);
4. a bad option value refused before GDAL sees it;
5. the driver statistics, every driver, written as a standalone HTML page.

Each run writes into a fresh temporary directory of its own, which it
names and leaves for you to look at (``--html FILE`` puts the page
elsewhere).
"""

import argparse
import os
import sys
import tempfile
import textwrap

from vek import cli
from vek._algos.geo import driver
from osgeo import _gdal  # after the driver module, which says how to install a missing binding
from vek._cli.table import terminal_width
from vek.optioncheck import OptionValueError, check_option_value

SIZE = 512
OPTIONS = {"COMPRESS": "LZW", "TILED": "YES"}


def heading(number: int, text: str) -> None:
    print(f"\n{number}. {text}")


def creatable_rasters(width: int) -> None:
    stats = driver.DriveStatistics()
    names = [d.name for d in stats.creatables if "Raster" in d.category]
    heading(1, f"Raster drivers that create datasets: {len(names)} of {len(stats)} drivers")
    print(textwrap.fill(" ".join(names), width, initial_indent="   ", subsequent_indent="   "))


def gtiff_view(width: int) -> None:
    heading(2, "GTiff, with the first of its creation options")
    gtiff = cli.find_driver("GTiff")
    print(textwrap.indent(cli.show_text(gtiff, width=width - 3, limit=8), "   "))
    print(f"   (all of them: {cli.PROG} show GTiff)")


def _gradient(size: int) -> bytes:
    row = bytes(i % 256 for i in range(2 * size))
    return b"".join(row[y % 256 : y % 256 + size] for y in range(size))


def compressed_geotiff(folder: str) -> None:
    heading(3, "A compressed GeoTIFF")
    gtiff = driver.RasterDriver("GTiff")
    gtiff.set_creation_options(**OPTIONS)
    path = os.path.join(folder, "demo.tif")
    settings = ", ".join(f"{k}={v!r}" for k, v in OPTIONS.items())
    print(f"   RasterDriver('GTiff').set_creation_options({settings})")
    ds = gtiff.create(path, SIZE, SIZE, 1, "Byte")
    with ds:
        gdal = _gdal
        band = gdal.Dataset_GetRasterBand(ds.handle, 1)
        gdal.Band_WriteRaster(band, 0, 0, SIZE, SIZE, _gradient(SIZE))
    print(f"   created {path}: {SIZE} x {SIZE} pixels, 1 band of Byte")

    with gtiff.open(path) as back:
        gdal = _gdal
        band = gdal.Dataset_GetRasterBand(back.handle, 1)
        block = gdal.Band_GetBlockSize(band)
        compression = gdal.MajorObject_GetMetadataItem(back.handle, "COMPRESSION", "IMAGE_STRUCTURE")
        print(f"   GDAL reads it back: {back.xsize} x {back.ysize} pixels, "
              f"{back.band_count} band, compression {compression or 'none'}, "
              f"blocks {block[0]} x {block[1]}")
    size = os.path.getsize(path)
    print(f"   file size {size:,} bytes for {SIZE * SIZE:,} bytes of pixels")


def bad_value() -> None:
    heading(4, "A bad option value is refused before GDAL sees it")
    record = driver.RasterDriver("GTiff").creation_options_info["COMPRESS"]
    print(f"   {cli.PROG} create GTiff out.tif --size 10 10 -co COMPRESS=LZX")
    try:
        check_option_value("COMPRESS", "LZX", record)
    except OptionValueError as exc:
        print(textwrap.fill(f"{cli.PROG}: error: {exc}", 100,
                            initial_indent="   ", subsequent_indent="     "))


def statistics_page(path: str) -> None:
    heading(5, "The drivers table as an HTML page (every driver)")
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(cli.statistics_page(all_rows=True))
    print(f"   wrote {os.path.abspath(path)}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vek.demo", description=__doc__.split("\n")[0])
    parser.add_argument("--html", metavar="FILE",
                        help="where to write the drivers page (default: drivers.html in the "
                        "run's temporary directory)")
    args = parser.parse_args(argv)
    width = min(terminal_width(), 100)
    print(f"vek demo: GDAL {_gdal.VersionInfo('RELEASE_NAME')}, "
          f"{len(driver.DriveStatistics())} drivers registered")
    try:
        folder = tempfile.mkdtemp(prefix="vek-demo-")
        print(f"writing into {folder}")
        creatable_rasters(width)
        gtiff_view(width)
        compressed_geotiff(folder)
        bad_value()
        statistics_page(args.html or os.path.join(folder, "drivers.html"))
    except (cli.CLIError, OSError, driver.error.FormatError, driver.error.GDALError,
            driver.error.ConfigError) as exc:
        print(f"demo: error: {cli.error_message(exc)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
