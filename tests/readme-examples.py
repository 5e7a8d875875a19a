#!/usr/bin/env python3
"""Runs the README's examples, so that its text cannot drift from what the programs do.

Fenced blocks tagged ``sh example`` run as one shell script each; blocks tagged ``sh serve`` hold
commands that serve until stopped. A block tagged with a language and ``file=NAME`` (``python
file=test_units.py``) is a file the next example uses: it is written to NAME in its directory. In both, a ``build/unit-simulator`` line starts the simulator
in the background (replacing the one before), waits until it says it is ready, and must not end
by itself. Every other command must exit 0, or with N when its comment says ``exit N``, and
print what its comment shows after ``->`` (``...`` stands for anything).

Blocks tagged ``sh container`` run the image as an example block runs commands, but only with
``--container`` (``make image-check``: the image must be built), with ``podman`` given the runtime
and the limits these machines need.

Usage: readme-examples.py README.md BUILD_DIR [--container]
"""
import os
import re
import subprocess
import sys
import tempfile

READY_SECONDS = 10  # how long a simulator may take to say it listens

SHELL_HELPERS = r'''
set -u
server=
stop_server() {
    if [ -n "$server" ]; then kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; server=; fi
}
trap stop_server EXIT
serve() {  # LINE READY_TEXT COMMAND
    local line=$1 ready=$2 command=$3
    stop_server
    # Made here, before the server starts: the wait below may look before the background shell
    # has opened it.
    : >"server-$line.err"
    eval "exec $command" >/dev/null 2>>"server-$line.err" &
    server=$!
    for _ in $(seq $((READY_SECONDS * 20))); do
        grep -q "$ready" "server-$line.err" && return 0
        kill -0 "$server" 2>/dev/null || break
        sleep 0.05
    done
    echo "line $line: the simulator did not say '$ready':" >&2
    cat "server-$line.err" >&2
    echo 1 >"status-$line"
}
podman() {  # the runtime and the limits these machines need (see the README)
    if [ "$1" = run ]; then
        shift
        command podman --runtime runc run --ulimit "nofile=$(ulimit -Hn):$(ulimit -Hn)" --ulimit nproc=4096:4096 "$@"
    else
        command podman --runtime runc "$@"
    fi
}
run() {  # LINE COMMAND
    local line=$1 command=$2
    eval "$command" >"out-$line" 2>&1
    echo $? >"status-$line"
}
'''


def blocks(text):
    """(first line number, tag, lines, files) of each runnable block; files: {NAME: text} of the
    file blocks before it (since the previous runnable block)."""
    found, tag, start, body, files = [], None, 0, [], {}
    for number, line in enumerate(text.splitlines(), 1):
        if tag is None:
            match = re.match(r'^```sh (example|serve|container)\s*$', line)
            named = re.match(r'^```\w+ file=(\S+)\s*$', line)
            if match:
                tag, start, body = match.group(1), number + 1, []
            elif named:
                tag, start, body = 'file:' + named.group(1), number + 1, []
        elif line.startswith('```'):
            if tag.startswith('file:'):
                files[tag[5:]] = '\n'.join(text for _, text in body) + '\n'
            else:
                found.append((start, tag, body, files))
                files = {}
            tag = None
        else:
            body.append((number, line))
    return found


def logical_lines(body):
    """Lines joined where one ends with a backslash, each with the number of its first line."""
    joined, pending, first = [], '', 0
    for number, line in body:
        if not pending:
            first = number
        if line.endswith('\\'):
            pending += line[:-1] + ' '
            continue
        joined.append((first, pending + line))
        pending = ''
    return joined


def split_comment(line):
    match = re.search(r'\s#\s', line)
    if not match:
        return line.strip(), ''
    return line[:match.start()].strip(), line[match.end():].strip()


def ready_text(command):
    if '--control' in command:
        return 'Control API listening on'
    if '--units' in command or '--unit ' in command:
        return 'units listening'
    return 'Discovery port 65535: listening'


def pattern_of(shown):
    return '.*'.join(re.escape(part) for part in shown.split('...'))


def check_block(start, tag, body, files, build_dir):
    # The block runs in a directory of its own, with build/ and examples/ as in the source tree.
    failures = []
    checks = []  # (line, command, expected status, pattern)
    script = ['READY_SECONDS=%d' % READY_SECONDS, SHELL_HELPERS]
    for number, line in logical_lines(body):
        command, comment = split_comment(line)
        if not command:
            continue
        if command.startswith('build/unit-simulator'):
            command = command.rstrip('&').strip()
            script.append('serve %d %s %s' % (number, shq(ready_text(command)), shq(command)))
            checks.append((number, command, None, None))
        elif re.match(r'^[A-Za-z_][A-Za-z0-9_]*=', command):
            script.append(command)
        else:
            status = re.search(r'\bexit (\d+)\b', comment)
            shown = comment.split('->', 1)[1].strip() if '->' in comment else None
            script.append('run %d %s' % (number, shq(command)))
            checks.append((number, command, int(status.group(1)) if status else 0, shown))
    with tempfile.TemporaryDirectory() as work:
        os.symlink(os.path.abspath(build_dir), os.path.join(work, 'build'))
        os.symlink(os.path.join(os.path.dirname(os.path.abspath(sys.argv[1])), 'examples'),
                   os.path.join(work, 'examples'))
        for name, content in files.items():
            with open(os.path.join(work, name), 'w') as out:
                out.write(content)
        result = subprocess.run(['bash', '-c', '\n'.join(script)], cwd=work, capture_output=True, text=True,
                                timeout=300)
        if result.stderr.strip():
            failures.append('block at line %d said:\n%s' % (start, result.stderr.strip()))
        for number, command, status, shown in checks:
            status_file = os.path.join(work, 'status-%d' % number)
            if status is None:  # a simulator: a status file only when it did not become ready
                if os.path.exists(status_file):
                    failures.append('line %d: %s did not start' % (number, command))
                continue
            got = int(open(status_file).read()) if os.path.exists(status_file) else None
            out = open(os.path.join(work, 'out-%d' % number)).read() if got is not None else ''
            if got != status:
                failures.append('line %d: %s exited %s, not %d:\n%s' % (number, command, got, status, out))
            elif shown is not None and not re.search(pattern_of(shown), out, re.S):
                failures.append('line %d: %s printed\n%s\nnot what the README shows:\n%s' % (
                    number, command, out.strip(), shown))
            else:
                print('ok: line %d: %s' % (number, command))
    return failures


def shq(text):
    return "'" + text.replace("'", "'\\''") + "'"


def main():
    readme, build_dir = sys.argv[1], sys.argv[2]
    tags = {'container'} if '--container' in sys.argv[3:] else {'example', 'serve'}
    found = [block for block in blocks(open(readme).read()) if block[1] in tags]
    if not found:
        print('FAIL: no runnable examples found in %s' % readme)
        return 1
    failures = []
    for start, tag, body, files in found:
        failures += check_block(start, tag, body, files, build_dir)
    for failure in failures:
        print('FAIL: ' + failure)
    print('%d blocks, %d failures' % (len(found), len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
