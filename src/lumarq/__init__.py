"""lumarq: row-level data provenance for pandas pipelines."""

__version__ = "0.1.0"
