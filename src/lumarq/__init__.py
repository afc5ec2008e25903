"""lumarq: row-level data provenance for pandas pipelines."""

__version__ = "0.1.0"

from lumarq.dtype import ProvenanceArray, ProvenanceDtype, track, untrack  # noqa: E402
from lumarq.fairness import fairness_report  # noqa: E402

__all__ = ["ProvenanceArray", "ProvenanceDtype", "fairness_report", "track", "untrack", "__version__"]
