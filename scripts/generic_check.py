"""pytest plugin for make test-generic: the tests must import the build without shortcuts."""

import os

import pytest


@pytest.hookimpl(trylast=True)
def pytest_sessionstart(session):
    import vek._algos.geo.driver as driver

    site = os.environ.get("VEK_GENERIC_SITE", "")
    path = os.path.realpath(driver.__file__)
    if not site or not path.startswith(os.path.realpath(site) + os.sep):
        raise pytest.UsageError(f"tests would import {path}, not the build without shortcuts in {site!r}")
    if type(driver.Driver.__init__)._shortcuts():
        raise pytest.UsageError(f"{path} was built with the shortcuts (VEK_FASTPATH=ON)")
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.write_line(f"vek._algos.geo.driver without shortcuts: {path}")
