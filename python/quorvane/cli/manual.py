"""What the shell completion scripts and the manual page are made of: the one
parser of the command line, walked.  Nothing here knows a command by name."""
from __future__ import annotations

import argparse
import datetime as _dt
from dataclasses import dataclass, field
from typing import Any

VALUE_FILES = ("FILE", "DIR", "GOLDEN", "RUN")   # metavars whose values are paths


@dataclass
class Option:
    flags: list[str]
    help: str
    takes_value: bool
    choices: list[str] = field(default_factory=list)
    metavar: str = ""
    repeats: bool = False

    @property
    def files(self) -> bool:
        return self.takes_value and not self.choices and self.metavar in VALUE_FILES


@dataclass
class Command:
    name: str
    summary: str
    description: str
    epilog: str
    options: list[Option]
    positionals: list[Option]


def _subparsers(parser: argparse.ArgumentParser) -> Any:
    return next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))


def _options(parser: argparse.ArgumentParser) -> tuple[list[Option], list[Option]]:
    opts, positionals = [], []
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction) or action.help == argparse.SUPPRESS:
            continue
        metavar = action.metavar if isinstance(action.metavar, str) else (action.dest or "").upper()
        entry = Option(list(action.option_strings), " ".join((action.help or "").split()),
                       action.nargs != 0, [str(c) for c in action.choices or []], metavar,
                       isinstance(action, argparse._CountAction))
        (opts if action.option_strings else positionals).append(entry)
    return opts, positionals


def commands(parser: argparse.ArgumentParser) -> list[Command]:
    """Every command of the parser with its options (parser: all commands in full)."""
    sub = _subparsers(parser)
    summaries = {a.dest: a.help or "" for a in sub._choices_actions}
    out = []
    for name, p in sub.choices.items():
        opts, positionals = _options(p)
        out.append(Command(name, summaries.get(name, ""), p.description or "", p.epilog or "", opts, positionals))
    return out


def full_parser() -> argparse.ArgumentParser:
    from . import COMMANDS, build_parser

    return build_parser(COMMANDS)


# ---- the manual page -----------------------------------------------------------------

def _roff(text: str) -> str:
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\n".join(("\\&" + line) if line.startswith((".", "'")) else line for line in text.splitlines())


def man_page(parser: argparse.ArgumentParser, version: str, date: str | None = None) -> str:
    """quorvane(1) in roff, from the parser: every command, its options and its exit statuses."""
    date = date or _dt.date.today().isoformat()
    lines = [f'.TH QUORVANE 1 "{date}" "quorvane {version}" "User Commands"',
             ".SH NAME", "quorvane \\- measure and grade the collective\\-communication bandwidth of GPU hosts",
             ".SH SYNOPSIS", ".B quorvane", "[\\fB\\-\\-version\\fR] \\fICOMMAND\\fR [\\fIOPTIONS\\fR]",
             ".SH DESCRIPTION", _roff(" ".join((parser.description or "").split())),
             "Each command's own help (\\fBquorvane COMMAND \\-\\-help\\fR) says the same as its section below.",
             ".SH COMMANDS"]
    for cmd in commands(parser):
        lines += [".SS " + _roff(f"quorvane {cmd.name}"), _roff(cmd.summary.capitalize() + "."), ".PP",
                  _roff(" ".join(cmd.description.split()))]
        for pos in cmd.positionals:
            lines += [".TP", f"\\fI{_roff(pos.metavar)}\\fR", _roff(pos.help)]
        for opt in cmd.options:
            flags = ", ".join(f"\\fB{_roff(f)}\\fR" for f in opt.flags)
            if opt.takes_value:
                value = "{" + ",".join(opt.choices) + "}" if opt.choices else opt.metavar
                flags += f" \\fI{_roff(value)}\\fR"
            lines += [".TP", flags, _roff(opt.help)]
        if cmd.epilog:
            lines += [".PP", ".nf", _roff(cmd.epilog.rstrip()), ".fi"]
    lines += [".SH FILES", ".TP", "\\fI$XDG_CONFIG_HOME/quorvane/config.toml\\fR, \\fI/etc/quorvane/config.toml\\fR",
              "Settings (see \\fBquorvane config \\-\\-help\\fR); the first file wins, a flag or variable over both.",
              ".TP", "\\fI$XDG_DATA_HOME/quorvane/history.sqlite3\\fR",
              "The recorded runs (default; \\fB\\-\\-db\\fR, \\fBQUORVANE_DB\\fR or the configuration file's "
              "\\fBhistory\\fR put it elsewhere).",
              ".SH ENVIRONMENT", ".TP", "\\fBQUORVANE_NCCL_THRESHOLD_OVERRIDES\\fR",
              "Cutoffs as JSON, keyed GPU_TYPE:scope; over the configuration file's [thresholds].",
              ".TP", "\\fBNO_COLOR\\fR", "When set, no colour or other styling."]
    return "\n".join(lines) + "\n"
