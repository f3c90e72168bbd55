"""Which rows a table shows when it is cut to a display limit."""

__all__ = ["get_sel"]


def _check_int(name, value):
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    return value


def get_sel(count, limit):
    """Which rows to show of ``count`` when at most ``limit`` may be shown.

    Returns ``(runs, shown)``.  ``runs`` is a pair of ``(start, stop)``
    range arguments: a leading run and a trailing run, the trailing run
    being ``(0, 0)`` when there is none; ``shown`` is how many rows the
    runs cover.

    * ``count <= limit``: ``((0, count), (0, 0))``, ``shown = count``;
    * otherwise the first ``(limit + 1) // 2`` and the last
      ``limit - (limit + 1) // 2`` rows: ``shown = limit``.  (With
      ``limit == 1`` the trailing run is the empty ``(count, count)``.)

    A negative ``count`` counts as 0; a ``limit`` of ``None`` or ``<= 0``
    means no limit.  Non-int arguments (``bool`` included) raise
    ``TypeError``.

    >>> get_sel(200, 10)
    (((0, 5), (195, 200)), 10)
    >>> get_sel(6, 10)
    (((0, 6), (0, 0)), 6)
    """
    count = _check_int("count", count)
    if count is None:
        raise TypeError("count must be an int, not NoneType")
    limit = _check_int("limit", limit)
    if count < 0:
        count = 0
    if limit is None or limit <= 0 or count <= limit:
        return ((0, count), (0, 0)), count
    head = (limit + 1) // 2
    tail = limit - head
    return ((0, head), (count - tail, count)), limit
