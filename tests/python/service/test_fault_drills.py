"""The fault drills of fault_drills.py, asserted: nothing lost or duplicated across outages,
losses beyond the bounds counted and recorded, bad records isolated, abuse contained.

Timings are printed (run with -s, or run fault_drills.py), never asserted."""

from __future__ import annotations

import json
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import fault_drills as drills  # noqa: E402

pytestmark = pytest.mark.slow


def show(name, figures):
    print("\n%s %s" % (name, json.dumps(figures)))


@pytest.mark.parametrize("drill", ["service_killed", "postgres_stopped"])
def test_an_outage_of_ten_seconds_loses_and_duplicates_nothing(drill, request):
    if drill == "postgres_stopped" and drills.pg_server.find_bindir() is None:
        request.getfixturevalue("pg_server_url")  # skips, or fails in CI
    figures = getattr(drills, "drill_" + drill)()
    show(drill, figures)
    assert figures["outage_s"] >= 10 and figures["rows_stored_before_cut"] > 0
    assert (figures["lost"], figures["duplicated"], figures["writer_lost"]) == (0, 0, 0)
    assert figures["batches_retried"] >= 1


@pytest.mark.parametrize("form", ["records", "columns"])
def test_records_beyond_a_small_journal_are_counted_logged_once_and_recorded_on_the_pipeline(form):
    logs = []
    f = drills.drill_journal_bound(logs=logs, form=form)
    show("journal_bound", f)
    assert 0 < f["lost"] < f["rows"] and f["stored"] + f["lost"] == f["rows"]
    assert 0 < f["journal_bytes_during_outage"] <= f["journal_bytes_bound"]
    assert (f["journal_files_during"], f["journal_files_after"]) == (1, 0)  # spilled, then removed
    assert f["flush_ok"] is False and f["pipeline_lost_records"] == f["lost"]
    assert f["pipeline_status"] == "completed_with_losses"
    (line,) = f["loss_log_lines"]
    assert str(f["lost"]) in line and "journal" in line


@pytest.mark.parametrize("raise_in_block", [False, True])
@pytest.mark.parametrize("how", ["down", "revoked"])
def test_leaving_the_block_with_the_store_gone_raises_nothing_of_its_own(how, raise_in_block):
    f = drills.drill_exit_with_store_gone(how, raise_in_block=raise_in_block)
    show("exit/%s" % how, f)
    # Only the block's own exception leaves it, unchanged.
    assert f["raised"] == (repr(KeyError("from the block")) if raise_in_block else None)
    assert 0 < f["records_lost"] <= 30_000 and f["store_failures"] >= 1


@pytest.mark.parametrize("via", ["direct", "service"])
def test_one_nul_row_among_100000_on_postgresql_is_the_only_one_rejected(via, pg_server_url):
    f = drills.drill_nul_row(via, pg_server_url)
    show("nul/%s" % via, f)
    assert (f["stored"], f["rejected"], f["lost"], f["pipeline_lost_records"]) == (99_999, 1, 1, 1)
    assert "text_value" in f["last_error"] and "NUL" in f["last_error"]


def test_a_32_mb_report_is_refused_and_a_keyless_one_gets_401_first():
    f = drills.drill_big_report()
    show("big_report", f)
    assert (f["with_key"], f["without_key"], f["alive"]) == (413, 401, True)
    assert "Report too large" in f["detail"]


def test_listing_10000_reports_keeps_the_server_memory_growth_under_100_mb():
    f = drills.drill_report_listing()
    show("report_listing", f)
    assert f["listed"] == 10_000 and f["limit_10000_status"] == 422
    assert f["growth_mb"] < 100


@pytest.mark.parametrize("db_kind", ["sqlite", "postgresql"])
def test_four_32_mb_writes_of_one_tenant_leave_another_tenant_served(db_kind, request):
    pg = request.getfixturevalue("pg_server_url") if db_kind == "postgresql" else None
    f = drills.drill_noisy_neighbour(db_kind, pg)
    show("noisy_neighbour/%s" % db_kind, f)
    assert set(f["big_status"]) <= {200, 503} and f["small_status"] == [200]
    assert f["big_rows_stored"] == f["big_status"].count(200) * f["big_rows_each"]
    assert f["big_status"].count(200) >= 2


def test_20000_half_sent_requests_are_closed_and_the_service_keeps_answering():
    f = drills.drill_half_sent()
    show("half_sent", f)
    assert f["service_alive"] and f["legit_status"] == 200 and f["still_open"] == 0
    assert f["held_half_sent"] >= min(20_000, f["descriptor_limit"] - 200) * 0.9
    assert f["closed_by_service"] == f["held_half_sent"] and f["closed_sooner_than_timeout"] == 0
