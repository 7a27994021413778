"""Small helpers shared by kvo modules."""

# Type stubs of the kvo_handy extension module; the docstrings are the module's own.
from typing import Any, Callable

class Callback:
    """A multicast callback: calling it calls every subscriber in order."""

    def __init__(self) -> None: ...
    def subscribe(self, callback: Callable[..., object]) -> None:
        """Add `callback`, unless it is subscribed already."""
    def unsubscribe(self, callback: Callable[..., object]) -> None:
        """Remove `callback`, if it is subscribed."""
    def unsubscribe_all(self) -> None:
        """Remove every callback."""
    @property
    def handlers(self) -> list[Callable[..., object]]:
        """A copy of the subscribed callables, in order."""
    def __call__(self, *args: Any, **kwargs: Any) -> None:
        """Call every subscribed callable with these arguments, in order."""
    def __len__(self) -> int: ...
