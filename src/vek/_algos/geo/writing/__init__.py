"""Writing what the caller holds: numpy arrays and features, in one call."""
