"""Errors raised by talvo."""


class TalvoError(Exception):
    """Base class for talvo's own errors."""


class VeldaModelNotSupported(TalvoError):
    """The model opened fine but is of a kind this renderer cannot drive."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class ImxFormatError(TalvoError, ValueError):
    """A file is not a well-formed ``.imx`` container (truncated, corrupt or hostile)."""
