"""pytest plugin for make test-asan: the tests must import the sanitized build."""

import os

import pytest


@pytest.hookimpl(trylast=True)
def pytest_sessionstart(session):
    import vek._algos.geo.driver as driver

    site = os.environ.get("VEK_ASAN_SITE", "")
    path = os.path.realpath(driver.__file__)
    if not site or not path.startswith(os.path.realpath(site) + os.sep):
        raise pytest.UsageError(f"tests would import {path}, not the sanitized build in {site!r}")
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.write_line(f"sanitized vek._algos.geo.driver: {path}")
