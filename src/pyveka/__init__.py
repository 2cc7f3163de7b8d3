"""pyveka: run the VEKA solver and the grelvin mesh generator shipped in this package.

The executables live in the package's ``bin/`` tree, laid out by platform;
:mod:`pyveka.veka_call` tells which file to run on this host.
"""

# The package's version, and the only place it is written (pyproject.toml reads it here):
# a development version after the last release until the next one is made.
__version__ = "0.2.0.dev0"
