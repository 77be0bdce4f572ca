"""`quorvane config`: the settings in force and where each came from (a
variable, the user's or the system's configuration file, or the built-in
default).  A flag given to a command wins over all of them."""
from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from . import add_command, options
from .common import check_json_target, shown, table, write_atomic
from .term import Style


def settings() -> list[dict[str, Any]]:
    """Each setting with its value in force and where it came from."""
    from ..config import KEYS, active
    from ..history import default_path
    from ..policy import read_override_variable

    config = active()
    built_in = {"history": str(default_path({"XDG_DATA_HOME": os.environ.get("XDG_DATA_HOME", "")})),
                "binary_root": "/opt/nccl-tests/build, then the other usual places and the PATH",
                "launcher": "chosen from the environment (srun in a Slurm job, mpirun under SkyPilot, "
                            "else ssh)",
                "plan": "the built-in sweep", "gpu_type": "none: --gpu-type is required"}
    rows: list[dict[str, Any]] = []
    for key, (meaning, flag, var) in KEYS.items():
        if key == "thresholds":
            continue
        if var and os.environ.get(var):
            value, source = os.environ[var], f"environment {var}"
        elif config.get(key) is not None:
            value, source = config.get(key), config.sources[key]
        else:
            value, source = built_in[key], "built-in default"
        rows.append({"key": key, "value": value, "source": source, "flag": flag, "variable": var,
                     "meaning": meaning})
    from_variable = read_override_variable()
    for name in sorted(set(config.thresholds) | set(from_variable)):
        cutoffs = from_variable.get(name) or config.thresholds[name]
        source = f"environment {KEYS['thresholds'][2]}" if name in from_variable else config.sources[name]
        rows.append({"key": f"thresholds.\"{name}\"",
                     "value": {"pass_min_gbps": cutoffs[0], "warn_min_gbps": cutoffs[1]},
                     "source": source, "flag": None, "variable": KEYS["thresholds"][2],
                     "meaning": "cutoffs of this GPU type and scope"})
    return rows


def cmd_config(args: argparse.Namespace) -> int:
    from ..config import active
    from ..record_data import document, strict_json

    check_json_target(args.json)
    rows = settings()
    files = [{"path": str(path), "exists": exists} for path, exists in active().files]
    if args.json is not None:
        write_atomic(args.json, strict_json(document("config", {"files": files, "settings": rows})))
        if args.json == "-":
            return 0
    out = sys.stdout
    style = Style.for_stream(out)
    print(style("configuration files, the first wins", "bold"), file=out)
    for f in files:
        print(f"  {shown(f['path'])}" + ("" if f["exists"] else style("  (none)", "dim")), file=out)
    print(file=out)
    print(style("settings in force (a command's flag wins over each)", "bold"), file=out)

    def text(value: Any) -> str:
        if isinstance(value, dict):
            return f"pass >= {value['pass_min_gbps']:g}, warn >= {value['warn_min_gbps']:g} GB/s"
        return shown(str(value))
    lines = table(["key", "value", "flag", "from"],
                  [[r["key"], text(r["value"]), r["flag"] or "-", shown(r["source"])] for r in rows],
                  [False, False, False, False])
    for line in lines:
        print(line, file=out)
    if not any(r["key"].startswith("thresholds.") for r in rows):
        print("  thresholds  built-in cutoffs only (see `quorvane thresholds`)", file=out)
    return 0


CONFIG_HELP = """\
configuration file (TOML), e.g. ~/.config/quorvane/config.toml:
  history = "/srv/quorvane/history.sqlite3"
  binary_root = "/opt/nccl-tests/build"
  launcher = "srun"
  gpu_type = "H100_SXM"
  [thresholds."H100_SXM:intra"]
  pass_min_gbps = 330
  warn_min_gbps = 260
"""


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane config` to the command line."""
    p = add_command(sub, "config", fmt, statuses=(("0", "ok", "the settings were shown"),),
                    extra_help=CONFIG_HELP,
                    description="Show the settings in force (history store, binary root, plan, launcher, GPU "
                                "type, threshold overrides) and where each came from: a variable, "
                                "$XDG_CONFIG_HOME/quorvane/config.toml (default ~/.config), "
                                "/etc/quorvane/config.toml, or the built-in default. A malformed file is "
                                "one line and exit status 64, for every command.")
    options.json_file(p, "write the settings as JSON to FILE ('-': stdout, instead of the listing)")
    p.set_defaults(handler=cmd_config)
