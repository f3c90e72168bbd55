"""Writing arrays and features: vek against the same write made with
``osgeo`` calls (the floor), each way in its own interpreter, rounds
alternating, medians of the operation's CPU time.

Run from the project root (``make bench`` runs it after ``run.py``)::

    .venv/bin/python benchmarks/writing.py            # about a minute
    .venv/bin/python benchmarks/writing.py --quick    # a smoke run

Rows:

``write_raster 4096x4096 Float32 GTiff``
    floor: Create, the spatial reference, geotransform and nodata,
    WriteArray, close, and one open of the file (vek reads it back);
    vek: ``write_raster`` (written aside, compared, published). Target 1.1.
``write_vector 100,000 points, 3 fields, GPKG``
    floor: CreateDataSource, CreateLayer and its fields, then one
    CreateFeature per point in a transaction, close; vek: ``write_vector``
    of the same points as GeoJSON-like mappings. Target 1.5.
``write_vector peak memory, 10x the features``
    Python's peak allocation (tracemalloc) writing ten times the features
    from a generator, against writing the tenth: the features are streamed,
    never all held. Target 1.5.
"""

import argparse
import json
import statistics
import subprocess
import sys

RASTER = 4096
POINTS = 100_000

_CHILD = r'''
import atexit, json, os, shutil, sys, time, tempfile
way, what, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
folder = tempfile.mkdtemp(prefix="vek-bench-write-")
atexit.register(shutil.rmtree, folder, True)  # after the datasets are closed
import numpy as np
srs, bounds, nodata = "EPSG:32631", (500000.0, 0.0, 500000.0 + 10 * n, 10.0 * n), -9999.0

def points(count):
    for i in range(count):
        yield {"geometry": {"type": "Point", "coordinates": [500000.0 + i, 100.0 + i % 97]},
               "properties": {"name": f"p{i % 1000}", "value": i * 0.5, "count": i}}

if way == "floor":
    from osgeo import gdal, ogr, osr
    gdal.UseExceptions()
    osr.SpatialReference().SetFromUserInput(srs)  # PROJ's database opened, as vek's check below opens it
else:
    import vek
    vek.write_raster(os.path.join(folder, "warm.tif"), np.zeros((2, 2), np.float32), srs=srs, bounds=(0, 0, 2, 2)).close()
    vek.write_vector(os.path.join(folder, "warm.gpkg"), {"w": points(1)}, srs=srs).close()
if what == "raster":
    data = np.random.default_rng(1).random((n, n), dtype=np.float32)
    path = os.path.join(folder, "r.tif")
    t0 = time.process_time()
    if way == "floor":
        ds = gdal.GetDriverByName("GTiff").Create(path, n, n, 1, gdal.GDT_Float32)
        ref = osr.SpatialReference(); ref.SetFromUserInput(srs)
        ds.SetSpatialRef(ref)
        ds.SetGeoTransform((bounds[0], 10.0, 0.0, bounds[3], 0.0, -10.0))
        band = ds.GetRasterBand(1); band.SetNoDataValue(nodata); band.WriteArray(data)
        band = ds = None
        gdal.Open(path).Close() if hasattr(gdal.Dataset, "Close") else gdal.Open(path)
    else:
        vek.write_raster(path, data, srs=srs, bounds=bounds, nodata=nodata).close()
    print(json.dumps(time.process_time() - t0))
elif what == "vector":
    features = list(points(n))
    path = os.path.join(folder, "v.gpkg")
    t0 = time.process_time()
    if way == "floor":
        ds = ogr.GetDriverByName("GPKG").CreateDataSource(path)
        ref = osr.SpatialReference(); ref.SetFromUserInput(srs)
        layer = ds.CreateLayer("pts", ref, ogr.wkbPoint)
        for name, kind in (("name", ogr.OFTString), ("value", ogr.OFTReal), ("count", ogr.OFTInteger64)):
            layer.CreateField(ogr.FieldDefn(name, kind))
        defn = layer.GetLayerDefn()
        ds.StartTransaction()
        for f in features:
            feature = ogr.Feature(defn)
            p = f["properties"]
            feature.SetField("name", p["name"]); feature.SetField("value", p["value"])
            feature.SetField("count", p["count"])
            point = ogr.Geometry(ogr.wkbPoint)
            x, y = f["geometry"]["coordinates"]
            point.AddPoint_2D(x, y)
            feature.SetGeometry(point)
            layer.CreateFeature(feature)
        ds.CommitTransaction()
        layer = ds = None
    else:
        vek.write_vector(path, {"pts": features}, srs=srs).close()
    print(json.dumps(time.process_time() - t0))
else:  # memory: streamed from a generator
    import tracemalloc
    tracemalloc.start()
    vek.write_vector(os.path.join(folder, "m.gpkg"), {"pts": points(n)}, srs=srs).close()
    print(json.dumps(tracemalloc.get_traced_memory()[1]))
'''


def child(way, what, n):
    out = subprocess.run([sys.executable, "-c", _CHILD, way, what, str(n)], capture_output=True, text=True,
                         check=True)
    return json.loads(out.stdout.split("\n")[-2] if out.stdout.endswith("\n") else out.stdout)


def paired(what, n, rounds):
    times = {"floor": [], "vek": []}
    for r in range(rounds):
        for way in (("floor", "vek") if r % 2 == 0 else ("vek", "floor")):
            times[way].append(child(way, what, n))
    return {w: statistics.median(v) for w, v in times.items()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, few rounds (smoke run)")
    parser.add_argument("--rounds", type=int, default=None)
    parser.add_argument("--json", help="write the results to this file")
    args = parser.parse_args(argv)
    rounds = args.rounds or (1 if args.quick else 7)
    raster, points = (256, 2_000) if args.quick else (RASTER, POINTS)
    rows = []
    for name, what, n, target in ((f"write_raster {raster}x{raster} Float32 GTiff", "raster", raster, 1.1),
                                  (f"write_vector {points:,} points, 3 fields, GPKG", "vector", points, 1.5)):
        got = paired(what, n, rounds)
        rows.append({"operation": name, "floor s": got["floor"], "vek s": got["vek"],
                     "ratio": got["vek"] / got["floor"], "target": target})
    small, large = (child("vek", "memory", points // 10) for _ in range(1)), child("vek", "memory", points)
    small = next(small)
    rows.append({"operation": "write_vector peak memory, 10x the features", "floor s": None, "vek s": None,
                 "ratio": large / small, "target": 1.5, "bytes": [small, large]})
    print(f"writing benchmarks, {rounds} rounds, medians of CPU time"
          + (" (--quick: numbers are not meaningful)" if args.quick else ""))
    print(f"{'operation':48} {'floor s':>9} {'vek s':>9} {'ratio':>6} {'target':>7}  status")
    for row in rows:
        status = "OK" if row["ratio"] <= row["target"] else "MISS"
        row["status"] = status
        floor = "-" if row["floor s"] is None else f"{row['floor s']:.3f}"
        vek = "-" if row["vek s"] is None else f"{row['vek s']:.3f}"
        print(f"{row['operation']:48} {floor:>9} {vek:>9} {row['ratio']:6.2f} {'<= %.2f' % row['target']:>7}  {status}")
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(rows, fh, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
