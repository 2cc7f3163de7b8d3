"""pyveka: run the VEKA solver and the grelvin mesh generator shipped in this package.

The executables live in the package's ``bin/`` tree, laid out by platform;
:mod:`pyveka.veka_call` tells which file to run on this host.
"""

__version__ = "0.1.0"
