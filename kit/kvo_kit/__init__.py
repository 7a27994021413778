"""kvo_kit: the pure-Python companion of kvo_fa (stand-in until the kit's own package lands)."""
