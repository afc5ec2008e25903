"""API keys: made once, stored as a hash, listed and revoked by their id.

A key reads ``lmq_<key id>_<secret>``: the 12 hexadecimal digits of the key
id are public (they name the key in listings and in revocation), the secret
is 32 random bytes. The store keeps the SHA-256 of the whole key: with 256
bits of entropy a slow password hash would add nothing.
"""

from __future__ import annotations

import hashlib
import hmac
import re
import secrets
from typing import Optional, Tuple

PREFIX = "lmq_"
_KEY_RE = re.compile(r"^lmq_([0-9a-f]{12})_[A-Za-z0-9_-]{43}$")
_TENANT_RE = re.compile(r"^[^\x00-\x1f\x7f]{1,200}$")


def new_key() -> Tuple[str, str]:
    """(key id, key)."""
    key_id = secrets.token_hex(6)
    return key_id, "%s%s_%s" % (PREFIX, key_id, secrets.token_urlsafe(32))


def key_hash(key: str) -> str:
    return hashlib.sha256(key.encode("utf-8")).hexdigest()


def key_id_of(key: str) -> Optional[str]:
    """The key id of a well-formed key, else None."""
    m = _KEY_RE.match(key)
    return m.group(1) if m else None


def hash_matches(key: str, stored_hash: str) -> bool:
    return hmac.compare_digest(key_hash(key), stored_hash)


def check_tenant(tenant: str) -> str:
    """`tenant` if it is a usable tenant name; ValueError otherwise."""
    if not isinstance(tenant, str) or not _TENANT_RE.match(tenant) or tenant != tenant.strip():
        raise ValueError(
            "a tenant is 1 to 200 characters without control characters or surrounding spaces"
        )
    return tenant
