"""lumarq: row-level data provenance for pandas pipelines."""

__version__ = "0.1.0"

from lumarq.fairness import fairness_report  # noqa: E402

__all__ = ["fairness_report"]
