#!/usr/bin/env python3
"""Holds docs/messages.md, the technician's guide, to what the updater prints.

    messages_guide.py PRINT_CATALOGUE SOURCE_DIR

Every catalogue message needs a section "### ID `MSG_NAME`" whose fenced
blocks show its English and its Chinese text, line by line (blanks at the
end of a line aside). The texts come from the catalogue itself, through
PRINT_CATALOGUE; the names from the message ids in common/print.h. Every
line the logic prints directly (each ConsolePrintf format in app/, link/,
update/, host/ and common/) needs a section "### Direct line `"FORMAT"`",
the format as the source writes it. A section for a message or a direct
line that no longer exists fails too, so the guide cannot drift either way.

A run started while the scanner still burns what a cut run sent (the
scenarios that rerun after a close or a kill in the burn show one) must not
be told to switch the scanner off: every message such a run prints whose
section advises a power cycle needs its own "- **After a cut run:**" entry.
"""
import json
import re
import subprocess
import sys
from pathlib import Path

LOGIC_FOLDERS = ("app", "link", "update", "host", "common")
MESSAGE_HEADING = re.compile(r"^### (\d+) `(MSG_[A-Z0-9_]+)`\s*$")
DIRECT_HEADING = re.compile(r'^### Direct line `"(.*)"`\s*$')
ENUM_ENTRY = re.compile(r"\b(MSG_[A-Z0-9_]+) = (\d+),")
LITERAL = r'"(?:[^"\\\n]|\\.)*"'
PRINTF_CALL = re.compile(r"\bConsolePrintf\s*\(\s*")


def catalogue_texts(program):
    """{(id, language): text} from the catalogue, Chinese decoded from CP950."""
    output = subprocess.run([program], check=True, capture_output=True, text=True).stdout
    texts = {}
    for line in output.splitlines():
        fields = line.split(" ")
        ident, language = int(fields[0]), int(fields[1])
        raw = bytes.fromhex(fields[2] if len(fields) > 2 else "")
        texts[(ident, language)] = raw.decode("cp950" if language == 1 else "ascii")
    return texts


def message_names(source):
    header = (source / "common/print.h").read_text(encoding="utf-8")
    return {int(number): name for name, number in ENUM_ENTRY.findall(header)}


def direct_lines(source):
    """The format of every ConsolePrintf call in the logic, as written."""
    formats, problems = set(), []
    for folder in LOGIC_FOLDERS:
        for path in sorted((source / folder).rglob("*")):
            if path.suffix not in (".cpp", ".h"):
                continue
            code = path.read_text(encoding="utf-8")
            for call in PRINTF_CALL.finditer(code):
                rest = code[call.end():]
                if rest.startswith("const char"):
                    continue  # the declaration and the definition
                literal = re.match(LITERAL, rest)
                if literal is None:
                    problems.append(f"{path.relative_to(source)}: a ConsolePrintf whose format is no literal")
                    continue
                formats.add(literal.group(0)[1:-1])
    return formats, problems


def guide_sections(guide):
    """Message sections by id (name, fenced block lines) and direct lines."""
    messages, directs, problems = {}, set(), []
    current = None
    in_block = False
    for number, line in enumerate(guide.splitlines(), 1):
        if line.startswith("```"):
            in_block = not in_block
            if current is not None and in_block:
                current[1].append([])
            continue
        if in_block:
            if current is not None:
                current[1][-1].append(line.rstrip())
            continue
        if line.startswith("#"):
            current = None
            heading = MESSAGE_HEADING.match(line)
            direct = DIRECT_HEADING.match(line)
            if heading:
                ident = int(heading.group(1))
                if ident in messages:
                    problems.append(f"line {number}: a second section for message {ident}")
                current = (heading.group(2), [])
                messages[ident] = current
            elif direct:
                directs.add(direct.group(1))
    return messages, directs, problems


CUT_RUN_ENTRY = "- **After a cut run:**"
POWER_CYCLE_ADVICE = re.compile(r"off and\s+on|power-cycle", re.IGNORECASE)
MODE_LINE = re.compile(r"^-?\d+$")
CUT_ENDINGS = ("close", "logoff", "shutdown", "killed")


def section_bodies(guide):
    """Each message section's prose, by id."""
    bodies, current = {}, None
    for line in guide.splitlines():
        if line.startswith("#"):
            heading = MESSAGE_HEADING.match(line)
            current = int(heading.group(1)) if heading else None
            if current is not None:
                bodies[current] = []
            continue
        if current is not None:
            bodies[current].append(line)
    return {ident: "\n".join(lines) for ident, lines in bodies.items()}


def runs_beside_a_cut_burn(source):
    """The console of every scenario run that started after a run cut short
    once its image had gone, and gave no service back: it found the burn."""
    consoles = []
    for scenario in sorted((source / "scenarios").glob("*.json")):
        text = "\n".join(line for line in scenario.read_text(encoding="utf-8").splitlines()
                         if not line.lstrip().startswith("//"))
        runs = json.loads(text).get("expect", {}).get("runs", [])
        if len(runs) < 2:
            continue
        # The English texts are ASCII; a Chinese run's bytes never match them.
        out = scenario.with_suffix(".out").read_bytes().decode("ascii", errors="replace")
        blocks, current = [], None
        for line in out.split("\n"):
            if MODE_LINE.match(line):
                current = []
                blocks.append(current)
            if current is not None:
                current.append(line)
        cut = False
        for run, block in zip(runs, blocks):
            console = "\n".join(block)
            if cut and "Start WIA service..." not in console:
                consoles.append((scenario.name, console))
            cut = run.get("ended_by") in CUT_ENDINGS and run.get("downloads", 0) >= 1
    return consoles


def cut_run_problems(source, texts, bodies):
    problems = []
    for scenario, console in runs_beside_a_cut_burn(source):
        for (ident, language), text in sorted(texts.items()):
            shown = text.strip()
            if language != 0 or not shown or shown not in console:
                continue
            body = bodies.get(ident, "")
            if POWER_CYCLE_ADVICE.search(body) and CUT_RUN_ENTRY not in body:
                problems.append(f"message {ident} is printed beside a cut run's burn ({scenario}) and "
                                f"advises a power cycle without an \"{CUT_RUN_ENTRY}\" entry")
    return problems


def shown_in(text, blocks):
    """True when the text's lines stand one after another in one block."""
    lines = [line.rstrip() for line in text.split("\n")]
    if lines and lines[-1] == "":
        lines.pop()
    if not any(lines):
        return True  # line ends alone: empty lines, the section says so
    for block in blocks:
        for start in range(len(block) - len(lines) + 1):
            if block[start:start + len(lines)] == lines:
                return True
    return False


def main():
    program, source = sys.argv[1], Path(sys.argv[2])
    guide_path = source / "docs/messages.md"
    texts = catalogue_texts(program)
    names = message_names(source)
    formats, problems = direct_lines(source)
    messages, directs, guide_problems = guide_sections(guide_path.read_text(encoding="utf-8"))
    problems += guide_problems

    ids = sorted({ident for ident, _ in texts})
    if sorted(names) != ids:
        problems.append(f"common/print.h names ids {sorted(names)}, the catalogue holds {ids}")
    for ident in ids:
        section = messages.get(ident)
        if section is None:
            problems.append(f"message {ident} ({names.get(ident)}) has no section")
            continue
        name, blocks = section
        if name != names.get(ident):
            problems.append(f"message {ident}: the section says {name}, common/print.h {names.get(ident)}")
        for language, label in ((0, "English"), (1, "Chinese")):
            if not shown_in(texts[(ident, language)], blocks):
                problems.append(f"message {ident} ({name}): the {label} text is not shown: "
                                f"{texts[(ident, language)]!r}")
    for ident in sorted(set(messages) - set(ids)):
        problems.append(f"a section for message {ident}, which the catalogue does not hold")
    for missing in sorted(formats - directs):
        problems.append(f'direct line "{missing}" has no section')
    for stale in sorted(directs - formats):
        problems.append(f'a section for direct line "{stale}", which the code no longer prints')

    problems += cut_run_problems(source, texts, section_bodies(guide_path.read_text(encoding="utf-8")))

    for problem in problems:
        print(f"FAIL docs/messages.md: {problem}")
    if not problems:
        print(f"docs/messages.md: {len(ids)} messages in both languages and {len(formats)} direct lines")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
