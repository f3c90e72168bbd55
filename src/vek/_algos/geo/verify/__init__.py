"""Reading back what was written, and comparing it with what was asked."""
