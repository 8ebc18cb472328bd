#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""The man page and the bash completion of varnel-sim against `varnel-sim --help`, so that none
of the three can change without the others.

  check-docs.py --sim BIN --man PAGE --completion SCRIPT

varnel-sim renders its help from tables (tools/varnel-sim/CommandLine.cpp): the options with
their argument, the commands with their synopsis (positional arguments, bracketed options), the
environment variables, the files and the exit statuses, each a section of two-space-indented
items. Then:
- the man page's OPTIONS, COMMANDS, ENVIRONMENT, FILES and EXIT STATUS items are exactly those
  items, in the same order; its SYNOPSIS names exactly the options; its version is the tool's;
  every varnel-sim line and script line of its EXAMPLES uses only commands and options the help
  names, each option where the help puts it; and it renders with `man --warnings` without a
  warning;
- the completion, run in bash as readline would, offers exactly the commands (also after "--"),
  exactly the options, each command's own options, a file name wherever the synopsis says FILE,
  the commands where it says COMMAND, the targets after --target, and nothing for other values.
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


def run_sim(sim, *arguments):
    return subprocess.run([sim, *arguments], check=True, capture_output=True, text=True).stdout


def section_items(text, title):
    """First columns of the two-space-indented items of a help section ('Options:')."""
    lines = text.split(title + "\n", 1)[1].split("\n\n", 1)[0].splitlines()
    return [re.split(r"\s{2,}", line.strip())[0] for line in lines if re.match(r"  \S", line)]


SECTIONS = {"OPTIONS": "Options:", "COMMANDS": "Commands:", "ENVIRONMENT": "Environment:",
            "FILES": "Files:", "EXIT STATUS": "Exit status:"}


def parse_help(text):
    """{man section: [help item, ...]}, {option: argument}, {command: synopsis}."""
    items = {section: section_items(text, title) for section, title in SECTIONS.items()}
    options = {}  # name -> argument ('' for none)
    for item in items["OPTIONS"]:  # as listed: '--flash FILE', '-h, --help'
        names, argument = re.match(r"((?:-[\w-]+, )*-[\w-]+) ?(.*)", item).groups()
        for name in names.split(", "):
            options[name] = argument
    commands = {item.split()[0]: item for item in items["COMMANDS"]}  # name -> synopsis
    return items, options, commands


def synopsis_parts(synopsis):
    """Positional argument names (an optional one as '[NAME]') and {option: argument} of one
    command's synopsis."""
    words = synopsis.split()[1:]
    positional = []
    own = {}
    for group in re.findall(r"\[([^\]]+)\]|(\S+)", " ".join(words)):
        if group[0] and group[0].startswith("-"):
            option, _, argument = group[0].partition(" ")
            own[option] = argument
        else:
            positional.append(group[1] or f"[{group[0]}]")
    return positional, own


# ---- man page ----------------------------------------------------------------------------------
def roff_plain(line):
    """The text of one roff line: macro name, font escapes, quotes and \\& gone."""
    line = re.sub(r"^\.(B|I|BR|BI|IR|RB|RI|IB)\s+", "", line)
    line = re.sub(r"\\f[BIRP]", "", line).replace("\\&", "").replace("\\(aq", "'")
    return line.replace("\\-", "-").replace('"', "").strip()


def man_sections(page):
    """{SECTION: [line, ...]} of the page, and the .TH line."""
    sections = {}
    current = None
    title = ""
    for line in open(page, encoding="utf-8").read().splitlines():
        if line.startswith(".TH "):
            title = line
        elif line.startswith(".SH "):
            current = line[4:].strip().strip('"')
            sections[current] = []
        elif current:
            sections[current].append(line)
    return sections, title


def man_items(lines):
    """The tags of the .TP items of one section."""
    return [roff_plain(lines[index + 1]) for index, line in enumerate(lines[:-1])
            if line == ".TP"]


def example_words(lines):
    """The varnel-sim command lines and the script lines (a here-document) of EXAMPLES."""
    command_lines, script_lines, in_script = [], [], None
    for line in lines:
        text = line.replace("\\-", "-").replace("\\(aq", "'").split(" #")[0].strip()
        if in_script:
            if text == in_script:
                in_script = None
            elif text:
                script_lines.append(text.split())
            continue
        heredoc = re.search(r"<<\s*'?(\w+)'?$", text)
        if heredoc:
            in_script = heredoc.group(1)
        elif re.match(r"(\S+=\S+ )*varnel-sim ", text):
            command_lines.append(text.split(" varnel-sim ", 1)[-1].split("varnel-sim ", 1)[-1]
                                 .split())
    return command_lines, script_lines


def check_command_words(words, options, commands, where):
    """One command of an example (name first): known, with only its own options."""
    check(words and words[0] in commands, f"man EXAMPLES {where}: unknown command {words[:1]}")
    if not words or words[0] not in commands:
        return
    _, own = synopsis_parts(commands[words[0]])
    for word in words[1:]:
        check(not word.startswith("-") or word in own or word == "-" or
              re.match(r"-\d", word) is not None,
              f"man EXAMPLES {where}: {words[0]} has no option {word}")


def check_examples(lines, options, commands):
    command_lines, script_lines = example_words(lines)
    check(len(command_lines) >= 3 and script_lines, "man EXAMPLES has too few examples")
    for words in command_lines:
        where = "varnel-sim " + " ".join(words)
        index = 0
        while index < len(words) and words[index].startswith("-"):
            name = words[index].split("=", 1)[0]
            check(name in options, f"man EXAMPLES {where}: unknown option {name}")
            index += 2 if options.get(name) and "=" not in words[index] else 1
        command = []
        for word in words[index:] + ["--"]:
            if word == "--":
                check_command_words(command, options, commands, where)
                command = []
            else:
                command.append(word)
    for words in script_lines:
        check_command_words(words, options, commands, "script line " + " ".join(words))


def check_man(page, sim, items, options, commands):
    sections, title = man_sections(page)
    for section, wanted in items.items():
        got = man_items(sections.get(section, []))
        check(got == wanted, f"man {section} {got} differ from --help {wanted}")
    synopsis = set(re.findall(r"(?<![\w-])--?[a-z][\w-]*", " ".join(map(roff_plain,
                                                       sections.get("SYNOPSIS", [])))))
    check(synopsis == set(options) - {"-h"},
          f"man SYNOPSIS options {sorted(synopsis ^ (set(options) - {'-h'}))} differ from --help")
    version = run_sim(sim, "--version").split()[-1]
    check(f'"VarnelMm {version}"' in title, f"man .TH {title!r} is not of version {version}")
    for section in ("NAME", "DESCRIPTION", "EXAMPLES"):
        check(section in sections, f"man page has no {section} section")
    check_examples(sections.get("EXAMPLES", []), options, commands)
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
            if argument.strip("[]") == "COMMAND":
                return list(commands)
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
                expect([name, *before, "pro" if argument == "FILE" else ""],
                       value_completion(argument) if argument != "EXTRA" else [])
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
    items, options, commands = parse_help(run_sim(args.sim, "--help"))
    check(len(options) >= 10 and len(commands) >= 20 and all(items.values()),
          f"--help parsed to {len(options)} options, {len(commands)} commands, {items}")
    check_man(args.man, args.sim, items, options, commands)
    check_completion(os.path.abspath(args.completion), options, commands)
    for failure in failures:
        print(f"FAILED: {failure}")
    print(", ".join(f"{len(found)} {section.lower()}" for section, found in items.items()) +
          f": {len(failures)} disagreements")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
