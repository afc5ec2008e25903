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
    """The package and its .storage module; every call lands in `log` as (name, *args[, kwargs])
    and the call named by `fail` raises RuntimeError("boom")."""

    def __init__(self, fail: Optional[str] = None, records: str = "keyword"):
        self.log: List[Any] = []
        self.fail = fail
        self.next_pipeline = 0
        self.fp_map: Dict[Any, Any] = {}
        self.stats: Any = {"nodes": {"queued": 0}}
        comp = self

        def answer(name):
            if name == "create_pipeline":
                comp.next_pipeline += 1
                return comp.next_pipeline
            return {"get_fingerprint_node_map": comp.fp_map, "get_stats": comp.stats}.get(name)

        class Recording:
            prefix = ""

            def __getattr__(self, name):
                if name.startswith("_") or name == "describe_error":
                    raise AttributeError(name)

                def call(*args, **kwargs):
                    if name != "get_stats":
                        comp._call(self.prefix + name, *args, **kwargs)
                    return answer(name)

                return call

        class HostedStorage(Recording):
            def __init__(self, **kwargs):
                comp.log.append(("HostedStorage", kwargs))
                comp._maybe_fail("HostedStorage")

        class AsyncWriter(Recording):
            def __init__(self, *args, **kwargs):
                comp.log.append(("AsyncWriter", args, kwargs))

            def register_source(self, *args):
                comp._call("writer.register_source", *args)

            def flush(self, timeout):
                comp._call("writer.flush", timeout=timeout)

        class WriterConfig:
            def __init__(self, **kwargs):
                comp.log.append(("WriterConfig", kwargs))
                self.kwargs = kwargs

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
        self.log.append((name,) + args + ((kwargs,) if kwargs else ()))
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
