#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""The man page and the bash completion of varnel-sim against `varnel-sim --help`, so that none
of the three can change without the others.

  check-docs.py --sim BIN --man PAGE --completion SCRIPT

From the help text: the options (with their argument), the commands with their synopsis
(positional arguments and bracketed options) and the exit statuses. Then:
- the man page's OPTIONS and COMMANDS items are exactly those options and synopses, its EXIT
  STATUS items exactly those statuses, and it renders with `man --warnings` without a warning;
- the completion, run in bash as readline would, offers exactly the commands (also after "--"),
  exactly the options, each command's own options, a file name wherever the synopsis says FILE,
  the targets after --target, and nothing for other values.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def help_text(sim):
    return subprocess.run([sim, "--help"], check=True, capture_output=True, text=True).stdout


def section_items(text, title):
    """First columns of the two-space-indented items of a help section ('Options:')."""
    lines = text.split(title + "\n", 1)[1].split("\n\n", 1)[0].splitlines()
    return [re.split(r"\s{2,}", line.strip())[0] for line in lines if re.match(r"  \S", line)]


def parse_help(text):
    option_items = section_items(text, "Options:")  # as listed: '--flash FILE', '-h, --help'
    options = {}  # name -> argument ('' for none)
    for item in option_items:
        names, argument = re.match(r"((?:-[\w-]+, )*-[\w-]+) ?(.*)", item).groups()
        for name in names.split(", "):
            options[name] = argument
    commands = {}  # name -> synopsis
    for item in section_items(text, "Commands:"):
        commands[item.split()[0]] = item
    exit_text = " ".join(text.split("Exit status:", 1)[1].split())
    statuses = set(re.findall(r"(?:^|; )(\d+) ", exit_text))
    return option_items, options, commands, statuses


def synopsis_parts(synopsis):
    """Positional argument names and {option: argument} of one command's synopsis."""
    words = synopsis.split()[1:]
    positional = []
    own = {}
    for group in re.findall(r"\[([^\]]+)\]|(\S+)", " ".join(words)):
        if group[0]:
            option, _, argument = group[0].partition(" ")
            own[option] = argument
        else:
            positional.append(group[1])
    return positional, own


# ---- man page ----------------------------------------------------------------------------------
def roff_plain(line):
    line = re.sub(r"^\.(B|I|BR|BI|IR|RB)\s+", "", line)
    line = re.sub(r"\\f[BIRP]", "", line)
    return line.replace("\\-", "-").replace('"', "").strip()


def man_items(page):
    """{SECTION: [tag, ...]} of the .TP items of each section."""
    sections = {}
    current = None
    lines = open(page, encoding="utf-8").read().splitlines()
    for index, line in enumerate(lines):
        if line.startswith(".SH "):
            current = line[4:].strip().strip('"')
            sections[current] = []
        elif line == ".TP" and current and index + 1 < len(lines):
            sections[current].append(roff_plain(lines[index + 1]))
    return sections


def check_man(page, option_items, commands, statuses):
    items = man_items(page)
    check(sorted(items.get("OPTIONS", [])) == sorted(option_items),
          f"man OPTIONS {sorted(set(items.get('OPTIONS', [])) ^ set(option_items))} "
          "differ from --help")
    check(sorted(items.get("COMMANDS", [])) == sorted(commands.values()),
          f"man COMMANDS {sorted(set(items.get('COMMANDS', [])) ^ set(commands.values()))} "
          "differ from --help")
    check(set(items.get("EXIT STATUS", [])) == statuses,
          f"man EXIT STATUS {items.get('EXIT STATUS')} != --help {sorted(statuses)}")
    for section in ("SYNOPSIS", "DESCRIPTION", "ENVIRONMENT", "FILES", "EXAMPLES"):
        check(section in items, f"man page has no {section} section")
    environment = dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ="", MANWIDTH="80")
    rendered = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page],
                              env=environment, capture_output=True, text=True)
    check(rendered.returncode == 0 and not rendered.stderr.strip(),
          f"man --warnings: status {rendered.returncode}: {rendered.stderr.strip()}")


# ---- completion --------------------------------------------------------------------------------
def complete(script, directory, *words):
    """COMPREPLY for the command line 'varnel-sim WORDS...', the last word being completed."""
    program = ('source "$1"; shift; COMP_WORDS=(varnel-sim "$@"); COMP_CWORD=$#; _varnel_sim; '
               'printf "%s\\n" "${COMPREPLY[@]}"')
    result = subprocess.run(["bash", "-c", program, "complete", script, *words], cwd=directory,
                            check=True, capture_output=True, text=True)
    return sorted(line for line in result.stdout.splitlines() if line)


def check_completion(script, options, commands):
    with tempfile.TemporaryDirectory() as directory:
        open(os.path.join(directory, "probe.bin"), "w").close()
        files = ["probe.bin"]

        def value_completion(argument):
            if argument == "FILE":
                return files
            if "|" in argument:
                return sorted(argument.split("|"))
            return []

        def expect(words, wanted):
            got = complete(script, directory, *words)
            missing, extra = sorted(set(wanted) - set(got)), sorted(set(got) - set(wanted))
            check(got == sorted(wanted),
                  f"completing {' '.join(words)!r}: missing {missing}, not in --help {extra}")

        expect([""], commands)
        expect(["-"], options)
        expect(["--json", "info", "--", ""], commands)
        for option, argument in options.items():
            if argument:
                # The value is taken, and what follows the value is a command again.
                expect([option, "pro" if argument == "FILE" else ""], value_completion(argument))
                expect([option, "read", ""], commands)
        for name, synopsis in commands.items():
            positional, own = synopsis_parts(synopsis)
            expect([name, "-"], list(own) + ["--help", "--"])
            for index, argument in enumerate(positional + ["EXTRA"]):
                before = ["x"] * index
                expect([name, *before, "pro"], files if argument == "FILE" else [])
            for option, argument in own.items():
                if argument:
                    expect([name, *["x"] * len(positional), option, "pro"],
                           value_completion(argument) if argument == "FILE" else [])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--man", required=True)
    parser.add_argument("--completion", required=True)
    args = parser.parse_args()
    option_items, options, commands, statuses = parse_help(help_text(args.sim))
    check(len(options) >= 10 and len(commands) >= 20 and statuses,
          f"--help parsed to {len(options)} options, {len(commands)} commands, {statuses}")
    check_man(args.man, option_items, commands, statuses)
    check_completion(os.path.abspath(args.completion), options, commands)
    for failure in failures:
        print(f"FAILED: {failure}")
    print(f"{len(options)} options, {len(commands)} commands, {len(statuses)} exit statuses: "
          f"{len(failures)} disagreements")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
