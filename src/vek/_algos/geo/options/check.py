"""Option values checked against the driver's own option list before GDAL
sees them.

:func:`check_options` is what ``call_gdal_fun`` and ``open_file`` run
before a creating or opening call: it reads the option list GDAL itself
validates that call against (creation options, layer creation options or
open options), finds each option the way GDAL's validator does (exact
name, ``alias``/``deprecated_alias``, a leading or trailing ``*``, ASCII
case folded, first entry in document order), hands it on in the list's
spelling and checks the value with :func:`~.values.check_option_value`.
A name the list does not know is refused before GDAL is called, unless
GDAL's core takes it unlisted (asked of GDAL: :mod:`.unlisted`).

The lists are parsed here, not taken from a driver's catalogue, because
the catalogue records leave out the ``alias`` attributes of ``<Value>``
entries, and because a layer list may be the dataset's own.
"""

import _thread

from ..config import settings as env
from .. import _error as error
from ..binding import safexml as xet
from ..binding.messages import skip_prefixes
from ..binding.optionlists import CHECKED, OPTION_LISTS, applies_to
from ..binding.optionlists import scopes as _scopes
from .text import gdal_key, is_mapping, refuse_bad_name, split_option

__all__ = ["check_options", "option_entries", "option_list", "find_entry", "listed_spelling", "completed_record",
           "applies_to", "split_vector_copy"]


def _rules():
    """The value rules, imported with the first check: they bring ``re``,
    ``math`` and ``functools``, which importing ``base`` does not need."""
    from . import values as _values

    return _values
_cache: dict[str, list | None] = {}
_CACHE_SIZE = 256


def option_entries(xml_text) -> list:
    """``[(name, record), ...]`` of an option-list XML text, in document
    order, duplicates kept (GDAL uses the first that matches); ``[]`` both
    for a list that names no option and for no list at all (see
    :func:`option_list`, which tells them apart).

    A record holds the element's attributes, ``"value"`` (the ``<Value>``
    texts), ``"value_aliases"`` (their ``alias``/``deprecated_alias``
    attributes) and ``"other_values"`` (an ``<OtherValues>`` element: other
    values are fine too) where there are any.
    """
    return option_list(xml_text) or []


def option_list(xml_text):
    """The entries of :func:`option_entries`, or ``None`` when there is no
    list: no text, or one that does not parse (GDAL's validator then
    checks nothing). A list that names no option (``<CreationOptionList/>``)
    gives ``[]``: every name is unknown to it, as the validator warns."""
    if not xml_text:
        return None
    if xml_text in _cache:
        return _cache[xml_text]
    try:
        root = xet.fromstring(xml_text)
    except Exception:
        entries = None
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


# what a record may hold beyond the option's own attributes
_ADDED = frozenset({"value", "current", "value_aliases", "other_values"})
_registry_values: dict | None = None  # (attributes, values) -> {(aliases, other values)}
_registry_lock = _thread.allocate_lock()


def _record_key(attrs, values):
    return (frozenset((k, v) for k, v in attrs.items()
                      if isinstance(k, str) and isinstance(v, str) and k not in _ADDED),
            tuple(values))


def _index_registry() -> dict:
    """What the running registry's option lists say beyond their catalogue
    records, by the record's attributes and listed values: the ``<Value>``
    aliases and ``<OtherValues>`` of every option that lists values."""
    from osgeo import _gdal

    from ..binding.capabilities import metadata_item

    index: dict = {}
    for i in range(_gdal.GetDriverCount()):
        handle = _gdal.GetDriver(i)
        for kind in CHECKED:
            text = metadata_item(handle, OPTION_LISTS[kind])
            try:
                root = xet.fromstring(text) if text else ()
            except Exception:
                continue
            for element in root:
                children = list(element)
                if not children:
                    continue
                attrs = dict(element.attrib)
                attrs.pop("name", None)
                _name, record = _entry(element)
                extra = (tuple(record.get("value_aliases", ())), bool(record.get("other_values")))
                # as a catalogue records it (every child's text) and as the checks do
                for values in ([c.text for c in children], record.get("value", [])):
                    index.setdefault(_record_key(attrs, values), set()).add(extra)
    return index


def completed_record(record):
    """``record`` with the value aliases and ``other_values`` its option
    list gives, where it lacks them (a driver's catalogue records only the
    ``<Value>`` texts): found in the running registry's lists by the
    record's attributes and values, and kept only as far as every option so
    described agrees. ``record`` itself when there is nothing to add."""
    if not isinstance(record, dict) or "value_aliases" in record or "other_values" in record:
        return record
    values = record.get("value")
    if not isinstance(values, list):
        return record
    global _registry_values
    with _registry_lock:
        if _registry_values is None:
            _registry_values = _index_registry()
        found = _registry_values.get(_record_key(record, values))
    if not found:
        return record
    aliases = set.intersection(*(set(a) for a, _o in found))
    other = all(o for _a, o in found)
    if not aliases and not other:
        return record
    first = next(iter(found))[0]  # the list's order
    added = {"value_aliases": [a for a in first if a in aliases]} if aliases else {}
    return {**record, **added, **({"other_values": True} if other else {})}


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


def _scope_refusal(record, scope):
    if scope is None or applies_to(record, scope):
        return None
    return f"the option applies to {' and '.join(_scopes(record))} datasets only, not to a {scope} dataset"


def _check_one(entries, key, value, scope, lookup=None):
    """The text to hand GDAL for ``key``, ``None`` when the list does not
    know it; ``lookup`` is the name GDAL reads (``key`` by default)."""
    lookup = key if lookup is None else lookup
    lookup = lookup[1:] if lookup.startswith("@") else lookup
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


def _listed(xml_text, key) -> bool:
    return find_entry(option_entries(xml_text), key) is not None


def listed_spelling(entries, key):
    """``(known, spelling)`` of the option name ``key`` as GDAL reads it:
    whether GDAL's validator finds it in the list (or passes it by: a
    leading ``@``, ``VALIDATE_OPEN_OPTIONS``), and the list's own spelling
    of the name or alias it matched (``None`` for a pattern, or a name left
    as it is)."""
    fold = _rules().fold
    if key.startswith("@") or fold(key) == "validate_open_options":
        return True, None
    found = find_entry(entries, key)
    if found is None:
        return False, None
    name, record = found
    if "*" in name:
        return True, None
    if fold(name) == fold(key):
        return True, name
    for attr in ("alias", "deprecated_alias"):
        alias = record.get(attr)
        if isinstance(alias, str) and fold(alias) == fold(key):
            return True, alias
    return True, None


# the call whose validation GDAL runs, by kind of list (a copy is told apart
# by its caller)
_CALL_OF_KIND = {"creation": "create", "multidim": "multidim", "layer": "layer", "open": "open"}


def _catalogue(entries) -> dict:
    out: dict = {}
    for name, record in entries:
        out.setdefault(name, record)
    return out


def _warn(message, name, value, allowed) -> None:
    import warnings

    warnings.warn(error.OptionValueWarning(message, name, value, allowed),
                  skip_file_prefixes=skip_prefixes())


def _names(entries, given, policy, what, call):
    """``{given name: the list's spelling}`` for the names to respell, after
    refusing (or, under "warn", warning about) names that GDAL's validator
    does not know and its core does not take either. ``given`` is
    ``[(given name, GDAL's key, value, the text before "=")]``."""
    from .unlisted import taken_unlisted

    spelled, unknown = {}, []
    for name, key, value, part in given:
        known, spelling = listed_spelling(entries, key)
        if not known:
            unknown.append((part, key, value))
        elif spelling is not None and spelling != name and "=" not in name and ":" not in name:
            spelled[name] = spelling
    if unknown:
        taken = taken_unlisted(call, [part for part, _k, _v in unknown], _rules().fold, _listed)
        unknown = [item for item in unknown if item[0] not in taken]
    if unknown:
        refusal = error.FormatError(errors=[key for _n, key, _v in unknown], all_sels=_catalogue(entries))
        if policy == "error":
            raise refusal
        for _name, key, value in unknown:
            _warn(f"{error.FormatError(errors=[key], all_sels=_catalogue(entries))} "
                  f"({what}; handed to GDAL as given)", key, value, "an option name the list gives")
    return _one_each(spelled, [name for name, _k, _v, _p in given], policy, what)


def _one_each(spelled, names, policy, what):
    """``spelled`` without respellings that would make two given names one:
    GDAL would read the first and drop the other without a word."""
    fold = _rules().fold
    seen: dict = {}
    for name in names:
        target = fold(spelled.get(name, name))
        if target in seen:
            message = (f"options {seen[target]!r} and {name!r} name one option for GDAL "
                       f"({spelled.get(name, name)!r}); give it once")
            if policy == "error":
                raise ValueError(message)
            _warn(f"{message} ({what}; handed to GDAL as given)", name, None, "")
            return {}
        seen[target] = name
    return spelled


def check_options(options, xml_text, *, kind="creation", scope=None, container="", call=None):
    """Check the names and values of ``options`` against the option list ``xml_text``.

    ``options`` is what the binding call would get: a mapping of name to
    value or a list of ``KEY=VALUE`` texts (``None`` passes through). The
    result has the same form, each name the list knows in the list's
    spelling (GDAL compares names without regard to ASCII case) and each
    value replaced by its checked text (booleans as YES/NO, blanks
    dropped, ...). ``kind`` (one of :data:`~..binding.optionlists.CHECKED`: ``"creation"``,
    ``"layer"``, ...) and ``container`` (such as ``"driver GTiff"``) word
    the messages; ``call`` names the GDAL call (a key of
    :data:`~.unlisted.CALLS`; by default the one of ``kind``; ``"copy"``
    for CreateCopy), which tells the names GDAL's core takes unlisted;
    ``scope`` (``"raster"``, ``"vector"`` or ``None``) refuses options
    whose ``scope`` attribute names only the other kind.

    A name the list does not know (and GDAL's core does not take) raises
    :class:`~.._error.FormatError` naming the closest valid name, two names
    that GDAL reads as one raise ``ValueError``, and a refused value raises
    :class:`~vek.optioncheck.OptionValueError`, all before anything
    reaches GDAL; with ``[options] check = "warn"`` in the configuration
    each emits an ``OptionValueWarning`` instead and is handed on as
    given; ``"off"`` returns ``options`` unchanged. A value without a text
    form (a list, a dict) raises TypeError naming the option, a name GDAL
    would read only part of (``:`` or ``=`` in it) ValueError. Without an
    option list, or with one that does not parse, there is nothing to check
    against (GDAL's validator then passes everything too); a list that
    names no option knows no name.
    """
    if options is None:
        return None
    policy = _policy()
    entries = option_list(xml_text) if policy != "off" else None
    if entries is None:
        return options
    what = f"{kind} option" + (f" of {container}" if container else "")
    call = call or _CALL_OF_KIND.get(kind, "")
    if hasattr(type(options), "keys") and not isinstance(options, (str, bytes)):
        given = []
        for key in options.keys():
            name = key if isinstance(key, str) else str(key)
            refuse_bad_name(name)
            given.append((key, name, options[key]))
        spelled = _names(entries, [(name, gdal_key(name), value, name.split("=", 1)[0])
                                   for _k, name, value in given if value is not None], policy, what, call)
        out = {}
        for key, name, value in given:
            checked = None if value is None else _guarded(entries, name, value, scope, what, policy,
                                                          gdal_key(name))
            out[spelled.get(name, key)] = value if checked is None else checked
        return out
    if not isinstance(options, (list, tuple)):
        return options  # the conversion refuses it with its own message
    parsed = [(item, split_option(item) if isinstance(item, str) else None) for item in options]
    spelled = _names(entries, [(parts[0], parts[0], parts[1], item.split("=", 1)[0])
                               for item, parts in parsed if parts], policy, what, call)
    out = []
    for item, parts in parsed:
        if parts is None:
            out.append(item)
            continue
        checked = _guarded(entries, parts[0], parts[1], scope, what, policy)
        # drivers look values up as "KEY=": no blanks around the separator
        if checked is None and parts[0] not in spelled:
            out.append(item)
        else:
            out.append(f"{spelled.get(parts[0], parts[0])}={parts[1] if checked is None else checked}")
    return out


def _guarded(entries, key, value, scope, what, policy, lookup=None):
    import warnings

    try:
        return _check_one(entries, key, value, scope, lookup)
    except _rules().OptionValueError as exc:
        if policy == "error":
            raise
        warnings.warn(
            error.OptionValueWarning(f"{exc} ({what}; handed to GDAL as given)",
                                     exc.name, exc.value, exc.allowed),
            skip_file_prefixes=skip_prefixes(),
        )
        return None


def split_vector_copy(options, dataset_xml, layer_xml, *, container="", call="copy"):
    """``(dataset options, layer options)`` of the ``options`` mapping of a
    vector copy, which GDAL hands to Create alone: a name the dataset list
    lacks and the layer list knows is one for the layers. A name neither
    list knows (nor GDAL's core) raises :class:`~.._error.FormatError`
    naming the closest name of both, before anything is written; under
    ``[options] check = "warn"`` or ``"off"`` it stays with the dataset
    options, for the dataset check to deal with. Names and values are
    checked further by the calls each part reaches."""
    if not options or not is_mapping(options):
        return options, {}
    policy = _policy()
    ds, layer = option_list(dataset_xml), option_list(layer_xml)
    if policy == "off" or (ds is None and layer is None):
        return options, {}
    given = []
    for key in options.keys():
        name = key if isinstance(key, str) else str(key)
        refuse_bad_name(name)
        if options[key] is not None:
            given.append((name, gdal_key(name), options[key], name.split("=", 1)[0]))
    if policy == "error":
        what = "creation option" + (f" of {container}" if container else "")
        _names((ds or []) + (layer or []), given, policy, what, call)
    moved = {name for name, key, _v, _p in given
             if not listed_spelling(ds or [], key)[0] and listed_spelling(layer or [], key)[0]}
    return ({k: v for k, v in options.items() if str(k) not in moved},
            {k: v for k, v in options.items() if str(k) in moved})
