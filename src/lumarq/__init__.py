"""lumarq: row-level data provenance for pandas pipelines."""

__version__ = "0.1.0"

from lumarq.dtype import ProvenanceArray, ProvenanceDtype, track, untrack

__all__ = ["ProvenanceArray", "ProvenanceDtype", "track", "untrack", "__version__"]
