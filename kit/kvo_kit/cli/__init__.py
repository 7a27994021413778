"""The commands of python3 -m kvo_kit, one module each."""
