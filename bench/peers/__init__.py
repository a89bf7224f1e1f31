"""What a user would write instead of talvo's stream: the same pipeline in plain Python."""
