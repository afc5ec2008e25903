"""W3C PROV for computation graphs: a PROV-JSON document (dict) and its PROV-N text.

Mapping: a source node is an entity (the source column); any other node is an
activity (the operation) that generates one entity (the value). Inputs become
`used` (activity used the input's entity, with its position) and
`wasDerivedFrom` (value from input entity, through the activity). The word of
every entity is given as attributes in the lumarq namespace: the word in hex,
taint, risk and depth. Protected source columns carry the type
lumarq:ProtectedAttribute and lumarq:protected = true. When the pipeline or the
tenant is known, the pipeline is a software agent associated with every
activity, acting on behalf of the tenant (an organisation).
"""
from __future__ import annotations

import math
import re
from typing import Any, Dict, List, Optional

from ._graph import PROV_NAMESPACE, LineageGraph, LineageNode

_QNAME = "prov:QUALIFIED_NAME"


def _qname(value: str) -> Dict[str, str]:
    return {"$": value, "type": _QNAME}


def _slug(text: Any) -> str:
    return re.sub(r"[^A-Za-z0-9_.-]", "_", str(text)) or "_"


def entity_id(node: LineageNode) -> str:
    return "lumarq:%s-%d" % ("source" if node.is_source else "value", node.id)


def activity_id(node: LineageNode) -> str:
    return "lumarq:op-%d" % node.id


def _word_attributes(word: int) -> Dict[str, Any]:
    from lumarq.utilities.vantor32 import ProvenanceTracker

    return {
        "lumarq:word": "0x%08X" % word,
        "lumarq:taint": bool(ProvenanceTracker.is_tainted(word)),
        "lumarq:risk": float(ProvenanceTracker.risk_score(word)),
        "lumarq:depth": int(ProvenanceTracker.get_depth(word)),
    }


def _entity(node: LineageNode) -> Dict[str, Any]:
    attrs: Dict[str, Any] = {}
    if node.is_source:
        attrs["prov:label"] = "%s.%s" % (node.table, node.column)
        types = [_qname("lumarq:SourceColumn")]
        if node.is_protected:
            types.append(_qname("lumarq:ProtectedAttribute"))
        attrs["prov:type"] = types
        attrs["lumarq:table"] = str(node.table)
        attrs["lumarq:column"] = str(node.column)
        if node.pair_id is not None:
            attrs["lumarq:pairId"] = int(node.pair_id)
    else:
        column = node.assigned_column
        attrs["prov:label"] = column if column is not None else node.operation
        attrs["prov:type"] = _qname("lumarq:Value")
        if column is not None:
            attrs["lumarq:column"] = column
    attrs["lumarq:protected"] = bool(node.is_protected)
    attrs.update(_word_attributes(node.provenance))
    return attrs


def to_prov_document(graph: LineageGraph) -> Dict[str, Any]:
    """The PROV-JSON document of `graph`, as a dict."""
    entity: Dict[str, Any] = {}
    activity: Dict[str, Any] = {}
    agent: Dict[str, Any] = {}
    relations: Dict[str, Dict[str, Any]] = {
        "used": {}, "wasGeneratedBy": {}, "wasDerivedFrom": {}, "wasAssociatedWith": {},
        "actedOnBehalfOf": {},
    }

    def relate(kind: str, prefix: str, body: Dict[str, Any]) -> None:
        table = relations[kind]
        table["_:%s%d" % (prefix, len(table) + 1)] = body

    pipeline_agent: Optional[str] = None
    if graph.pipeline_id is not None or graph.pipeline_name:
        key = graph.pipeline_id if graph.pipeline_id is not None else graph.pipeline_name
        pipeline_agent = "lumarq:pipeline-%s" % _slug(key)
        attrs: Dict[str, Any] = {"prov:type": _qname("prov:SoftwareAgent")}
        if graph.pipeline_name:
            attrs["prov:label"] = str(graph.pipeline_name)
        if graph.pipeline_id is not None:
            attrs["lumarq:pipelineId"] = int(graph.pipeline_id)
        agent[pipeline_agent] = attrs
    if graph.tenant:
        tenant_agent = "lumarq:tenant-%s" % _slug(graph.tenant)
        agent[tenant_agent] = {"prov:type": _qname("prov:Organization"), "prov:label": str(graph.tenant)}
        if pipeline_agent is not None:
            relate("actedOnBehalfOf", "b", {"prov:delegate": pipeline_agent,
                                            "prov:responsible": tenant_agent})

    for node in graph.nodes.values():
        entity[entity_id(node)] = _entity(node)
        if node.is_source:
            continue
        act = activity_id(node)
        activity[act] = {"prov:label": node.operation, "lumarq:operation": node.operation,
                         "lumarq:nodeType": node.kind, "lumarq:nodeId": node.id}
        out = entity_id(node)
        relate("wasGeneratedBy", "g", {"prov:entity": out, "prov:activity": act})
        for position, input_id in node.input_positions():
            source = graph.nodes.get(input_id)
            if source is None:  # evicted before the export: nothing to point at
                continue
            used = entity_id(source)
            relate("used", "u", {"prov:activity": act, "prov:entity": used,
                                 "lumarq:inputIndex": position})
            relate("wasDerivedFrom", "d", {"prov:generatedEntity": out, "prov:usedEntity": used,
                                           "prov:activity": act})
        if pipeline_agent is not None:
            relate("wasAssociatedWith", "a", {"prov:activity": act, "prov:agent": pipeline_agent})

    doc: Dict[str, Any] = {"prefix": {"lumarq": PROV_NAMESPACE}}
    for name, table in (("entity", entity), ("activity", activity), ("agent", agent)):
        if table:
            doc[name] = table
    for name, table in relations.items():
        if table:
            doc[name] = table
    return doc


# ---------------------------------------------------------------- PROV-N

def _literal(value: Any) -> str:
    if isinstance(value, dict) and value.get("type") == _QNAME:
        return "'%s'" % value["$"]
    if isinstance(value, bool):
        return '"%s" %%%% xsd:boolean' % ("true" if value else "false")
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError("PROV-N has no literal for %r" % value)
        return '"%r" %%%% xsd:double' % value
    text = str(value).replace("\\", "\\\\").replace('"', '\\"')
    # Line breaks may stand raw only inside a long (triple-quoted) string.
    return '"""%s"""' % text if "\n" in text else '"%s"' % text.replace("\r", "\\r")


def _attributes(attrs: Dict[str, Any], skip: tuple) -> str:
    parts: List[str] = []
    for key, value in attrs.items():
        if key in skip:
            continue
        for v in value if isinstance(value, list) else [value]:
            parts.append("%s=%s" % (key, _literal(v)))
    return ", [%s]" % ", ".join(parts) if parts else ""


# Statement -> its positional terms, in PROV-N order ("-" where absent).
_TERMS = {
    "used": ("prov:activity", "prov:entity", "prov:time"),
    "wasGeneratedBy": ("prov:entity", "prov:activity", "prov:time"),
    "wasDerivedFrom": ("prov:generatedEntity", "prov:usedEntity", "prov:activity",
                       "prov:generation", "prov:usage"),
    "wasAssociatedWith": ("prov:activity", "prov:agent", "prov:plan"),
    "actedOnBehalfOf": ("prov:delegate", "prov:responsible", "prov:activity"),
}


def to_provn(doc: Dict[str, Any]) -> str:
    """PROV-N text of a PROV-JSON document made by `to_prov_document`."""
    lines = ["document"]
    for prefix, uri in doc.get("prefix", {}).items():
        lines.append("  prefix %s <%s>" % (prefix, uri))
    lines.append("  ")
    for ident, attrs in doc.get("entity", {}).items():
        lines.append("  entity(%s%s)" % (ident, _attributes(attrs, ())))
    for ident, attrs in doc.get("activity", {}).items():
        lines.append("  activity(%s, -, -%s)" % (ident, _attributes(attrs, ())))
    for ident, attrs in doc.get("agent", {}).items():
        lines.append("  agent(%s%s)" % (ident, _attributes(attrs, ())))
    for kind, terms in _TERMS.items():
        for ident, attrs in doc.get(kind, {}).items():
            args = ", ".join(str(attrs.get(t, "-")) for t in terms)
            label = "" if ident.startswith("_:") else "%s; " % ident
            lines.append("  %s(%s%s%s)" % (kind, label, args, _attributes(attrs, terms)))
    lines.append("endDocument")
    return "\n".join(lines)
