"""Compiled algorithms of vek."""
