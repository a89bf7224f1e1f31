"""Talvo: asynchronous front end for a real-time talking-avatar renderer."""
