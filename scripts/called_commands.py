#!/usr/bin/env python3
"""Prints the commands that the project's scripts call, one per line, with where each is first called.

    scripts/called_commands.py [ROOT]

Reads the shell scripts (the first word of every simple command, and the command that a wrapper such as
timeout, xvfb-run, unshare, chroot or env runs), the Python driver's subprocess calls and the C++ sources'
QProcess starts. Builtins, keywords, the scripts' own functions, variables and paths (the project's own files)
are left out. The fresh stage checks that each one is installed by the install step or comes with a minimal
Debian, so that a tool the suite calls but nobody installs fails there on any machine.
"""
import os
import re
import subprocess
import sys

SHELL_WORDS = set("""
if then else elif fi for in do done while until case esac function select return local export declare readonly
set shift unset trap wait eval exit break continue source . : true false echo printf read cd pwd test [ let
kill mapfile readarray type command getopts ulimit umask alias hash jobs builtin compgen pushd popd disown fg bg
shopt complete time !
""".split())
# Commands (and the scripts' own functions) that run another command after their options and a number of
# arguments of their own.
WRAPPERS = {
    "timeout": (1, {"-s", "-k", "--signal", "--kill-after"}),
    "xvfb-run": (0, {"-s", "-n", "-f", "-e", "-p", "--server-args", "--server-num", "--auth-file", "--error-file"}),
    "unshare": (0, set()),
    "chroot": (1, set()),
    "env": (0, {"-C", "-u", "--chdir", "--unset"}),
    "nohup": (0, set()),
    "nice": (0, {"-n"}),
    "exec": (0, set()),
    "time": (0, set()),
    "dbus-run-session": (0, {"--config-file", "--dbus-daemon"}),
    "check": (1, set()),
    "wait_until": (1, set()),
    "not": (0, set()),
}
SHELLS = {"sh", "bash"}
ASSIGNMENT = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*(\[[^]]*\])?\+?=")
NAME = re.compile(r"^[A-Za-z][A-Za-z0-9._+-]*$")
SEPARATORS = {";", ";;", "&", "&&", "|", "||", "\n", "(", ")", "$(", "`", "{", "}", "do", "then", "else", "elif"}


def tokens(text):
    """Shell words and separators, as (word, line). A quoted word keeps its text; a word that was quoted
    whole with single quotes is marked by a leading NUL so that sh -c scripts can be read again."""
    out, i, line, n = [], 0, 1, len(text)
    heredocs = []
    word, quoted_whole, start_line = None, False, 1

    def flush():
        nonlocal word, quoted_whole
        if word is not None:
            out.append(("\0" + word if quoted_whole else word, start_line))
        word, quoted_whole = None, False

    def add(ch):
        nonlocal word, start_line
        if word is None:
            word, start_line = "", line
        word += ch

    while i < n:
        ch = text[i]
        if ch == "\n":
            flush()
            out.append(("\n", line))
            line += 1
            i += 1
            for tag in heredocs:  # skip each pending here-document's body
                while i < n:
                    end = text.find("\n", i)
                    end = n if end < 0 else end
                    body_line = text[i:end]
                    i = end + 1
                    line += 1
                    if body_line.strip() == tag:
                        break
            heredocs = []
            continue
        if ch in " \t":
            flush()
            i += 1
        elif ch == "\\" and i + 1 < n:
            if text[i + 1] == "\n":
                line += 1
            else:
                add(text[i + 1])
            i += 2
        elif ch == "#" and word is None:
            while i < n and text[i] != "\n":
                i += 1
        elif ch == "'":
            end = text.find("'", i + 1)
            end = n if end < 0 else end
            whole = word is None
            add(text[i + 1:end])
            line += text.count("\n", i, end)
            quoted_whole = whole and (end + 1 >= n or text[end + 1] in " \t\n;)")
            i = end + 1
        elif ch == '"':
            # Text in double quotes is one word; command substitutions inside it are read as code.
            j = i + 1
            if word is None:
                word, start_line = "", line
            while j < n and text[j] != '"':
                if text[j] == "\\":
                    word += text[j:j + 2]
                    j += 2
                    continue
                if text.startswith("$(", j) and not text.startswith("$((", j):
                    depth, k = 1, j + 2
                    while k < n and depth:
                        depth += {"(": 1, ")": -1}.get(text[k], 0)
                        k += 1
                    out.append(("$(", line))
                    for token in tokens(text[j + 2:k - 1]):
                        out.append((token[0], line + token[1] - 1))
                    out.append(("\n", line))
                    word += "$(...)"
                    j = k
                    continue
                if text[j] == "\n":
                    line += 1
                word += text[j]
                j += 1
            i = j + 1
        elif text.startswith("<<", i) and not text.startswith("<<<", i):
            flush()
            match = re.match(r"<<-?\s*['\"]?([A-Za-z_]+)['\"]?", text[i:])
            if match:
                heredocs.append(match.group(1))
                i += match.end()
            else:
                i += 2
        elif text.startswith("$((", i) or (text.startswith("((", i) and word is None):
            depth, k = 0, i + 1 if ch == "$" else i
            while k < n:
                depth += {"(": 1, ")": -1}.get(text[k], 0)
                k += 1
                if depth == 0:
                    break
            add("0")
            i = k
        elif text.startswith("$(", i):
            flush()
            out.append(("$(", line))
            i += 2
        elif text.startswith("=(", i) and word is not None:
            # An array's elements are words, not commands.
            depth, k = 0, i + 1
            while k < n:
                depth += {"(": 1, ")": -1}.get(text[k], 0)
                if text[k] == "\n":
                    line += 1
                k += 1
                if depth == 0:
                    break
            add("=()")
            i = k
        elif text.startswith("&&", i) or text.startswith("||", i) or text.startswith(";;", i):
            flush()
            out.append((text[i:i + 2], line))
            i += 2
        elif ch in ";&|()`":
            flush()
            out.append((ch, line))
            i += 1
        elif ch in "<>" and word is None or ch in "<>":
            flush()
            i += 1
            while i < n and text[i] in "&>=":
                i += 1
            while i < n and text[i] in " \t":
                i += 1
            # The redirection's target is not a command.
            while i < n and text[i] not in " \t\n;&|()":
                i += 1
        else:
            add(ch)
            i += 1
    flush()
    return out


def commands_in(words):
    """The commands one simple command runs: its own, and those its wrappers run. Yields (name, script):
    script is the text of an sh -c argument to read again."""
    i = 0
    while i < len(words):
        word = words[i].lstrip("\0")
        if ASSIGNMENT.match(word):
            compiler = re.match(r"^(CC|CXX)=([A-Za-z][A-Za-z0-9._+-]*)$", word)
            if compiler:  # the build runs it
                yield compiler.group(2), None
            i += 1
            continue
        if re.match(r"^\$\{[A-Za-z_]+\[@\]\}$", word):  # an array of wrapper words, possibly empty
            i += 1
            continue
        if word in ("if", "elif", "while", "until", "!"):
            i += 1
            continue
        if word in ("[[", "case"):
            return
        if "/" in word or not NAME.match(word) or (word in SHELL_WORDS and word not in WRAPPERS):
            return
        if word not in SHELL_WORDS and word != "exec":
            yield word, None
        if word in SHELLS and i + 2 < len(words) and words[i + 1] == "-c":
            yield None, words[i + 2].lstrip("\0")
            return
        if word not in WRAPPERS:
            return
        arguments, with_value = WRAPPERS[word]
        i += 1
        while i < len(words) and words[i].startswith("-"):
            option = words[i]
            i += 2 if option in with_value else 1
            if option == "--":
                break
        while i < len(words) and ASSIGNMENT.match(words[i]):
            i += 1
        i += arguments


def shell_commands(path, text, first_line=1):
    functions = set(re.findall(r"^\s*([A-Za-z_][A-Za-z0-9_]*)\s*\(\)\s*\{", text, re.M))
    words, line = [], None

    def scan(words, line):
        for name, script in commands_in(words):
            if name is None:
                yield from shell_commands(path, script, line)
            elif name not in functions:
                yield name, "%s:%d" % (path, line)

    skipping_test = False
    for word, at in tokens(text):
        if skipping_test:
            skipping_test = word != "]]"
            continue
        if word == "[[":
            skipping_test = True
            continue
        if word in SEPARATORS:
            yield from scan(words, line)
            words = []
            continue
        if not words:
            line = at + first_line - 1
        words.append(word)
    yield from scan(words, line)


def python_commands(path, text):
    for match in re.finditer(r"(?:run|Popen|check_output|check_call|call)\(\[\s*\"([\w.+-]+)\"", text):
        yield match.group(1), "%s:%d" % (path, text.count("\n", 0, match.start()) + 1)


def cpp_commands(path, text):
    for match in re.finditer(r"\.start\(\s*\"([\w.+-]+)\"|\bexeclp?\(\s*\"([\w.+-]+)\"", text):
        yield match.group(1) or match.group(2), "%s:%d" % (path, text.count("\n", 0, match.start()) + 1)


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    files = subprocess.run(["git", "-C", root, "ls-files", "scripts", "tests", "bench", ".ci"],
                           stdout=subprocess.PIPE, text=True, check=True).stdout.split()
    first = {}
    for name in files:
        with open(os.path.join(root, name), encoding="utf-8", errors="replace") as f:
            text = f.read()
        if name.endswith(".sh") or text.startswith("#!/usr/bin/env bash") or text.startswith("#!/bin/sh"):
            found = shell_commands(name, text)
        elif name.endswith(".py"):
            found = python_commands(name, text)
        elif name.endswith((".cpp", ".hpp")):
            found = cpp_commands(name, text)
        else:
            continue
        for command, where in found:
            first.setdefault(command, where)
    for command in sorted(first):
        print("%s\t%s" % (command, first[command]))


if __name__ == "__main__":
    main()
