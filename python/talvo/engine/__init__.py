"""Model storage for the renderer: the ``.imx`` container reader and writer."""

from talvo.engine.video_reader import (
    ImxContainer,
    ImxFormatError,
    is_imx_file,
    pack_demo_model,
    write_imx,
)

__all__ = ["ImxContainer", "ImxFormatError", "is_imx_file", "pack_demo_model", "write_imx"]
