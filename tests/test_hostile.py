"""Hostile inputs, surface by surface: text that came from outside (host names,
NCCL versions, override keys, NIC names) reaches no terminal or page raw; files
too large or endless (/dev/zero, a FIFO) are refused in one line; --json and
--prom never follow a link at the final name; a full disk under --keep-logs
costs the log, not the run."""
import json
import os
import re
import subprocess
import sys
import time

import pytest

from history_records import emulated_report, wrap
from quorvane.cli import main
from quorvane.cli.term import shown
from quorvane.record import store

# A window title, a screen clear, the clipboard (OSC 52), and text that reads backwards.
HOSTILE = ["\x1b]0;owned\x07", "\x1b[2J\x1b[H", "\x1b]52;c;ZXZpbA==\x07", "n\u202e01", "a\u2066b\u2069",
           "x\u200fy\u061c", "nul\x00bell\x07del\x7f"]
RAW = re.compile("[\x00-\x08\x0b-\x1f\x7f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]")
HOSTILE_IDS = ["title", "clear", "clipboard", "rlo", "isolate", "marks", "controls"]


@pytest.fixture(scope="module")
def report():
    return emulated_report()


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out + err


def clean(text, bad):
    """No raw control or bidirectional character, and the hostile text shown escaped."""
    assert not RAW.search(text), repr(text[:400])
    assert shown(bad) in text


@pytest.mark.parametrize("bad", HOSTILE, ids=HOSTILE_IDS)
@pytest.mark.parametrize("surface", ["history", "compare", "baseline"])
def test_text_from_a_record_is_shown_escaped(report, tmp_path, capsys, surface, bad):
    records = [wrap(report, host=bad, hosts=[bad, "n2"], versions={"nccl_library": bad},
                    started_at=f"2026-12-0{d}T10:00:00+00:00") for d in (1, 2, 3)]
    for r in records:
        store(r, os.environ["QUORVANE_DB"])
    files = []
    for n, r in enumerate(records[:2]):
        files.append(tmp_path / f"run{n}.json")
        files[-1].write_text(json.dumps(r))
    argv = {"history": ["history"], "compare": ["compare", *files], "baseline": ["baseline", "--emulated"]}[surface]
    status, text = run(capsys, *argv)
    assert status in (0, 1, 3), text
    clean(text, bad)


@pytest.mark.parametrize("bad", HOSTILE, ids=HOSTILE_IDS)
def test_html_report_shows_hostile_text_escaped(report, tmp_path, capsys, bad):
    record = tmp_path / "run.json"
    record.write_text(json.dumps(wrap(report, host=bad, hosts=[bad], versions={"nccl_library": bad})))
    page = tmp_path / "run.html"
    status, text = run(capsys, "report", record, "--html", page)
    assert status == 0, text
    html = page.read_text()
    assert not RAW.search(html), repr(html[:400])
    assert shown(bad).replace("&", "&amp;") in html


@pytest.mark.parametrize("bad", HOSTILE, ids=HOSTILE_IDS)
def test_override_keys_are_shown_escaped(capsys, set_overrides, bad):
    set_overrides(json.dumps({f"H100_SXM{bad}:intra": {"pass_min_gbps": 100, "warn_min_gbps": 50}}))
    status, text = run(capsys, "thresholds")
    assert status in (0, 64), text
    assert not RAW.search(text), repr(text[:400])


@pytest.mark.parametrize("bad", HOSTILE, ids=HOSTILE_IDS)
def test_topology_text_is_shown_escaped(tmp_path, capsys, bad):
    name = bad.replace("\x00", "").replace("\x07", "").replace("\x1b", "&#27;")  # XML allows no control characters raw
    xml = tmp_path / "node1-topo.xml"
    xml.write_text(f'<system version="1"><cpu numaid="0"><pci busid="0000:01:00.0" class="0x020700" '
                   f'link_speed="16.0 GT/s PCIe" link_width="16"><nic><net name="{name}" dev="0" speed="200000" '
                   f'port="1" guid="0x1" gdr="1"/></nic></pci></cpu></system>')
    status, text = run(capsys, "topo", xml)
    assert not RAW.search(text), repr(text[:400])


PRINTABLE_HOSTILE = [b.replace("\x00", "") for b in HOSTILE]   # what argv and the environment can carry


@pytest.mark.parametrize("bad", PRINTABLE_HOSTILE, ids=HOSTILE_IDS)
@pytest.mark.parametrize("surface", ["sweep-stderr", "sweep-hosts", "fleet-hosts", "grade-file", "topo-file"])
def test_text_from_arguments_and_programs_is_shown_escaped(tmp_path, surface, bad):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("NCCL_STANDIN_", "SLURM_"))}
    argv = {"sweep-stderr": [*EMULATED],
            "sweep-hosts": ["sweep", "--emulate", "--gpu-type", "H100_SXM", "--hosts", f"n1,{bad}"],
            "fleet-hosts": ["fleet", "--emulate", "--gpu-type", "H100_SXM", "--hosts", f"n1,{bad}"],
            "grade-file": ["grade", str(tmp_path / bad.replace("/", "")), "--gpu-type", "H100_SXM"],
            "topo-file": ["topo", str(tmp_path / bad.replace("/", ""))]}[surface]
    if surface == "sweep-stderr":
        env.update(NCCL_STANDIN_MODE_all_reduce="fail", NCCL_STANDIN_MESSAGE=bad)
    r = subprocess.run([sys.executable, "-m", "quorvane", *argv], capture_output=True, text=True, timeout=60,
                       env=env, stdin=subprocess.DEVNULL)
    assert r.returncode in (4, 64), r.stderr
    assert not RAW.search(r.stdout + r.stderr), repr((r.stdout + r.stderr)[:400])
    assert "Traceback" not in r.stderr


# ---- files that never end, or are too large ------------------------------------------

def endless_fifo(tmp_path):
    fifo = tmp_path / "endless"
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", f"exec yes > {fifo}"], stderr=subprocess.DEVNULL)
    return fifo, writer


@pytest.mark.parametrize("source", ["/dev/zero", "sparse", "fifo"])
@pytest.mark.parametrize("surface", ["compare", "report", "topo", "grade"])
def test_endless_or_huge_input_is_refused_in_one_line(tmp_path, surface, source):
    writer = None
    if source == "sparse":
        path = tmp_path / "huge.json"
        with open(path, "wb") as f:
            f.truncate(65 << 20)
    elif source == "fifo":
        path, writer = endless_fifo(tmp_path)
    else:
        path = source
    argv = {"compare": ["compare", path, path], "report": ["report", path, "--html", tmp_path / "page.html"],
            "topo": ["topo", path],
            "grade": ["grade", path, "--gpu-type", "H100_SXM"]}[surface]
    start = time.monotonic()
    try:
        r = subprocess.run([sys.executable, "-m", "quorvane", *map(str, argv)], capture_output=True, text=True,
                           timeout=30, stdin=subprocess.DEVNULL)
    finally:
        if writer is not None:
            writer.kill()
            writer.wait()
    assert r.returncode == 64, r.stderr
    assert re.fullmatch(r"quorvane: error: .*larger than 64 MiB; refused\n", r.stderr), r.stderr
    assert time.monotonic() - start < 20


# ---- --json and --prom at a symbolic link ------------------------------------------------

@pytest.mark.parametrize("owner, link_to, written", [
    ("own", "file", True),           # the user's own link: written through, the link stays
    ("own", "dangling", True),
    ("other", "dangling", False),    # another user's link in /tmp-like folder: refused
    ("other", "file", False),
    ("other", "device", True),       # a device is opened, not replaced (the kernel's rules apply)
])
@pytest.mark.parametrize("option", ["--json", "--prom"])
def test_a_link_of_another_user_in_a_shared_folder_is_not_followed(tmp_path, capsys, owner, link_to, written,
                                                                   option):
    if owner == "other" and os.geteuid() != 0:
        pytest.skip("making another user's link needs root")
    target = tmp_path / "elsewhere" / "victim"
    target.parent.mkdir()
    if link_to == "file":
        target.write_text("precious\n")
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    link = shared / "out"
    os.symlink("/dev/null" if link_to == "device" else target, link)
    if owner == "other":
        os.lchown(link, 65534, 65534)
    if option == "--json":
        status, text = run(capsys, "thresholds", "--json", link)
    else:
        status, text = run(capsys, *EMULATED, "--prom", link)
    assert os.path.islink(link)
    if not written:
        assert status == 74 and "symbolic link of another user in a shared folder; refused" in text, text
        assert (target.read_text() == "precious\n") if link_to == "file" else not target.exists()
    elif link_to != "device":
        assert status in (0, 1), text
        assert target.read_text() != "precious\n"
    assert [p.name for p in shared.iterdir()] == ["out"]   # no temporary file left


EMULATED = ["sweep", "--emulate", "--gpu-type", "H100_SXM", "--gpus", "8", "--collectives", "all_reduce",
            "--no-record"]


# ---- a full disk under --keep-logs ---------------------------------------------------------

@pytest.fixture
def full_disk(tmp_path):
    """A 64 KiB tmpfs filled to its last few hundred bytes (skipped where mounting is not allowed)."""
    where = tmp_path / "small"
    where.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(where)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        (where / "logs").mkdir()
        fd = os.open(where / "filler", os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(fd, b"x" * 512):
                pass
        except OSError:
            pass
        os.close(fd)
        os.truncate(where / "filler", max(0, os.path.getsize(where / "filler") - 1024))
        yield where
    finally:
        subprocess.run(["umount", "-l", str(where)], capture_output=True)


@pytest.mark.parametrize("command", [
    ["sweep", "--emulate", "--gpu-type", "H100_SXM", "--gpus", "8"],
    ["fleet", "--emulate", "--hosts", "n[1-4]", "--gpus-per-node", "4", "--gpu-type", "H100_SXM"],
])
def test_a_full_disk_loses_the_logs_not_the_run(tmp_path, full_disk, command):
    target = tmp_path / "record.json"
    r = subprocess.run([sys.executable, "-m", "quorvane", *command, "--keep-logs", str(full_disk / "logs"),
                        "--json", str(target), "--no-record"], capture_output=True, text=True, timeout=120,
                       stdin=subprocess.DEVNULL,
                       env={k: v for k, v in os.environ.items() if not k.startswith(("NCCL_STANDIN_", "SLURM_"))})
    assert r.returncode in (0, 1), r.stderr
    assert "Traceback" not in r.stderr and "internal error" not in r.stderr
    record = json.loads(target.read_text())
    assert record["verdict"] in ("pass", "warn")
    said = json.dumps(record)
    assert "cannot keep the log" in said or "log: No space left on device" in said
    assert not [p for p in os.listdir(full_disk / "logs") if p.startswith(".quorvane-logs-")]


# ---- one tag with very many attributes -----------------------------------------------------

@pytest.mark.parametrize("count, duplicate", [(3, None), (3, 1), (15, 14), (16, 0), (17, 16), (5000, None),
                                              (5000, 0), (5000, 4999)])
def test_duplicate_attributes_are_found_in_tags_of_any_size(count, duplicate):
    from quorvane import analysis
    attrs = " ".join(f'a{i}="{i}"' for i in range(count))
    extra = f' a{duplicate}="again"' if duplicate is not None else ""
    report = analysis.analyze_topology(f'<system version="1"><cpu numaid="0" {attrs}{extra}/></system>'
                                       f'<!-- {count} -->')
    if duplicate is None:
        assert report.kind != "invalid", report.error
    else:
        assert report.kind == "invalid" and report.error.endswith(f"duplicate attribute a{duplicate}")


def test_a_large_topology_draws_its_first_and_last_rows(tmp_path):
    gpus = "".join(f'<pci busid="0000:{i // 256:02x}:{i % 256:02x}.0" class="0x030200" link_speed="32.0 GT/s PCIe" '
                   f'link_width="16"><gpu dev="{i}" sm="90" rank="{i}" gdr="1"/></pci>' for i in range(3000))
    xml = tmp_path / "big.xml"
    xml.write_text(f'<system version="1"><cpu numaid="0">{gpus}</cpu></system>')
    r = subprocess.run([sys.executable, "-m", "quorvane", "topo", str(xml), "--json", str(tmp_path / "t.json")],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert "2,960 more rows" in r.stdout and len(r.stdout.splitlines()) < 400
    assert len(json.loads((tmp_path / "t.json").read_text())["gpus"]) == 3000


@pytest.mark.parametrize("path,size,cap,refused", [
    ("file", 100, 100, False), ("file", 101, 100, True), ("file", 0, 100, False),
    ("/proc/self/status", None, 1 << 20, False),   # a size of 0 that reads as text
    ("/proc/self/status", None, 16, True),
])
def test_a_file_is_read_whole_up_to_the_cap(tmp_path, path, size, cap, refused):
    from quorvane.policy import InputTooLarge, read_bounded
    if size is not None:
        path = tmp_path / "input"
        path.write_bytes(b"x" * size)
    if refused:
        with pytest.raises(InputTooLarge):
            read_bounded(str(path), cap)
    else:
        data = read_bounded(str(path), cap)
        assert len(data) == size if size is not None else data.startswith(b"Name:")
