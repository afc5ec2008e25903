"""A recording stand-in for the storage component, installed through sys.modules.

    comp = install_fake_component(monkeypatch)          # records as keyword-built objects
    comp = install_fake_component(monkeypatch, records="namedtuple")   # the real record types
    t = DAGTracker(api_key="k", service_url="svc://x")
    comp.log   # [("HostedStorage", {...}), ("connect",), ...]
"""
from __future__ import annotations

import sys
import types
from typing import Any, Dict, List, Optional

PACKAGE = "lumarq.utilities.persistence"
STORAGE = PACKAGE + ".storage"


class Record:
    """A record built from keyword arguments only, compared by its fields."""

    def __init__(self, **fields):
        self.fields = fields

    def __eq__(self, other):
        return type(other) is type(self) and other.fields == self.fields

    def __repr__(self):
        return "%s(%r)" % (type(self).__name__, self.fields)


class FakeNode(Record):
    pass


class FakeEdge(Record):
    pass


class FakeRow(Record):
    pass


class Component:
    def __init__(self, fail: Optional[str] = None, records: str = "keyword"):
        self.log: List[Any] = []
        self.fail = fail  # name of the call that raises RuntimeError("boom")
        self.next_pipeline = 0
        self.fp_map: Dict[Any, Any] = {}
        self.stats: Any = {"nodes": {"queued": 0}}
        comp = self

        class HostedStorage:
            def __init__(self, **kwargs):
                comp.log.append(("HostedStorage", kwargs))
                comp._maybe_fail("HostedStorage")

            def connect(self):
                comp._call("connect")

            def create_pipeline(self, *args, **kwargs):
                comp._call("create_pipeline", *args, **kwargs)
                comp.next_pipeline += 1
                return comp.next_pipeline

            def complete_pipeline(self, *args, **kwargs):
                comp._call("complete_pipeline", *args, **kwargs)

            def disconnect(self):
                comp._call("disconnect")

            def register_source(self, *args, **kwargs):
                comp._call("register_source", *args, **kwargs)

            def store_nodes(self, nodes):
                comp._call("store_nodes", nodes)

            def get_fingerprint_node_map(self, pipeline_id):
                comp._call("get_fingerprint_node_map", pipeline_id)
                return comp.fp_map

            def store_edges_resolved(self, rows):
                comp._call("store_edges_resolved", rows)

            def store_results(self, pipeline_id, results):
                comp._call("store_results", pipeline_id, results)

        class WriterConfig:
            def __init__(self, **kwargs):
                comp.log.append(("WriterConfig", kwargs))
                self.kwargs = kwargs

        class AsyncWriter:
            def __init__(self, *args, **kwargs):
                comp.log.append(("AsyncWriter", args, kwargs))

            def start(self):
                comp._call("start")

            def stop(self):
                comp._call("stop")

            def register_source(self, *args, **kwargs):
                comp._call("writer.register_source", *args, **kwargs)

            def write_node(self, node):
                comp._call("write_node", node)

            def write_edges(self, edges):
                comp._call("write_edges", edges)

            def write_row_values(self, values):
                comp._call("write_row_values", values)

            def flush(self, timeout):
                comp._call("writer.flush", timeout=timeout)

            def get_stats(self):
                return comp.stats

        self.HostedStorage, self.WriterConfig, self.AsyncWriter = HostedStorage, WriterConfig, AsyncWriter
        if records == "namedtuple":
            from lumarq.utilities.persistence import StoredEdge, StoredNode, StoredRowValue
        else:
            StoredNode, StoredEdge, StoredRowValue = FakeNode, FakeEdge, FakeRow
        self.StoredNode, self.StoredEdge, self.StoredRowValue = StoredNode, StoredEdge, StoredRowValue

    def _maybe_fail(self, name):
        if self.fail == name:
            raise RuntimeError("boom")

    def _call(self, name, *args, **kwargs):
        entry = (name,) + args + ((kwargs,) if kwargs else ())
        self.log.append(entry)
        self._maybe_fail(name)

    def names(self):
        return [e[0] for e in self.log]

    def calls(self, name):
        return [e for e in self.log if e[0] == name]

    def modules(self):
        pkg = types.ModuleType(PACKAGE)
        storage = types.ModuleType(STORAGE)
        for name in ("HostedStorage", "AsyncWriter", "WriterConfig", "StoredNode", "StoredEdge", "StoredRowValue"):
            setattr(pkg, name, getattr(self, name))
        for name in ("HostedStorage", "StoredNode", "StoredEdge", "StoredRowValue"):
            setattr(storage, name, getattr(self, name))
        pkg.storage = storage
        return pkg, storage


def install_fake_component(monkeypatch, fail: Optional[str] = None, records: str = "keyword") -> Component:
    comp = Component(fail, records)
    pkg, storage = comp.modules()
    monkeypatch.setitem(sys.modules, PACKAGE, pkg)
    monkeypatch.setitem(sys.modules, STORAGE, storage)
    return comp


def remove_component(monkeypatch) -> None:
    """The component is absent: importing it raises ImportError."""
    monkeypatch.setitem(sys.modules, PACKAGE, None)
    monkeypatch.setitem(sys.modules, STORAGE, None)
