"""Tools around the quarvex extension module."""
