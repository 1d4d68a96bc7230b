"""Native core of tolvane.

- :mod:`tolvane.core.pindle` -- ``str_to_bytearray``.
"""
