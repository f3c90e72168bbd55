"""Checks of option values against a driver's option catalogue.

A driver keeps whatever value it is given (``Driver.set_creation_options``
stores values unchanged). Every call that creates or opens a dataset
through GDAL checks the values it hands over with
:func:`check_option_value`, against the driver's own option list for that
call (creation, layer creation or open options), before GDAL sees them; the
command line does the same. GDAL itself only warns about a bad value and
goes on with it, so a typo such as ``COMPRESS=LZX`` would otherwise give a
file that is not what was asked for.

The configuration file decides what a refused value does
(``[options] check``): ``"error"`` (the default) raises
:class:`OptionValueError` before anything is written, ``"warn"`` emits an
``OptionValueWarning`` and hands the value to GDAL as it is, ``"off"``
hands every value to GDAL unchecked (GDAL's own warnings still arrive as
``GDALWarning``).

The record is one entry of an option catalogue: the option's attributes as
GDAL's option list gives them (``type``, ``default``, ``min``, ``max``,
``maxsize``, ...) and, under ``"value"``, the list of permitted values when
the list names any; ``"value_aliases"`` may list further accepted
spellings of them (the ``alias`` attributes of the list's ``<Value>``
entries), and a true ``"other_values"`` says that values beyond the list
are fine too (an ``<OtherValues>`` element). A record without them (a
driver's catalogue records none) is completed from the running registry's
option lists, so that a catalogue record gets the verdict creating gives.

The rules are GDAL's own (GDALValidateOptions and the readers drivers use:
``atoi``, ``CPLStrtod``, ``CPLTestBool``, ``EQUAL``), by type as the option
list spells it (compared without regard to ASCII case):

``int``, ``integer``, ``unsigned int``
    An optional sign (no minus for ``unsigned int``) and decimal digits,
    within a C ``int`` (drivers read the value with ``atoi``). GDAL's own
    check also passes ``+``, ``--5``, ``5-3`` and the empty text, which
    drivers then read as some other number; they are refused here.
``float``
    A number as GDAL's ``CPLStrtod`` reads it: decimal with an optional
    exponent, ``inf``, ``infinity`` and ``nan``, and before GDAL 3.9 (C's
    ``strtod``) also hexadecimal (``0x10``, ``0x1p3``) and ``nan(...)``.
    A ``nan`` is refused where ``min`` or ``max`` bound the option (GDAL's
    comparisons let it through any bound), and so is the empty text.
``boolean``
    ``YES``/``NO``, ``TRUE``/``FALSE``, ``ON``/``OFF``, and ``1``/``0`` (as
    drivers read them), in any ASCII case; normalised to ``YES`` or ``NO``.
``string-select``
    One of the permitted values or their aliases, compared as GDAL's
    ``EQUAL`` does (ASCII letters without regard to case, nothing else
    folded); normalised to the list's spelling. A default that the list
    does not name is not a permitted value.
``string``
    Any text, no longer than ``maxsize`` bytes of UTF-8 where that is given.
any other type, or none
    Any text (GDAL does not check it either).

Blanks around numbers, booleans and permitted values are dropped (GDAL
skips leading ones only, and a driver reading ``' NO'`` takes it for
true). ``min`` and ``max`` bound the numeric types where the record gives
them, read as GDAL reads them (``atoi`` for integers, ``CPLAtof`` for
floats). Texts with a NUL character are refused: GDAL's texts end there.
"""

from ._algos.geo.options import values as _values
from ._algos.geo.options.values import (  # noqa: F401
    NO_TEXT_TYPES,
    OptionValueError,
    allowed_text,
    c_atof,
    c_atoi,
    fold,
    value_text,
)


def check_option_value(name, value, record) -> str:
    try:
        return _values.check_option_value(name, value, record)
    except OptionValueError:
        # A driver's catalogue records only the <Value> texts of its lists;
        # the aliases and <OtherValues> that creating accepts come from the
        # lists themselves, so that both give one verdict.
        from ._algos.geo.options.check import completed_record

        full = completed_record(record)
        if full is record:
            raise
    return _values.check_option_value(name, value, full)


check_option_value.__doc__ = (_values.check_option_value.__doc__ or "") + """
    A record of a driver's catalogue (``creation_options_info``,
    ``open_options_info``) lists the permitted values but not their
    aliases (``PREDICTOR=2`` for COG's ``STANDARD``); they are taken from
    the option list the record came from, found in the running registry by
    the record's attributes and values, so the verdict is the one creating
    gives.
    """

__all__ = ["OptionValueError", "check_option_value", "allowed_text", "value_text", "fold"]
