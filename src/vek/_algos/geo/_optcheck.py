"""Option values checked against the driver's own option list before GDAL
sees them.

:func:`check_options` is what ``call_gdal_fun`` and ``open_file`` run
before a creating or opening call: it reads the option list GDAL itself
validates that call against (creation options, layer creation options or
open options), finds each option the way GDAL's validator does (exact
name, ``alias``/``deprecated_alias``, a leading or trailing ``*``, ASCII
case folded, first entry in document order) and checks the value with
:func:`~._values.check_option_value`. Names the list does not know
are left to GDAL (whose warning then arrives as a ``GDALWarning``).

The lists are parsed here, not taken from a driver's catalogue, because
the catalogue records leave out the ``alias`` attributes of ``<Value>``
entries, and because a layer list may be the dataset's own.
"""

from . import _env as env
from . import _error as error
from . import _xet as xet
from ._messages import skip_prefixes

__all__ = ["KINDS", "check_options", "option_entries", "find_entry", "applies_to"]

# the metadata item holding each kind of option list
KINDS = {
    "creation": "DMD_CREATIONOPTIONLIST",
    "multidim": "DMD_MULTIDIM_DATASET_CREATIONOPTIONLIST",
    "layer": "DS_LAYER_CREATIONOPTIONLIST",
    "open": "DMD_OPENOPTIONLIST",
}
_SCOPES = ("raster", "vector")


def _rules():
    """The value rules, imported with the first check: they bring ``re``,
    ``math`` and ``functools``, which importing ``base`` does not need."""
    from . import _values

    return _values
_cache: dict[str, list] = {}
_CACHE_SIZE = 256


def option_entries(xml_text) -> list:
    """``[(name, record), ...]`` of an option-list XML text, in document
    order, duplicates kept (GDAL uses the first that matches).

    A record holds the element's attributes, ``"value"`` (the ``<Value>``
    texts), ``"value_aliases"`` (their ``alias``/``deprecated_alias``
    attributes) and ``"other_values"`` (an ``<OtherValues>`` element: other
    values are fine too) where there are any. A text that does not parse gives
    ``[]`` (GDAL then assumes every option valid).
    """
    if not xml_text:
        return []
    entries = _cache.get(xml_text)
    if entries is not None:
        return entries
    try:
        root = xet.fromstring(xml_text)
    except Exception:
        entries = []
    else:
        entries = [_entry(item) for item in root if _rules().fold(item.tag) == "option"]
    if len(_cache) >= _CACHE_SIZE:
        _cache.clear()
    _cache[xml_text] = entries
    return entries


def _entry(item):
    fold = _rules().fold
    record = dict(item.attrib)
    name = record.pop("name", "")
    values, aliases = [], []
    for child in item:
        if fold(child.tag) == "othervalues":  # GDAL 3.11+: any other value is fine too
            record["other_values"] = True
        if fold(child.tag) != "value":
            continue
        values.append(child.text or "")
        for key in ("alias", "deprecated_alias"):
            if key in child.attrib:
                aliases.append(child.attrib[key])
    if values:
        record["value"] = values
    if aliases:
        record["value_aliases"] = aliases
    return name, record


def find_entry(entries, key: str):
    """The ``(name, record)`` GDAL's validator checks the option ``key``
    against, or ``None``: the first entry whose name ends in ``*`` and
    starts the key, begins with ``*`` and ends a longer key, equals the key
    or has it as its alias, all without regard to ASCII case."""
    fold = _rules().fold
    folded = fold(key)
    for name, record in entries:
        fname = fold(name)
        if fname.endswith("*") and folded.startswith(fname[:-1]):
            return name, record
        if fname.startswith("*") and len(key) > len(name) and folded.endswith(fname[1:]):
            return name, record
        star = fname.find("*")
        if 0 < star < len(fname) - 1 and len(key) > star and folded.startswith(fname[:star]) \
                and folded[star + 1:] == fname[star + 1:]:
            return name, record  # GDAL 3.10+: a '*' inside stands for one character
        if fname == folded:
            return name, record
        alias = record.get("alias", record.get("deprecated_alias", ""))
        if alias and fold(alias) == folded:
            return name, record
    return None


def _split(item: str):
    """``(key, value)`` of a ``KEY=VALUE`` (or ``KEY:VALUE``) text as
    GDAL's CPLParseNameValue reads it, or ``None``."""
    import re

    match = re.match(r"([^=:]*)[=:][ \t]*", item)
    if match is None:
        return None
    return match.group(1).rstrip(" \t"), item[match.end():]


def _scopes(record) -> list:
    """The kinds of dataset an option's ``scope`` names; none: every kind."""
    import re

    words = set(re.split(r"[\s,]+", _rules().fold(record.get("scope") or "")))
    return [s for s in _SCOPES if s in words]


def applies_to(record, scope: str) -> bool:
    """Whether the option applies to a ``scope`` ("raster" or "vector")
    dataset: its ``scope`` names that kind, or names none."""
    named = _scopes(record)
    return not named or scope in named


def _scope_refusal(record, scope):
    if scope is None or applies_to(record, scope):
        return None
    return f"the option applies to {' and '.join(_scopes(record))} datasets only, not to a {scope} dataset"


def _check_one(entries, key, value, scope):
    """The text to hand GDAL for ``key``, ``None`` when the list does not know it."""
    lookup = key[1:] if key.startswith("@") else key
    if _rules().fold(lookup) == "validate_open_options":
        return None
    found = find_entry(entries, lookup)
    if found is None:
        return None
    name, record = found
    refusal = _scope_refusal(record, scope)
    if refusal is not None:
        raise _rules().OptionValueError(key, value, refusal)
    return _rules().check_option_value(key, value, record)


def _policy():
    check = getattr(env, "OptionsCheck", "error")
    return check if check in ("error", "warn", "off") else "error"


def check_options(options, xml_text, *, kind="creation", scope=None, container=""):
    """Check the values of ``options`` against the option list ``xml_text``.

    ``options`` is what the binding call would get: a mapping of name to
    value or a list of ``KEY=VALUE`` texts (``None`` passes through). The
    result has the same form, each value the list knows replaced by its
    checked text (booleans as YES/NO, blanks dropped, ...). ``kind``
    (a key of ``KINDS``: ``"creation"``, ``"layer"``, ...) and ``container`` (such as
    ``"driver GTiff"``) only word the messages; ``scope`` (``"raster"``,
    ``"vector"`` or ``None``) refuses options whose ``scope`` attribute
    names only the other kind.

    A refused value raises :class:`~vek.optioncheck.OptionValueError`
    before anything reaches GDAL, or, with ``[options] check = "warn"`` in
    the configuration, emits an ``OptionValueWarning`` and is handed on
    as given; ``"off"`` returns ``options`` unchanged. A value without a
    text form (a list, a dict) raises TypeError naming the option.
    """
    if options is None:
        return None
    policy = _policy()
    entries = option_entries(xml_text) if policy != "off" else []
    if not entries:
        return options
    what = f"{kind} option" + (f" of {container}" if container else "")
    if hasattr(type(options), "keys") and not isinstance(options, (str, bytes)):
        out = {}
        for key in options.keys():
            value = options[key]
            name = key if isinstance(key, str) else str(key)
            checked = None if value is None else _guarded(entries, name, value, scope, what, policy)
            out[key] = value if checked is None else checked
        return out
    if not isinstance(options, (list, tuple)):
        return options  # the conversion refuses it with its own message
    out = []
    for item in options:
        parts = _split(item) if isinstance(item, str) else None
        if parts is None:
            out.append(item)
            continue
        checked = _guarded(entries, parts[0], parts[1], scope, what, policy)
        # drivers look values up as "KEY=": no blanks around the separator
        out.append(item if checked is None else f"{parts[0]}={checked}")
    return out


def _guarded(entries, key, value, scope, what, policy):
    import warnings

    try:
        return _check_one(entries, key, value, scope)
    except _rules().OptionValueError as exc:
        if policy == "error":
            raise
        warnings.warn(
            error.OptionValueWarning(f"{exc} ({what}; handed to GDAL as given)",
                                     exc.name, exc.value, exc.allowed),
            skip_file_prefixes=skip_prefixes(),
        )
        return None
