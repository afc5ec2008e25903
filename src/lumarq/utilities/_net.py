"""Host checks shared by the storage client and the dashboard report (kept outside the storage
component, which a deployment or a test may replace)."""

from __future__ import annotations

import ipaddress


def is_loopback(host: str) -> bool:
    if host.lower() in ("localhost", "localhost.localdomain") or host.lower().endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False
