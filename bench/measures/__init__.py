"""One module per figure; each runs every implementation on a fresh event loop."""
