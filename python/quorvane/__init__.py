"""quorvane: measure and grade the collective bandwidth of GPU hosts and clusters.

The work is done by the extension module :mod:`quorvane.collsweep`.
"""

__version__ = "0.1.0"
