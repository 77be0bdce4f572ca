"""The configuration files: $XDG_CONFIG_HOME/quorvane/config.toml (default
~/.config), then /etc/quorvane/config.toml.  A key of the user's file wins over
the same key of the system's; a flag or a variable wins over both.  Each
setting remembers where it came from, for `quorvane config`.

Read with tomllib, once per command; every flaw (bad TOML, an unknown key, a
value of the wrong type) is one line and a usage error."""
from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

from .policy import PolicyError, check_overrides

SYSTEM_PATH = "/etc/quorvane/config.toml"   # paths as text: pathlib would cost start-up its import
LAUNCHERS = ("srun", "mpirun", "ssh")
PLANS = ("full", "quick", "library")   # the sweep plans (quorvane.plans.PLANS, named here to keep start-up light)

# Each key of the file: what it sets, and the flag and variable that win over it.
KEYS = {
    "history": ("the history store: a SQLite file", "--db", "QUORVANE_DB"),
    "binary_root": ("directory of the nccl-tests executables", "--binary-root", None),
    "plan": ("the sweep plan", "--plan", None),
    "launcher": ("srun, mpirun or ssh", "--launcher", None),
    "gpu_type": ("GPU model for the cutoffs, e.g. H100_SXM", "--gpu-type", None),
    "thresholds": ("cutoffs per GPU_TYPE:scope, a table of tables with pass_min_gbps and warn_min_gbps",
                   None, "QUORVANE_NCCL_THRESHOLD_OVERRIDES"),
}


class ConfigError(PolicyError):
    """A configuration file that cannot be used: one line, exit status 64."""


class Config:
    """The settings of the configuration files, and the file each came from.
    (A plain class: dataclasses would cost every command's start-up its import.)"""

    def __init__(self) -> None:
        self.files: list[tuple[str, bool]] = []     # each file looked at, and if it exists
        self.values: dict[str, str] = {}
        self.sources: dict[str, str] = {}            # key (or GPU_TYPE:scope) -> file
        self.thresholds: dict[str, tuple[float, float]] = {}

    def get(self, key: str) -> str | None:
        return self.values.get(key)


def user_path(environ: Mapping[str, str] | None = None) -> str:
    env = os.environ if environ is None else environ
    base = env.get("XDG_CONFIG_HOME") or ""
    root = base if os.path.isabs(base) else os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(root, "quorvane", "config.toml")


def _read(path: str) -> dict[str, Any] | None:
    try:
        with open(path, "rb") as f:
            import tomllib   # only where a file exists
            return tomllib.load(f)
    except FileNotFoundError:
        return None
    except IsADirectoryError:
        raise ConfigError(f"{path}: is a directory, not a configuration file") from None
    except OSError as exc:
        raise ConfigError(f"{path}: cannot read: {exc.strerror or exc}") from None
    except UnicodeDecodeError:
        raise ConfigError(f"{path}: malformed TOML: not UTF-8 text") from None
    except ValueError as exc:   # tomllib.TOMLDecodeError
        raise ConfigError(f"{path}: malformed TOML: {exc}") from None


def _check(path: str, doc: dict[str, Any]) -> tuple[dict[str, str], dict[str, tuple[float, float]]]:
    values: dict[str, str] = {}
    thresholds: dict[str, tuple[float, float]] = {}
    for key, value in doc.items():
        if key not in KEYS:
            raise ConfigError(f"{path}: unknown key {key!r} (known: {', '.join(KEYS)})")
        if key == "thresholds":
            if not isinstance(value, dict):
                raise ConfigError(f"{path}: thresholds must be a table, e.g. "
                                  f"[thresholds.\"H100_SXM:intra\"] with pass_min_gbps and warn_min_gbps")
            try:
                thresholds = check_overrides(value, f"{path}: thresholds")
            except PolicyError as exc:
                raise ConfigError(str(exc)) from None
            continue
        if not isinstance(value, str) or not value.strip() or not value.isprintable():
            raise ConfigError(f"{path}: {key} must be a non-empty string, not {value!r}"[:300])
        if key == "launcher" and value not in LAUNCHERS:
            raise ConfigError(f"{path}: launcher {value!r} is not one of {', '.join(LAUNCHERS)}")
        if key == "plan" and value not in PLANS:
            raise ConfigError(f"{path}: plan {value!r} is not one of {', '.join(PLANS)}")
        values[key] = os.path.expanduser(value) if key in ("history", "binary_root") else value
    return values, thresholds


def load(environ: Mapping[str, str] | None = None, system: str | None = None) -> Config:
    """The settings of both files, the user's over the system's, key by key
    (and cutoff by cutoff)."""
    config = Config()
    for path in (system or SYSTEM_PATH, user_path(environ)):
        doc = _read(path)
        config.files.append((path, doc is not None))
        if doc is None:
            continue
        values, thresholds = _check(path, doc)
        for key, value in values.items():
            config.values[key] = value
            config.sources[key] = str(path)
        for key, cutoffs in thresholds.items():
            config.thresholds[key] = cutoffs
            config.sources[key] = str(path)
    config.files.reverse()   # in the order they count: the user's first
    return config


_active: Config | None = None


def activate(config: Config | None) -> None:
    """The settings in force for this command (None: read them when asked)."""
    global _active
    _active = config


def active() -> Config:
    """The settings in force: those the command activated, else read now."""
    return _active if _active is not None else load()
