"""Wrong argument lists and wrong types for every operation: the host's TypeError at call time,
or the documented error when the value is used, and never a crash or a silent failure."""

import pytest

from talvo.runtime_async import AsyncTalvo


class TestQueueSize:
    @pytest.mark.parametrize("size", ["6", 6.0, None, True, b"6"])
    def test_a_size_the_queue_cannot_use_is_refused_at_construction(self, size):
        # Accepted, it would fail only at the producer's first put: an empty stream, no error.
        with pytest.raises(TypeError, match=f"output_buffer_size must be an int, not "
                                            f"{type(size).__name__}"):
            AsyncTalvo(output_buffer_size=size)

    @pytest.mark.asyncio
    async def test_create_refuses_it_too(self):
        with pytest.raises(TypeError, match="output_buffer_size must be an int"):
            await AsyncTalvo.create(output_buffer_size="6")
