"""The one database schema shared by SQLite and PostgreSQL.

Every table carries `tenant_id`; every query of the store filters on it. A
pipeline belongs to one tenant (checked on every write), so per-pipeline
indexes need no tenant column.

There are no foreign keys: the store checks references as it writes (a
pipeline must belong to the writing tenant; an edge is inserted only through
a join on both endpoint nodes), and the per-row foreign-key triggers doubled
the cost of a 100,000-edge insert on PostgreSQL.
Fingerprints are unsigned 32-bit values and are kept as BIGINT. Node ids are
global (one sequence), so edges are unique on (parent, child, position)
without a tenant column in the key.

Versions: 1 had the provenance tables; 2 adds the tables of the provenance
service (API keys, dashboard reports, applied write batches); 3 adds the
per-pipeline delivery record (records lost, time of the last write). Opening
an older database creates the missing tables and records the new version.
"""

from __future__ import annotations

from sqlalchemy import (
    JSON,
    BigInteger,
    Boolean,
    Column,
    DateTime,
    Double,
    Index,
    Integer,
    MetaData,
    Table,
    Text,
    UniqueConstraint,
)
from sqlalchemy.dialects.postgresql import JSONB

SCHEMA_VERSION = 3

# SQLite only auto-assigns ids to an INTEGER PRIMARY KEY (the rowid alias).
_Id = BigInteger().with_variant(Integer(), "sqlite")
_Json = JSON(none_as_null=True).with_variant(JSONB(none_as_null=True), "postgresql")

metadata = MetaData()

schema_info = Table(
    "lumarq_schema_info",
    metadata,
    Column("key", Text, primary_key=True),
    Column("value", Text, nullable=False),
)

pipelines = Table(
    "lumarq_pipelines",
    metadata,
    Column("id", _Id, primary_key=True, autoincrement=True),
    Column("tenant_id", Text, nullable=False),
    Column("name", Text, nullable=False),
    Column("status", Text, nullable=False),
    Column("config", _Json, nullable=True),
    Column("git_commit", Text, nullable=True),
    Column("created_at", DateTime(timezone=True), nullable=False),
    Column("completed_at", DateTime(timezone=True), nullable=True),
    Index("ix_lumarq_pipelines_tenant", "tenant_id", "id"),
)

# Catalogue of source columns per tenant; the latest registration of a
# (table, column) wins. Per-pipeline protection lives on the SOURCE nodes.
sources = Table(
    "lumarq_sources",
    metadata,
    Column("id", _Id, primary_key=True, autoincrement=True),
    Column("tenant_id", Text, nullable=False),
    Column("table_name", Text, nullable=False),
    Column("column_name", Text, nullable=False),
    Column("pair_id", Integer, nullable=True),
    Column("is_protected", Boolean, nullable=False),
    Column("registered_at", DateTime(timezone=True), nullable=False),
    UniqueConstraint("tenant_id", "table_name", "column_name", name="uq_lumarq_sources_column"),
)

nodes = Table(
    "lumarq_nodes",
    metadata,
    Column("id", _Id, primary_key=True, autoincrement=True),
    Column("tenant_id", Text, nullable=False),
    Column("pipeline_id", BigInteger, nullable=False),
    Column("fingerprint", BigInteger, nullable=False),
    Column("node_type", Text, nullable=False),
    Column("operation", Text, nullable=True),
    Column("table_name", Text, nullable=True),
    Column("column_name", Text, nullable=True),
    Column("pair_id", Integer, nullable=True),
    Column("is_protected", Boolean, nullable=False),
    Column("entity_hash", BigInteger, nullable=True),
    Column("chain_hash", BigInteger, nullable=True),
    Column("metadata", _Json, nullable=True),
    # Serves the upsert conflict target, the fingerprint map and every
    # per-pipeline look-up. A second (tenant, pipeline) index would tempt
    # SQLite's planner into scanning a whole pipeline for one fingerprint.
    UniqueConstraint("pipeline_id", "fingerprint", name="uq_lumarq_nodes_fingerprint"),
)

edges = Table(
    "lumarq_edges",
    metadata,
    Column("id", _Id, primary_key=True, autoincrement=True),
    Column("tenant_id", Text, nullable=False),
    Column("pipeline_id", BigInteger, nullable=False),
    Column("parent_node_id", BigInteger, nullable=False),
    Column("child_node_id", BigInteger, nullable=False),
    Column("input_position", Integer, nullable=False),
    UniqueConstraint("parent_node_id", "child_node_id", "input_position", name="uq_lumarq_edges"),
    Index("ix_lumarq_edges_child", "child_node_id"),
    Index("ix_lumarq_edges_pipeline", "pipeline_id"),
)

# No foreign key on pipeline_id: rows recorded before a pipeline existed
# carry pipeline id 0. Kept lean on purpose: this is the bulk table, and an
# index on fingerprint (random order) made the 1M-row insert 2.4x slower on
# SQLite; the pipeline index only appends.
row_values = Table(
    "lumarq_row_values",
    metadata,
    Column("id", _Id, primary_key=True, autoincrement=True),
    Column("tenant_id", Text, nullable=False),
    Column("pipeline_id", BigInteger, nullable=False),
    Column("row_index", BigInteger, nullable=False),
    Column("fingerprint", BigInteger, nullable=False),
    Column("node_operation", Text, nullable=True),
    Column("value", Double, nullable=True),
    Column("column_name", Text, nullable=True),
    Column("text_value", Text, nullable=True),
    Index("ix_lumarq_row_values_pipeline", "pipeline_id"),
)

results = Table(
    "lumarq_results",
    metadata,
    Column("id", _Id, primary_key=True, autoincrement=True),
    Column("tenant_id", Text, nullable=False),
    Column("pipeline_id", BigInteger, nullable=False),
    Column("row_key", Text, nullable=False),
    Column("output_name", Text, nullable=False),
    Column("fingerprint", BigInteger, nullable=False),
    Column("value", Double, nullable=True),
    Column("input_row_hash", Text, nullable=True),
    Index("ix_lumarq_results_pipeline", "pipeline_id", "output_name"),
)


# -- provenance service (version 2) -------------------------------------------

# Only a SHA-256 hash of each key is kept; the key itself is shown once, when
# it is made. `key_id` is the public part of the key, used to list and revoke.
api_keys = Table(
    "lumarq_api_keys",
    metadata,
    Column("key_id", Text, primary_key=True),
    Column("tenant_id", Text, nullable=False),
    Column("name", Text, nullable=True),
    Column("key_hash", Text, nullable=False),
    Column("created_at", DateTime(timezone=True), nullable=False),
    Column("revoked_at", DateTime(timezone=True), nullable=True),
    Index("ix_lumarq_api_keys_tenant", "tenant_id"),
)

# Pipeline reports received by the service. `payload` is the report's JSON
# text as received (member order kept); the other columns are copies of the
# members the dashboard lists. `pipeline_id` is null when the report named no
# pipeline.
dashboard_reports = Table(
    "lumarq_dashboard_reports",
    metadata,
    Column("id", _Id, primary_key=True, autoincrement=True),
    Column("tenant_id", Text, nullable=False),
    Column("pipeline_id", BigInteger, nullable=True),
    Column("received_at", DateTime(timezone=True), nullable=False),
    Column("pipeline_name", Text, nullable=False),
    Column("status", Text, nullable=False),
    Column("node_count", BigInteger, nullable=False),
    Column("edge_count", BigInteger, nullable=False),
    Column("model_id", Text, nullable=False),
    Column("has_disparate_impact", Boolean, nullable=False),
    Column("protected_attributes", _Json, nullable=False),
    Column("protected_sources", _Json, nullable=False),
    Column("payload", Text, nullable=False),
    Index("ix_lumarq_dashboard_reports_pipeline", "tenant_id", "pipeline_id", "id"),
)

# Write batches already applied, by the id the client gave them: a batch
# sent again (a retry after a lost answer) is not applied twice.
write_batches = Table(
    "lumarq_write_batches",
    metadata,
    Column("tenant_id", Text, primary_key=True),
    Column("batch_id", Text, primary_key=True),
    Column("result", Text, nullable=True),
    Column("applied_at", DateTime(timezone=True), nullable=False),
    Index("ix_lumarq_write_batches_applied", "applied_at"),
)


# -- delivery record (version 3) ---------------------------------------------

# Per pipeline: how many records its writers gave up (the pipeline is then
# never shown as a clean "completed"), and when it was last written to (a
# "running" pipeline silent for long is shown as stalled). A table of its
# own rather than columns on lumarq_pipelines, so that older databases are
# upgraded by creating it.
pipeline_health = Table(
    "lumarq_pipeline_health",
    metadata,
    Column("pipeline_id", BigInteger, primary_key=True),
    Column("tenant_id", Text, nullable=False),
    Column("lost_records", BigInteger, nullable=False),
    Column("last_write_at", DateTime(timezone=True), nullable=True),
)
