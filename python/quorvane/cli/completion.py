"""`quorvane completion bash|zsh`: a completion script made from the command
line's own parser, so it knows every command, option and choice there is."""
from __future__ import annotations

import argparse
import shlex
from typing import Any

from . import add_command
from .common import data_stream
from .manual import Command, commands, full_parser

SHELLS = ("bash", "zsh")


def _words(items: list[str]) -> str:
    return shlex.quote(" ".join(items))


def bash_script(cmds: list[Command]) -> str:
    cases = []
    for cmd in cmds:
        flags = [f for o in cmd.options for f in o.flags] + ["--help"]
        value_cases = []
        for o in cmd.options:
            if not o.takes_value:
                continue
            pattern = "|".join(o.flags)
            if o.choices:
                value_cases.append(f"            {pattern}) COMPREPLY=($(compgen -W {_words(o.choices)} -- \"$cur\")); "
                                   f"return;;")
            elif o.files:
                value_cases.append(f"            {pattern}) COMPREPLY=($(compgen -f -- \"$cur\")); return;;")
            else:
                value_cases.append(f"            {pattern}) return;;")
        positional = 'COMPREPLY=($(compgen -f -- "$cur"))' if cmd.positionals else "COMPREPLY=()"
        if cmd.name == "completion":
            positional = 'COMPREPLY=($(compgen -W ' + _words(list(SHELLS)) + ' -- "$cur"))'
        cases.append(f"""        {cmd.name})
            case "$prev" in
{chr(10).join(value_cases) or "            --) ;;"}
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W {_words(flags)} -- "$cur"))
            else
                {positional}
            fi;;""")
    names = [c.name for c in cmds]
    return f"""# bash completion for quorvane (made by `quorvane completion bash`)
_quorvane() {{
    local cur prev cmd="" i
    cur="${{COMP_WORDS[COMP_CWORD]}}"
    prev="${{COMP_WORDS[COMP_CWORD-1]}}"
    for ((i = 1; i < COMP_CWORD; i++)); do
        case "${{COMP_WORDS[i]}}" in
            -*) ;;
            *) cmd="${{COMP_WORDS[i]}}"; break;;
        esac
    done
    if [[ -z $cmd ]]; then
        COMPREPLY=($(compgen -W {_words(names + ["--help", "--version"])} -- "$cur"))
        return
    fi
    case "$cmd" in
{chr(10).join(cases)}
    esac
}}
complete -o filenames -F _quorvane quorvane
"""


def _zsh_text(text: str) -> str:
    """Help text inside a zsh option description: no brackets or colons, quotes closed and reopened."""
    for c in "[]:":
        text = text.replace(c, " ")
    return " ".join(text.split()).replace("'", "'\\''")


def zsh_script(cmds: list[Command]) -> str:
    described = "\n".join(f"    '{c.name}:{_zsh_text(c.summary)}'" for c in cmds)
    cases = []
    for cmd in cmds:
        specs = []
        for o in cmd.options:
            help_text = _zsh_text(o.help)[:120]
            value = ""
            if o.takes_value:
                action = f"({' '.join(o.choices)})" if o.choices else "_files" if o.files else " "
                value = f":{_zsh_text(o.metavar) or 'value'}:{action}"
            for flag in o.flags:
                specs.append(f"'{'*' if o.repeats else ''}{flag}[{help_text}]{value}'")
        if cmd.name == "completion":
            specs.append("':shell:(" + " ".join(SHELLS) + ")'")
        elif cmd.positionals:
            specs.append("'*:file:_files'")
        cases.append(f"        {cmd.name})\n            _arguments -s \\\n                "
                     + " \\\n                ".join(specs) + ";;")
    return f"""#compdef quorvane
# zsh completion for quorvane (made by `quorvane completion zsh`)
_quorvane() {{
  local -a commands
  commands=(
{described}
  )
  if (( CURRENT == 2 )); then
    _describe -t commands 'quorvane command' commands
    return
  fi
  local cmd=$words[2]
  shift words
  (( CURRENT-- ))
  case $cmd in
{chr(10).join(cases)}
  esac
}}
if [[ $zsh_eval_context[-1] == loadautofunc ]]; then
  _quorvane "$@"
else
  compdef _quorvane quorvane
fi
"""


def cmd_completion(args: argparse.Namespace) -> int:
    cmds = commands(full_parser())
    data_stream().write(bash_script(cmds) if args.shell == "bash" else zsh_script(cmds))
    return 0


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane completion` to the command line."""
    p = add_command(sub, "completion", fmt, statuses=(("0", "ok", "the script was written"),),
                    extra_help="for example:\n  source <(quorvane completion bash)              # this shell\n"
                               "  quorvane completion zsh > ~/.zfunc/_quorvane     # zsh, with ~/.zfunc in fpath",
                    description="Write a completion script for bash or zsh to stdout: every command, option "
                                "and choice of this quorvane.")
    p.add_argument("shell", choices=SHELLS, help="the shell: bash or zsh")
    p.set_defaults(handler=cmd_completion)
