"""The `python -m talvo` demo: a whole session against the stand-in renderer."""
