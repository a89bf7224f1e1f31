"""`python -m talvo serve`: the avatar live in a browser, one `AsyncTalvo` per WebSocket.

Needs aiohttp (`pip install 'talvo[serve]'`); nothing here is imported by the core package.
"""
