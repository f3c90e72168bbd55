"""The user's configuration file."""
