"""Show what vek's GDAL driver view gives: ``python -m vek.demo``."""

import vek._algos.geo.driver as driver


def main() -> None:
    print(f"vek._algos.geo.driver: {driver.__file__}")
    if hasattr(driver, "RasterDriver"):
        d = driver.RasterDriver("GTiff")
        print(repr(d))
        for prop in ("name", "long_name", "category", "extension"):
            print(f"  {prop}: {getattr(d, prop, '<missing>')!r}")
        return
    print("module namespace:", sorted(k for k in vars(driver) if not k.startswith("__")))
    try:
        from vek._algos.geo.base import _gdal

        print("GDAL driver count:", _gdal.GetDriverCount())
    except (ImportError, AttributeError) as exc:
        print(f"GDAL driver count not available yet: {exc}")


if __name__ == "__main__":
    main()
