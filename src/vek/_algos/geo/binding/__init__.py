"""What GDAL's bindings say and how they are read: messages, paths, driver
metadata and capabilities, option-list kinds, data types, the XML reader,
and the one way up to the extension's classes."""
