"""Provenance codec, DAG tracking, persistence and JSON helpers."""
