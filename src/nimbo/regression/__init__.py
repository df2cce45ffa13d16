"""Regressions: many vector sets run through the batch engine, on Dask.

- :mod:`.coordinator` hands sets out to a cluster and gathers their results
  (``regress``, ``connect``); it imports Dask only when a run starts;
- :mod:`.pieces` runs pieces of sets on a simulator, without Dask;
- :mod:`.worker` is the Dask plugin and task around the pieces;
- :mod:`.expect` reads the expected values of a set's lines.
"""

from __future__ import annotations

from .coordinator import (
    DEFAULT_CHUNK,
    KEEPS,
    ClusterError,
    DaskMissing,
    NoSuchBus,
    Regression,
    RenderError,
    SetResult,
    UnknownName,
    compare_reference,
    connect,
    default_workers,
    read_reference,
    regress,
    split_set,
)

__all__ = [
    "DEFAULT_CHUNK",
    "KEEPS",
    "ClusterError",
    "DaskMissing",
    "NoSuchBus",
    "Regression",
    "RenderError",
    "SetResult",
    "UnknownName",
    "compare_reference",
    "connect",
    "default_workers",
    "read_reference",
    "regress",
    "split_set",
]
