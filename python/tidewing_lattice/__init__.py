"""Authenticated encryption of strings, data and files: ``tidewing_lattice.tw_lattice``."""
