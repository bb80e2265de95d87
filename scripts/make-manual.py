#!/usr/bin/env python3
"""Writes the command sections of tq's manual page from the commands' own
--help, so that the page, the help and the program never disagree.

usage: make-manual.py TQ PAGE [--check [--readme README]]

The page keeps its hand-written parts; what lies between the lines
'.\\" begin synopsis' and '.\\" end synopsis' (every command's usage) and
between '.\\" begin commands' and '.\\" end commands' (one subsection a
command) is made anew from `TQ --help` and `TQ CMD --help`.
With --check nothing is written: the exit status is 1 when PAGE is not what
it would be, with a diff on standard error, or when README's table of
commands lacks one that `tq --help` lists.
"""
import difflib
import re
import subprocess
import sys

REGIONS = ('synopsis', 'commands')


def roff(text):
    """Text for a roff line: backslashes and hyphens as roff wants them."""
    text = text.replace('\\', '\\e').replace('-', '\\-')
    return '\\&' + text if text.startswith(('.', "'")) else text


def help_of(tq, *args):
    return subprocess.run([tq, *args, '--help'], check=True, capture_output=True, text=True).stdout


def commands(tq):
    listing = help_of(tq).split('commands:\n', 1)[1]
    return [re.match(r'\s+(\S+)\s+(.*)', line).groups() for line in listing.splitlines() if line.strip()]


def parse(text):
    """(usage lines, about lines, [(option, help)], footer lines) of a --help."""
    lines = text.splitlines()
    usage = [lines[0][len('usage: '):]]
    at = 1
    while at < len(lines) and lines[at].startswith(' '):
        usage.append(lines[at][len('usage: '):])  # indented under the command
        at += 1
    about = []
    while at < len(lines) and lines[at] != 'Options:':
        about.append(lines[at])
        at += 1
    options = []
    at += 1
    while at < len(lines) and lines[at].startswith(' '):
        line = lines[at]
        if line.startswith(' ' * 22) and options:
            options[-1][1] += ' ' + line.strip()
        elif len(line) > 22 and line[22] != ' ' and line[:22].strip():
            options.append([line[:22].strip(), line[22:].strip()])
        else:
            options.append([line.strip(), ''])
        at += 1
    return usage, about, options, lines[at:]


def paragraph(lines):
    """Prose as filled text; lines indented by two spaces stay as they are."""
    out, verbatim = [], False
    for line in lines:
        literal = line.startswith('  ')
        if literal != verbatim:
            out += ['.RS', '.nf'] if literal else ['.fi', '.RE']
            verbatim = literal
        out.append(roff(line.strip() if literal else line))
    if verbatim:
        out += ['.fi', '.RE']
    return out


def option_tag(option):
    words = option.split(' ', 1)
    names = roff(words[0].rstrip(','))
    if ', ' in option:  # "-h, --help", "-o, --output OUT"
        first, rest = option.split(', ', 1)
        words = rest.split(' ', 1)
        names = roff(first) + ', ' + roff(words[0])
    tag = '.B ' + names if len(words) == 1 else '.BI "' + names + ' " ' + roff(words[1])
    return tag


def generate(tq):
    """The lines of each region, by name."""
    synopsis = ['.SH SYNOPSIS', '.B tq', '.I COMMAND', '.RI [ OPTIONS ]', '.br', '.B tq',
                '.BR \\-\\-help " | " \\-\\-version', '.PP', '.nf']
    sections = ['.SH COMMANDS']
    for name, summary in commands(tq):
        usage, about, options, footer = parse(help_of(tq, name))
        synopsis.extend(roff(line) for line in usage)
        sections += ['.SS tq ' + name, roff(summary[0].upper() + summary[1:]) + '.', '.PP', '.nf']
        sections.extend(roff(line) for line in usage)
        sections += ['.fi', '.PP']
        sections += paragraph(about)
        for option, text in options:
            sections += ['.TP', option_tag(option), roff(text)]
        if footer:
            sections.append('.PP')
            sections += paragraph(footer)
    synopsis.append('.fi')
    return {'synopsis': synopsis, 'commands': sections}


def main():
    args = [a for a in sys.argv[1:] if a != '--check']
    readme = None
    if '--readme' in args:
        at = args.index('--readme')
        readme = args[at + 1]
        del args[at:at + 2]
    if len(args) != 2:
        sys.exit(__doc__)
    tq, page = args
    if readme is not None:
        text = open(readme, encoding='utf-8').read()
        missing = [name for name, _ in commands(tq) if '| `tq ' + name not in text]
        if missing:
            sys.stderr.write(readme + ': no row in the table of commands for ' + ', '.join(missing) + '\n')
            return 1
    old = open(page, encoding='utf-8').read().splitlines()
    made = generate(tq)
    new = old
    for region in REGIONS:
        begin, end = '.\\" begin ' + region, '.\\" end ' + region
        if begin not in new or end not in new:
            sys.exit(page + ': no ' + begin + ' ... ' + end + ' lines')
        start, stop = new.index(begin), new.index(end)
        new = new[:start + 1] + made[region] + new[stop:]
    if '--check' not in sys.argv:
        with open(page, 'w', encoding='utf-8') as f:
            f.write('\n'.join(new) + '\n')
        return 0
    if new == old:
        return 0
    sys.stderr.writelines(difflib.unified_diff([l + '\n' for l in old], [l + '\n' for l in new], page,
                                               page + ' (from --help)'))
    sys.stderr.write('the manual is not current: run scripts/make-manual.py ' + tq + ' ' + page + '\n')
    return 1


if __name__ == '__main__':
    sys.exit(main())
