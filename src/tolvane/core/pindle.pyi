def str_to_bytearray(text: str) -> bytearray:
    """Return a new bytearray holding the code point of each character of `text`."""
