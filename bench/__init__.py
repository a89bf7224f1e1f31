"""Side-by-side benchmarks of talvo's frame stream against the plain-asyncio and janus peers.

Run with ``python -m bench`` (or ``python bench/run.py``) from the repository root.
"""
