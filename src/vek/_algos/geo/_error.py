"""Exception classes of ``vek._algos.geo``.

``FormatError(ValueError)``
    Options a driver does not know, with suggestions.
``GDALError(RuntimeError)``
    A GDAL call failed; carries GDAL's own message.
``GDALFileNotFoundError(FileNotFoundError, GDALError)``
    A dataset to open does not exist.
``ConfigError(ValueError)``
    The user configuration file is malformed or invalid.
``ConfigFileNotFoundError(FileNotFoundError, ConfigError)``
    The configuration file named by ``VEK_CONFIG`` does not exist.
``ConfigWarning(UserWarning)``
    The configuration names a driver that is not registered.

Warning categories:

``GDALWarning(UserWarning)``
    A warning (CE_Warning) GDAL gave during a call; carries GDAL's message.
``OptionValueWarning(UserWarning)``
    An option value GDAL would not take, handed on because the
    configuration says ``[options] check = "warn"``.
"""

__all__ = [
    "FormatError",
    "GDALError",
    "GDALFileNotFoundError",
    "ConfigError",
    "ConfigFileNotFoundError",
    "ConfigWarning",
    "GDALWarning",
    "OptionValueWarning",
    "WriteMismatch",
    "WriteMismatchWarning",
]

_NO_ARG = object()


def closest_name(name: str, valid: list[str]) -> str | None:
    """The valid option name ``name`` most likely meant, or ``None``.

    A name equal up to case wins; otherwise the closest name by difflib's
    ratio (compared without case), if it is close enough.
    """
    folded = name.casefold()
    for candidate in valid:
        if candidate.casefold() == folded:
            return candidate
    if not valid:
        return None
    import difflib

    by_fold: dict[str, str] = {}
    for candidate in valid:
        by_fold.setdefault(candidate.casefold(), candidate)
    hits = difflib.get_close_matches(folded, list(by_fold), n=1, cutoff=0.6)
    return by_fold[hits[0]] if hits else None


def _aliases(all_sels) -> list[str]:
    """The other names the catalogue's records accept (``alias``, else
    ``deprecated_alias``, as GDAL reads them)."""
    found: list[str] = []
    try:
        records = list(all_sels.values())
    except Exception:
        return found
    for record in records:
        if isinstance(record, dict):
            alias = record.get("alias", record.get("deprecated_alias"))
            if isinstance(alias, str) and alias:
                found.append(alias)
    return found


def _format_message(errors: list[str], all_sels) -> str:
    valid = [str(name) for name in all_sels]
    candidates = valid + [a for a in _aliases(all_sels) if a not in valid]
    parts = []
    for name in errors:
        hint = closest_name(name, candidates)
        if hint is not None and hint != name:
            parts.append(f"{name!r} (did you mean {hint!r}?)")
        else:
            parts.append(repr(name))
    if len(parts) == 1:
        head = f"Unknown option {parts[0]}."
    else:
        head = f"Unknown options {', '.join(parts)}."
    if valid:
        return f"{head} Valid options: {', '.join(valid)}."
    return f"{head} No options are accepted here."


class FormatError(ValueError):
    """Options that the format (driver) does not accept.

    Two ways to raise it::

        FormatError("free text message")
        FormatError(errors=["compress"], all_sels=catalogue)

    In the second form ``errors`` lists the rejected option names and
    ``all_sels`` is the option catalogue (option name -> record dict).  The
    message names every rejected option, suggests the closest valid name
    where one is near (same name up to case first, then difflib) and lists
    the valid names.  Both keywords are kept as attributes (``None`` in the
    first form); ``str(exc)`` is the message.
    """

    def __init__(self, message=_NO_ARG, /, *, errors=None, all_sels=None):
        if message is not _NO_ARG:
            if errors is not None or all_sels is not None:
                raise TypeError(
                    "FormatError takes either a message or the keywords "
                    "errors= and all_sels=, not both"
                )
            if not isinstance(message, str):
                raise TypeError(
                    f"FormatError message must be a str, not {type(message).__name__}"
                )
            super().__init__(message)
            self.errors = None
            self.all_sels = None
            return
        if errors is None or all_sels is None:
            raise TypeError(
                "FormatError needs a message, or both errors= and all_sels="
            )
        if isinstance(errors, str):
            errors = [errors]
        errors = [e if isinstance(e, str) else str(e) for e in errors]
        if not hasattr(all_sels, "keys"):
            raise TypeError(
                "all_sels must be a mapping of option name -> record, "
                f"not {type(all_sels).__name__}"
            )
        super().__init__(_format_message(errors, all_sels))
        self.errors = errors
        self.all_sels = all_sels

    @property
    def message(self) -> str:
        return self.args[0]

    def __str__(self) -> str:
        return self.args[0]

    def __reduce__(self):
        if self.errors is None:
            return (type(self), (self.args[0],))
        return (_rebuild_format_error, (type(self), self.errors, self.all_sels))


def _rebuild_format_error(cls, errors, all_sels):
    return cls(errors=errors, all_sels=all_sels)


class GDALError(RuntimeError):
    """A GDAL call failed.

    ``str(exc)`` names what failed and includes GDAL's message.  Attributes:
    ``function`` (binding function name or ``None``), ``gdal_message``
    (GDAL's own text, may be empty), ``error_no`` (CPLErrorNum),
    ``error_type`` (CPLErr class, 3 = failure, 4 = fatal), ``path`` (the
    dataset path concerned, or ``None``), ``warnings`` (the
    ``(error_no, message)`` pairs of the warnings GDAL gave before failing,
    also named in ``str(exc)``).
    """

    def __init__(
        self,
        message: str,
        *,
        function=None,
        gdal_message: str = "",
        error_no: int = 0,
        error_type: int = 3,
        path=None,
        warnings=(),
    ):
        super().__init__(message)
        self.function = function
        self.gdal_message = gdal_message
        self.error_no = error_no
        self.error_type = error_type
        self.path = path
        self.warnings = list(warnings)

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""

    def __reduce__(self):
        return (
            _rebuild_gdal_error,
            (
                type(self),
                str(self),
                self.function,
                self.gdal_message,
                self.error_no,
                self.error_type,
                self.path,
                self.warnings,
            ),
        )


def _rebuild_gdal_error(cls, message, function, gdal_message, error_no, error_type, path,
                        warnings=()):
    return cls(
        message,
        function=function,
        gdal_message=gdal_message,
        error_no=error_no,
        error_type=error_type,
        path=path,
        warnings=warnings,
    )


class GDALFileNotFoundError(FileNotFoundError, GDALError):
    """The dataset to open does not exist (also a ``FileNotFoundError``)."""

    def __init__(self, message: str, **kw):
        GDALError.__init__(self, message, **kw)
        self.filename = kw.get("path")

    __str__ = GDALError.__str__
    __reduce__ = GDALError.__reduce__


class ConfigError(ValueError):
    """The user configuration file is malformed or holds invalid values.

    ``path`` is the file, ``key`` the dotted key concerned (or ``None``).
    """

    def __init__(self, message: str, *, path=None, key=None):
        super().__init__(message)
        self.path = path
        self.key = key

    def __reduce__(self):
        return (_rebuild_config_error, (type(self), self.args[0], self.path, self.key))


def _rebuild_config_error(cls, message, path, key):
    return cls(message, path=path, key=key)


class ConfigFileNotFoundError(FileNotFoundError, ConfigError):
    """The configuration file named by ``VEK_CONFIG`` does not exist."""

    def __init__(self, message: str, *, path=None, key=None):
        ConfigError.__init__(self, message, path=path, key=key)
        self.filename = path

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""

    __reduce__ = ConfigError.__reduce__


class ConfigWarning(UserWarning):
    """The configuration file names something the running GDAL does not have
    (a driver table that matches no registered driver); the setting has no
    effect. ``vek-drivers config --check`` reports every such finding."""
class GDALWarning(UserWarning):
    """A warning GDAL gave during a call the package made.

    ``error_no`` is GDAL's error number (CPLErrorNum), ``message`` GDAL's
    own text, which is also ``str(warning)``. Turn these into errors with
    the standard filter: ``warnings.simplefilter("error", GDALWarning)``.
    """

    def __init__(self, message: str, error_no: int = 0):
        super().__init__(message)
        self.message = message
        self.error_no = error_no

    def __str__(self) -> str:
        return self.message

    def __reduce__(self):
        return (type(self), (self.message, self.error_no))


class OptionValueWarning(UserWarning):
    """An option value that GDAL would not take, handed on all the same
    because the configuration says ``[options] check = "warn"``.

    ``name``, ``value`` and ``allowed`` are those of the
    :class:`vek.optioncheck.OptionValueError` it stands for.
    """

    def __init__(self, message: str, name=None, value=None, allowed=None):
        super().__init__(message)
        self.name = name
        self.value = value
        self.allowed = allowed

    def __reduce__(self):
        return (type(self), (self.args[0], self.name, self.value, self.allowed))


class WriteMismatch(GDALError):
    """What GDAL wrote is not what was asked: read back once written, the
    dataset differs (its nodata, spatial reference, a field's name or
    type, ...), and with ``verify="error"`` nothing was kept of it.

    ``differences`` lists them, each a :class:`~vek._algos.geo.verify.compare.Difference`
    (``what``, ``asked``, ``held``; ``str()`` reads "nodata: asked 0, the
    file holds 1.70141e+38"); they are also named in ``str(exc)``.
    """

    def __init__(self, message: str, *, differences=(), **kw):
        super().__init__(message, **kw)
        self.differences = list(differences)

    def __reduce__(self):
        return (_rebuild_mismatch, (type(self), str(self), self.path, self.differences))


def _rebuild_mismatch(cls, message, path, differences):
    return cls(message, path=path, differences=differences)


class WriteMismatchWarning(UserWarning):
    """One difference between what was asked and what GDAL wrote, with
    ``verify="warn"`` (the file was kept). ``difference`` is the
    :class:`~vek._algos.geo.verify.compare.Difference`, ``path`` the file."""

    def __init__(self, message: str, difference=None, path=None):
        super().__init__(message)
        self.difference = difference
        self.path = path

    def __reduce__(self):
        return (type(self), (self.args[0], self.difference, self.path))
