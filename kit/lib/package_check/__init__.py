"""The checks behind kit/check-package.py, one module per concern.

Standard library only: the kit runs on a setup author's machine, which may
have nothing but Python 3.
"""
