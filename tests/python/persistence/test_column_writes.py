"""Column batches written by the database backend give what write_batch gives for the same records."""

import math

import pytest

from lumarq.utilities.persistence import StoredEdge, StoredNode, UnknownPipelineError
from lumarq.utilities.persistence import _sql
from lumarq.utilities.persistence._columns import GraphColumns, RowValueColumns
from lumarq.utilities.persistence.storage import StoredRowValue


def _batch(pid, fps, edges, rows=6):
    nodes = [StoredNode(fp, "BINARY" if fp % 2 else "SOURCE", "op%d" % (fp % 3), "loans" if fp % 4 else None,
                        None, None if fp % 5 else fp, fp % 7 == 0, fp * 3 if fp % 2 else None, None,
                        None, pid) for fp in fps]
    nodes[0] = nodes[0]._replace(node_type="SOURCE", operation="first")
    # a duplicate of the first fingerprint: the first record wins, its column name still lands
    nodes.append(nodes[0]._replace(operation="second", metadata={"column": "dti", "n": 1.5}))
    nodes.append(StoredNode(0xFFFFFFFF, "BINARY", "div", None, "dti", 2, True, 2**40, 9, {"column": "dti"}, pid))
    nodes.append(StoredNode(0xFFFFFFFE, "MERGE", "merge_inner", None, None, None, False, 1, 2, {"merge_type": "inner"}, pid))
    values = [StoredRowValue(pid, i, fps[i % len(fps)], "ADD" if i // 50 % 2 else "div", None if i == 1 else i / 4,
                             None if i == 2 else "amount", None, "n/a" if i == 3 else None) for i in range(rows)]
    values.append(StoredRowValue(pid, 99, 5, "ADD", float("nan"), "amount", None, None))
    return nodes, [StoredEdge(*e) for e in edges], values


def _state(storage, pid):
    nodes = sorted((n["fingerprint"], n["node_type"], n["operation"], n["table_name"], n["column_name"], n["pair_id"],
                    n["is_protected"], n["entity_hash"], n["chain_hash"], n["metadata"]) for n in storage.get_nodes(pid))
    edges = sorted((e["parent_fingerprint"], e["child_fingerprint"], e["input_position"]) for e in storage.get_edges(pid))
    rows = [r._replace(pipeline_id=0, value="nan" if r.value is not None and math.isnan(r.value) else r.value)
            for r in storage.get_row_values(pid)]
    info = storage.get_pipeline(pid)
    return nodes, edges, rows, info["lost_records"], info["last_write_at"] is not None


@pytest.mark.parametrize("piece, lookup_each, extra, hashed", [(20_000, 20_000, 0, 10**9), (500, 0, 1100, 0)],
                         ids=["small", "pieces+full-map+many-rows-per-statement+hashed-edge-lookup+row-runs"])
def test_write_columns_matches_write_batch(make_storage, monkeypatch, piece, lookup_each, extra, hashed):
    monkeypatch.setattr(_sql, "SQLITE_WRITE_CHUNK", piece)
    monkeypatch.setattr(_sql, "_LOOKUP_EACH", lookup_each)
    monkeypatch.setattr(_sql, "_HASHED_LOOKUP", hashed)
    monkeypatch.setattr(_sql, "_RUN_ROWS", 1 if extra else 10**9)  # SQLite row values by runs, or row by row
    storage = make_storage()
    outcomes = {}
    for way in ("records", "columns"):
        pid, other = storage.create_pipeline(way), storage.create_pipeline(way + "-other")
        # already stored: fingerprint 5 without a column name; and the same fingerprint in another pipeline
        storage.store_nodes([StoredNode(5, "SOURCE", "stored", "loans", "amount", 1, False, None, None, None, pid),
                             StoredNode(3, "SOURCE", "elsewhere", "t", "c", 0, False, None, None, None, other)])

        def write(nodes, edges, rows, **kw):
            if way == "records":
                return storage.write_batch(nodes=nodes, edges=[(pid, edges)] if edges else [], row_values=[rows], **kw)
            graph = GraphColumns.from_records(pid, nodes, edges) if nodes or edges else None
            return storage.write_columns(graph=graph, row_values=RowValueColumns.from_records(rows), **kw)

        chain = list(range(100, 100 + extra))
        nodes, edges, rows = _batch(pid, [3, 5, 7, 10, 12, 21] + chain,
                                    [(3, 7, 0), (5, 7, 1), (3, 7, 0), (99, 7, 0), (7, 99, 1), (7, 0xFFFFFFFF, 0),
                                     (5, 3, 0), (12, 21, 2)] + [(fp - 1, fp, 0) for fp in chain[1:]], rows=6 + extra)
        got = [write(nodes, edges, rows, batch_id=way + "1"), write(nodes, edges, rows, batch_id=way + "1"),
               write(nodes, edges, rows, lost=[(pid, 4)])]
        # later nodes and edges reaching stored ones (and one endpoint only known by the other pipeline)
        more, more_edges, more_rows = _batch(pid, [40, 41], [(40, 41, 0), (5, 40, 0), (3, 41, 1), (41, 3, 0)], rows=2)
        got.append(write(more, more_edges, more_rows, batch_id=way + "2"))
        got.append(write([], [StoredEdge(21, 40, 5), StoredEdge(1234, 40, 0)], []))
        outcomes[way] = got, _state(storage, pid), _state(storage, other)
    assert outcomes["columns"] == outcomes["records"]
    got, (nodes, edges, rows, lost, touched), _ = outcomes["columns"]
    assert [g["edges_unresolved"] for g in got] == [2, 2, 2, 0, 1] and got[1].get("duplicate") == 1
    by_fp = {n[0]: n for n in nodes}
    assert by_fp[3][2] == "first" and by_fp[3][9] == {"column": "dti", "n": 1.5} and by_fp[5][2] == "stored"
    assert by_fp[0xFFFFFFFE][9] == {"merge_type": "inner"}
    assert len(edges) == 10 + max(extra - 1, 0) and len(rows) == 2 * (7 + extra) + 3 and lost == 4 and touched


@pytest.mark.parametrize("piece", [20_000, 2])
def test_write_columns_refuses_a_foreign_pipeline_and_writes_nothing(make_storage, monkeypatch, piece):
    monkeypatch.setattr(_sql, "SQLITE_WRITE_CHUNK", piece)
    a, b = make_storage("tenant-a"), make_storage("tenant-b")
    pid, mine = a.create_pipeline("p"), b.create_pipeline("mine")
    nodes, edges, rows = _batch(pid, [1, 2, 3], [(1, 2, 0)])
    graph = GraphColumns.from_records(pid, nodes, edges)
    own_rows = RowValueColumns.from_records([r._replace(pipeline_id=mine) for r in rows])
    for kw in (dict(graph=graph), dict(row_values=RowValueColumns.from_records(rows)),
               dict(graph=graph, row_values=own_rows)):
        with pytest.raises(UnknownPipelineError):
            b.write_columns(**kw)
    assert a.get_nodes(pid) == [] and a.count_row_values() == 0 and b.count_row_values() == 0


def test_postgresql_refuses_nul_in_column_texts_as_in_records(make_storage, db_url):
    if not db_url.startswith("postgresql"):
        pytest.skip("SQLite stores NUL")
    storage = make_storage()
    pid = storage.create_pipeline("p")
    nodes, edges, rows = _batch(pid, [1, 2, 3], [])
    bad_nodes = nodes[:1] + [nodes[1]._replace(metadata={"x": "a\x00"}), nodes[2]._replace(column_name="b\x00")]
    bad_rows = rows[:2] + [rows[2]._replace(text_value="\x00")]
    for kw, cols in ((dict(nodes=bad_nodes), dict(graph=GraphColumns.from_records(pid, bad_nodes))),
                     (dict(row_values=[bad_rows]), dict(row_values=RowValueColumns.from_records(bad_rows)))):
        with pytest.raises(ValueError) as by_records:
            storage.write_batch(**kw)
        with pytest.raises(ValueError) as by_columns:
            storage.write_columns(**cols)
        assert str(by_columns.value) == str(by_records.value) and "NUL" in str(by_columns.value)
    assert storage.get_nodes(pid) == [] and storage.count_row_values() == 0


def test_a_remembered_pipeline_map_yields_to_other_writers_and_failed_writes(make_storage, monkeypatch):
    monkeypatch.setattr(_sql, "_LOOKUP_EACH", 0)  # every graph write takes the pipeline's whole map
    a, b = make_storage(), make_storage()
    pid = a.create_pipeline("p")

    def graph(fps, edges=()):
        nodes = [StoredNode(fp, "SOURCE", "op", "t", "c%d" % fp, None, False, None, None, None, pid) for fp in fps]
        return GraphColumns.from_records(pid, nodes, [StoredEdge(*e) for e in edges])

    a.write_columns(graph=graph([1, 2]))
    b.write_columns(graph=graph([3]))  # another writer: `a` must not trust the map it kept
    monkeypatch.setattr(_sql.SQLBackend, "_batch_done", lambda *args: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        a.write_columns(graph=graph([4]), batch_id="x")  # rolled back: 4 never existed
    monkeypatch.undo()
    monkeypatch.setattr(_sql, "_LOOKUP_EACH", 0)
    b.write_columns(graph=graph([5]))  # same node count as if 4 had been stored
    got = a.write_columns(graph=graph([], [(1, 3, 0), (2, 5, 0), (1, 4, 0)]))
    edges = sorted((e["parent_fingerprint"], e["child_fingerprint"]) for e in a.get_edges(pid))
    assert got["edges_unresolved"] == 1 and edges == [(1, 3), (2, 5)]


@pytest.mark.parametrize("run_rows", [1, 10**9], ids=["by-runs", "row-by-row"])
def test_nodes_another_writer_stored_first_are_kept_and_the_rest_go_in(make_storage, monkeypatch, run_rows):
    # A writer whose view of the stored fingerprints is stale meets rows that exist already: those
    # keep what they hold, the others go in, and edges resolve to the stored ids. (On PostgreSQL,
    # by runs is a COPY straight into the table that the stored row makes fail.)
    monkeypatch.setattr(_sql, "_RUN_ROWS", run_rows)
    storage = make_storage()
    pid = storage.create_pipeline("p")

    def node(fp, op):
        return StoredNode(fp, "BINARY", op, "t", None, None, False, None, None, None, pid)

    storage.write_columns(graph=GraphColumns.from_records(pid, [node(1, "first"), node(2, "first")], []))
    real, calls = _sql.SQLBackend._stored_ids, []

    def stale_once(self, cur, tenant, p, fps):  # the first look-up misses; the read-back does not
        calls.append(fps.size)
        return (fps[:0], fps[:0], False) if len(calls) == 1 else real(self, cur, tenant, p, fps)

    monkeypatch.setattr(_sql.SQLBackend, "_stored_ids", stale_once)
    got = storage.write_columns(graph=GraphColumns.from_records(
        pid, [node(2, "later"), node(3, "later")], [StoredEdge(2, 3, 0), StoredEdge(1, 3, 1)]))
    monkeypatch.undo()
    assert sorted((n["fingerprint"], n["operation"]) for n in storage.get_nodes(pid)) == \
        [(1, "first"), (2, "first"), (3, "later")]
    edges = sorted((e["parent_fingerprint"], e["child_fingerprint"], e["input_position"]) for e in storage.get_edges(pid))
    assert got["edges_unresolved"] == 0 and edges == [(1, 3, 1), (2, 3, 0)] and len(calls) == 2
