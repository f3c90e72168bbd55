"""The registry as a whole: which driver a path is for, and drivers as
plain data (describe, snapshot)."""
