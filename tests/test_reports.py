"""The HTML report in a real headless Chromium, and the Prometheus textfile read
back with prometheus_client's parser."""
import json
import os
import subprocess
import sys
from html.parser import HTMLParser

import pytest
from prometheus_client.parser import text_string_to_metric_families

from chromium_page import CHROMIUM, probe, screenshot
from history_records import emulated_report, wrap
from quorvane import analysis
from quorvane.cli import main
from quorvane.history import History
from quorvane.reports import html, prom

needs_chromium = pytest.mark.skipif(CHROMIUM is None and not os.environ.get("QUORVANE_REQUIRE_CHROMIUM"),
                                    reason="chromium is not installed (.ci/run installs it)")


@pytest.fixture(scope="module")
def report():
    return emulated_report()


def fleet(report):
    record = wrap(report, kind="fleet", hosts=["g1", "g2", "g3", "g4"])
    record["hosts"] = [{"host": h, "headline": {"busbw_gbps": v, "size_bytes": 33554432}}
                              for h, v in [("g1", 348.0), ("g2", 350.0), ("g3", 349.0), ("g4", 351.0)]]
    record["pair_results"] = [{"hosts": ["g1", "g2"], "round": 1, "busbw_gbps": 40.1},
                              {"hosts": ["g3", "g4"], "round": 1, "busbw_gbps": 21.0},
                              {"hosts": ["g4", "g1"], "round": 2, "busbw_gbps": 20.5}]
    record["suspects"] = [{"host": "g4", "kind": "net", "evidence": "21.0 and 20.5 GB/s against a median of 40"}]
    return record


@needs_chromium
@pytest.mark.parametrize("case", ["sweep", "one collective", "fleet"])
def test_report_in_chromium(report, tmp_path, case):
    record = fleet(report) if case == "fleet" else wrap(report)
    if case == "one collective":
        record["collectives"] = record["collectives"][:1]
    band = [html.BandPoint(r["size_bytes"], r["busbw_gbps"] * 0.9, r["busbw_gbps"] * 1.05)
            for r in record["collectives"][0]["rows"]]
    typical = [html.TypicalRange(33554432, 276, 296, "(public source)")]
    page = html.render(record, baseline=html.Baseline(3, band, "3 runs"), typical=typical)
    assert "<script" not in page and "src=" not in page and "url(" not in page
    seen = probe(page, tmp_path)
    assert seen["series"] == [c["collective"] for c in record["collectives"]]
    assert all(seen["drawn"]) and seen["band"] == 1 and seen["typical"] == 1 and seen["cutoffs"] == 2
    assert seen["resources"] == 0 and seen["verdict"] == record["verdict"].upper()
    assert seen["suspects"] == (3 if case == "fleet" else 0)   # g4: alone and its two pair runs
    if case == "sweep":
        (tmp_path / "page.html").write_text(page)
        screenshot(tmp_path / "page.html", tmp_path / "shot.png", 900, 700)
        from PIL import Image
        pixels = Image.open(tmp_path / "shot.png").convert("RGB")
        assert pixels.size == (900, 700) and len(pixels.getcolors(1 << 20) or []) > 50


@needs_chromium
def test_report_command_draws_the_site_band(report, tmp_path, capsys):
    db = tmp_path / "h.sqlite3"
    with History(db) as h:
        ids = [h.add(wrap(report, scale=s, started_at=f"2026-12-0{i + 1}T10:00:00+00:00"))
               for i, s in enumerate([0.9, 0.95, 1.0, 0.98, 0.7])]
    assert main(["report", "--db", str(db), "--html", str(tmp_path / "r.html")]) == 0
    seen = probe((tmp_path / "r.html").read_text(), tmp_path)
    assert seen["band"] == 1 and seen["verdict"] == "FAIL"    # the latest run, against its four elders
    assert seen["typical"] == 1                               # 8 x H100 SXM at 32 MiB has a published range
    assert main(["report", str(ids[1]), "--db", str(db), "--html", str(tmp_path / "r.html")]) == 0
    assert probe((tmp_path / "r.html").read_text(), tmp_path)["band"] == 1
    assert main(["report", "--db", str(tmp_path / "none.sqlite3"), "--html", str(tmp_path / "x.html")]) == 64
    assert "nothing is recorded" in capsys.readouterr().err


HOSTILE = '<x-injected a="1">&amp;</x-injected>'


class _Elements(HTMLParser):
    def __init__(self):
        super().__init__()
        self.tags, self.text = set(), []

    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)

    def handle_data(self, data):
        self.text.append(data)


@pytest.mark.parametrize("field", ["gpu_type", "host", "message", "evidence", "heat-map host"])
def test_page_shows_what_it_is_given_as_text(report, field):
    """Text from the run (host names, GPU types, benchmark output in findings) never becomes markup."""
    record = fleet(report) if field == "heat-map host" else wrap(report)
    if field == "gpu_type":
        record["gpu_type"] = HOSTILE
    elif field == "host":
        record["hosts"] = [HOSTILE]
    elif field == "heat-map host":
        record["hosts"][0]["host"] = HOSTILE
    else:
        record["findings"] = [{"severity": "warn", "code": "log", "message": "m", "evidence": "e", field: HOSTILE}]
    page = _Elements()
    page.feed(html.render(record))
    assert "x-injected" not in page.tags
    assert HOSTILE in "".join(page.text)


@pytest.mark.parametrize("sizes, circles", [((0, 8, 1024), 2), ((0,), 0)])
def test_chart_leaves_out_a_zero_byte_message(report, sizes, circles):
    """nccl-tests -b 0 prints a row of 0 bytes: it has no place on the log scale, the rest is drawn."""
    record = wrap(report)
    record["collectives"] = [{"collective": "all_reduce", "rows": [
        {"size_bytes": size, "busbw_gbps": 1.0 + i} for i, size in enumerate(sizes)]}]
    page = html.render(record)
    assert page.count("<circle") == circles
    assert ("nothing to draw" in page) == (circles == 0)


def families(text):
    return {f.name: f for f in text_string_to_metric_families(text)}


@pytest.mark.parametrize("host, verdict", [("gpu-a07", "pass"), ('we"ird\\host\nname', "error")])
def test_prometheus_text_reads_back(report, host, verdict):
    record = wrap(report, host=host)
    record["verdict"] = verdict
    rows = [(c["collective"], r["size_bytes"], r["busbw_gbps"] * 1e9) for c in record["collectives"]
            for r in c["rows"]]
    slower = wrap(report, scale=0.5)["collectives"][0]       # a second output of one collective (grade)
    record["collectives"].append(slower)
    got = families(prom.render(record))
    busbw = got["quorvane_busbw_bytes_per_second"].samples
    assert sorted((s.labels["collective"], int(s.labels["message_size"]), s.value) for s in busbw) == sorted(rows)
    assert {s.labels["host"] for s in busbw} == {host}
    assert {s.labels["emulated"] for f in got.values() for s in f.samples} == {"true"}
    verdicts = {s.labels["verdict"]: s.value for s in got["quorvane_verdict"].samples}
    assert verdicts[verdict] == 1 and sum(verdicts.values()) == 1
    [stamp] = got["quorvane_run_timestamp_seconds"].samples
    assert stamp.value == 1796554506.0                      # 2026-12-06T10:55:06Z
    assert got["quorvane_run_duration_seconds"].samples[0].value == record["wall_s"]


def test_multi_host_run_gives_each_host_its_own_sample(report):
    record = wrap(report, hosts=["gpu-a", "gpu-b"], emulated=False)
    got = families(prom.render(record))
    for family in got.values():
        hosts = [s.labels["host"] for s in family.samples]
        assert sorted(set(hosts)) == ["gpu-a", "gpu-b"] and hosts.count("gpu-a") == hosts.count("gpu-b")
        assert {s.labels["emulated"] for s in family.samples} == {"false"}


def test_fleet_exports_each_host(report):
    record = fleet(report)
    record["hosts"][3].update(verdict="fail", pairs=[{"with": ["g3"], "busbw_gbps": 21.0}])
    record["suspects"][0].update(kind="net", severity="fail")
    got = families(prom.render(record))
    per_host = {s.labels["host"]: s.value for s in got["quorvane_fleet_host_busbw_bytes_per_second"].samples}
    assert per_host == {"g1": 348e9, "g2": 350e9, "g3": 349e9, "g4": 351e9}
    [suspect] = got["quorvane_fleet_suspect"].samples
    assert (suspect.labels["host"], suspect.labels["kind"], suspect.value) == ("g4", "net", 1.0)
    [pair] = got["quorvane_fleet_pair_busbw_bytes_per_second"].samples
    assert (pair.labels["host"], pair.labels["peer"], pair.value) == ("g4", "g3", 21e9)
    verdicts = {s.labels["host"]: s.labels["verdict"] for s in got["quorvane_fleet_host_verdict"].samples if s.value}
    assert verdicts == {"g4": "fail"}
    assert all("," not in s.labels.get("host", "") for f in got.values() for s in f.samples)


def test_report_prom_replaces_the_file_whole(report, tmp_path):
    record = tmp_path / "run.json"
    record.write_text(json.dumps(wrap(report)))
    target = tmp_path / "metrics" / "quorvane.prom"
    target.parent.mkdir()
    target.write_text("old\n")
    assert main(["report", str(record), "--prom", str(target)]) == 0
    assert "quorvane_busbw_bytes_per_second" in families(target.read_text())
    assert [p.name for p in target.parent.iterdir()] == ["quorvane.prom"]


@pytest.mark.skipif(not hasattr(analysis, "read_output"), reason="the sweep needs the field reader")
def test_sweep_prom(tmp_path):
    done = subprocess.run([sys.executable, "-m", "quorvane", "sweep", "--emulate", "--gpus", "8", "--gpu-type",
                           "H100_SXM", "--plan", "library", "--no-record", "--prom", str(tmp_path / "q.prom")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    got = families((tmp_path / "q.prom").read_text())
    assert len(got["quorvane_busbw_bytes_per_second"].samples) == 16


def test_page_shows_each_finding_once(report):
    record = wrap(report)
    corrupt = {"code": "wrong-results", "severity": "fail", "message": "the benchmark counted 3 wrong results",
               "evidence": "32 MiB: #wrong 3"}
    record["collectives"][0]["findings"] = [corrupt]
    record["findings"] = [{**corrupt, "collective": record["collectives"][0]["collective"]},
                          {**corrupt, "evidence": "128 MiB: #wrong 1"}]
    page = html.render(record)
    assert page.count("32 MiB: #wrong 3") == 1 and page.count("128 MiB: #wrong 1") == 1


def _emulated_fleet(tmp_path, faults):
    out = tmp_path / "fleet.json"
    env = {**os.environ, "QUORVANE_EMULATE_FAULTS": json.dumps(faults)}
    done = subprocess.run([sys.executable, "-m", "quorvane", "fleet", "--emulate", "--hosts", "n[1-6]",
                           "--gpus-per-node", "8", "--gpu-type", "H100_SXM", "--no-record", "--json", str(out)],
                          capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 2, done.stderr
    return json.loads(out.read_text())


def _heat_table(page):
    """host -> column -> (background, text, classes) of the page's host x test table."""
    from html.parser import HTMLParser

    class Cells(HTMLParser):
        def __init__(self):
            super().__init__()
            self.rows, self.cell, self.inside = [], None, False

        def handle_starttag(self, tag, attrs):
            a = dict(attrs)
            if tag == "table" and a.get("class") == "heat":
                self.inside = True
            elif self.inside and tag == "tr":
                self.rows.append([])
            elif self.inside and tag in ("td", "th"):
                self.cell = [a.get("style") or "", "", a.get("class") or ""]
                self.rows[-1].append(self.cell)

        def handle_endtag(self, tag):
            if tag == "table":
                self.inside = False

        def handle_data(self, data):
            if self.inside and self.cell is not None:
                self.cell[1] += data

    parser = Cells()
    parser.feed(page)
    head = [c[1] for c in parser.rows[0]][1:]
    return {row[0][1].split()[0]: dict(zip(head, ((c[0], c[1], c[2]) for c in row[1:])))
            for row in parser.rows[1:]}


def test_heat_map_judges_each_cell_against_the_fleet(tmp_path):
    table = _heat_table(html.render(_emulated_fleet(tmp_path, {"n3": {"net": 0.5}})))
    red = lambda cell: "rgb(255," in cell[0]                                            # noqa: E731
    suspect_pairs = [c for col, c in table["n3"].items() if "pair" in col and c[1] != "-"]
    assert suspect_pairs and all(red(c) for c in suspect_pairs)
    assert not red(table["n3"]["alone"])                       # its own GPUs are fine
    # the partners of the suspect's pairs are named, and are not painted as guilty
    partners = {h: c for h, row in table.items() if h != "n3" for col, c in row.items() if "with n3" in c[1]}
    assert partners and not any(red(c) for c in partners.values())
    assert all("slowed" in c[2] for c in partners.values())
    assert all("with " in c[1] for row in table.values() for col, c in row.items() if "pair" in col and c[1] != "-")


def test_heat_map_shows_the_suspect_alone_again(tmp_path):
    table = _heat_table(html.render(_emulated_fleet(tmp_path, {"n2": {"intra": 0.5}})))
    assert "rgb(255," in table["n2"]["alone"][0] and "rgb(255," in table["n2"]["alone again"][0]
    assert all(c[0] == "background:#ffffff" for h, row in table.items() if h != "n2" for c in row.values()
               if c[1] != "-")
