#!/usr/bin/env python3
"""Checks that the includes of the library and the programs run one way, down the layers.

    include_direction.py SOURCE_DIR           check the tree; exit 1 naming every include that
                                              breaks a rule (file:line), 0 when none does
    include_direction.py --plants SOURCE_DIR  check that the checker catches each planted
                                              include of its table in a scratch copy of the tree

Every folder of the library and the programs has a layer (LAYERS, lowest first). A file may
include files of its own folder and of lower layers, never of a higher layer nor of another folder
of its own layer: the subsystems of one layer do not know each other. Public headers (".h") are
included by their bare name, as they are installed; internal headers as "<folder>/<name>.hpp".
Nothing includes identity_common.h, the umbrella a consumer outside the tree includes, and the
programs include nothing of the library but its public headers; public headers include public
headers only, since nothing else is installed. A folder with a CMakeLists.txt that the table
does not place fails the check, so that a new subsystem gets its layer when it is added. Tests,
fuzz targets and benchmarks may reach inside the library and are not checked.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

# Lowest first. Folders on one line are one layer.
LAYERS = [
    ("crypto", "cgi"),                                  # primitives and the CGI helpers
    ("foundation",),                                    # configuration, documents, locks, log
    ("request", "keys"),                                # parameters read through the JSON parser;
                                                        # the key store saves through the foundation
    ("clients", "consent", "signin", "audit", "tokens"),  # the stores, independent of each other
    ("accounts",),                                      # deleting a user ends its grants in tokens.json
    ("jwt",),                                           # signs through the keys
    ("programs",),                                      # the CGI programs and programs/web
]
RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
LIBRARY = [folder for folder in RANK if folder != "programs"]
UMBRELLA = "include/identity_common.h"
NOT_CHECKED = {"tests", "fuzz", "bench"}
SOURCES = (".c", ".cpp", ".h", ".hpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def product_files(root):
    for folder in list(RANK) + ["include"]:
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, folder)):
            dirnames.sort()
            for name in sorted(filenames):
                if name.endswith(SOURCES):
                    yield os.path.relpath(os.path.join(dirpath, name), root)


def resolve(root, includer, text):
    """The file of the tree `#include "text"` in `includer` opens, searched as the build does:
    the includer's folder, the top of the tree, include/, each library folder, and for the
    programs programs/ itself. None when it names no file of the tree."""
    places = [os.path.dirname(includer), "", "include"] + LIBRARY
    if folder_of(includer) == "programs":
        places.append("programs")
    for place in places:
        candidate = os.path.normpath(os.path.join(place, text))
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def folder_of(path):
    return path.split(os.sep)[0]


def layer_name(folder):
    return "%s (layer %d)" % (folder, RANK[folder])


def problems_of(root, path):
    folder = folder_of(path)
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines, 1):
        match = INCLUDE.match(line)
        if not match:
            continue
        text = match.group(1)
        where = "%s:%d: #include \"%s\"" % (path, number, text)
        target = resolve(root, path, text)
        if target is None:
            yield "%s names no file of the tree" % where
            continue
        if target == UMBRELLA:
            yield "%s: identity_common.h is for consumers outside the tree; include the headers used" % where
            continue
        to = folder_of(target)
        public = target.endswith(".h") and to in LIBRARY
        if path == UMBRELLA:
            if not public:
                yield "%s: the umbrella includes public headers only" % where
            continue
        if path.endswith(".h") and not (public or target.endswith(".h")):
            yield "%s: a public header includes public headers only (it is installed without %s)" % (where, target)
            continue
        if folder == "programs" and to in LIBRARY and not public:
            yield "%s: a program includes an internal header of the library (%s)" % (where, target)
            continue
        if public and text != os.path.basename(target):
            yield "%s: a public header is included by its bare name, \"%s\"" % (where, os.path.basename(target))
        elif to in LIBRARY and not public and text != target:
            yield "%s: an internal header is included as \"%s\"" % (where, target)
        elif to == "programs" and text != os.path.relpath(target, "programs"):
            yield "%s: a header of the programs is included as \"%s\"" % (where, os.path.relpath(target, "programs"))
        if to == folder:
            continue
        if to not in RANK:
            yield "%s: %s is not part of the library or the programs" % (where, target)
        elif RANK[to] > RANK[folder]:
            yield "%s runs upward: %s includes %s" % (where, layer_name(folder), layer_name(to))
        elif RANK[to] == RANK[folder]:
            yield "%s runs sideways: %s and %s are one layer and do not know each other" % (
                where, folder, to)


def unplaced_folders(root):
    for name in sorted(os.listdir(root)):
        if name in RANK or name in NOT_CHECKED or name.startswith("."):
            continue
        if os.path.isfile(os.path.join(root, name, "CMakeLists.txt")):
            yield "%s/: a folder of the build that the layer table of %s does not place" % (
                name, os.path.basename(__file__))


def check(root):
    problems = list(unplaced_folders(root))
    for path in product_files(root):
        problems.extend(problems_of(root, path))
    return problems


def layer_order():
    return " < ".join(" ".join(folders) for folders in LAYERS)


def main_check(root):
    problems = check(root)
    for p in problems:
        print(p)
    if problems:
        print("%d include(s) break the layers: %s" % (len(problems), layer_order()))
        return 1
    print("includes run down the layers: %s" % layer_order())
    return 0


# Each plant puts one include into a file of a scratch copy (after the file's first include) and
# names what the check must then report on that line.
PLANTS = [
    ("foundation/document.hpp", '#include "tokens/token_store.hpp"', "runs upward"),
    ("crypto/tarn_crypto.h", '#include "id_foundation.h"', "runs upward"),
    ("tokens/sessions.cpp", '#include "id_accounts.h"', "runs upward"),
    ("tokens/token_store.hpp", '#include "accounts/users_store.hpp"', "runs upward"),
    ("clients/clients.cpp", '#include "id_consent.h"', "runs sideways"),
    ("keys/key_set.cpp", '#include "request/params.hpp"', "runs sideways"),
    ("accounts/users.cpp", '#include "identity_common.h"', "identity_common.h is for consumers"),
    ("programs/jwks.cpp", '#include "keys/key_store.hpp"', "a program includes an internal header"),
    ("programs/web/page.cpp", '#include "document.hpp"', "a program includes an internal header"),
    ("tokens/id_tokens.h", '#include "tokens/token_store.hpp"', "a public header includes public headers only"),
    ("tokens/sessions.cpp", '#include "token_store.hpp"', "internal header is included as"),
    ("tokens/sessions.cpp", '#include "tokens/id_tokens.h"', "public header is included by its bare name"),
    ("foundation/lock.cpp", '#include "nowhere.hpp"', "names no file of the tree"),
    ("programs/token.cpp", '#include "programs/web/http.hpp"', "a header of the programs is included as"),
]


def copy_tree(root, scratch):
    for name in list(RANK) + ["include"]:
        shutil.copytree(os.path.join(root, name), os.path.join(scratch, name))


def run_checker(scratch):
    done = subprocess.run([sys.executable, os.path.abspath(__file__), scratch], capture_output=True, text=True)
    return done.returncode, done.stdout


def plant(scratch, path, line):
    """Inserts `line` after the first include of `path`; the line number it now has."""
    full = os.path.join(scratch, path)
    with open(full, encoding="utf-8") as f:
        lines = f.read().split("\n")
    first = next(i for i, l in enumerate(lines) if INCLUDE.match(l) or l.startswith("#include"))
    lines.insert(first + 1, line)
    with open(full, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    return first + 2


def main_plants(root):
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        clean = os.path.join(tmp, "clean")
        copy_tree(root, clean)
        code, out = run_checker(clean)
        if code != 0:
            failures.append("the unchanged copy fails the check:\n" + out)
        cases = [(path, line, expected) for path, line, expected in PLANTS]
        cases.append(("admin/CMakeLists.txt", None, "does not place"))
        for n, (path, line, expected) in enumerate(cases):
            scratch = os.path.join(tmp, "plant%d" % n)
            copy_tree(root, scratch)
            if line is None:
                os.makedirs(os.path.dirname(os.path.join(scratch, path)))
                open(os.path.join(scratch, path), "w").close()
                want = os.path.dirname(path) + "/:"
            else:
                want = "%s:%d:" % (path, plant(scratch, path, line))
            code, out = run_checker(scratch)
            reported = [l for l in out.split("\n") if l.startswith(want)]
            if code != 1 or not any(expected in l for l in reported) or len(reported) != 1:
                failures.append("%s planted in %s: exit %d, wanted one line \"%s ... %s\"; got:\n%s" % (
                    line or "a new folder", path, code, want, expected, out))
            else:
                print("caught: %s" % reported[0])
    for f in failures:
        print("FAILED: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    args = sys.argv[1:]
    if len(args) == 2 and args[0] == "--plants":
        sys.exit(main_plants(args[1]))
    if len(args) == 1 and not args[0].startswith("-"):
        sys.exit(main_check(args[0]))
    print(__doc__.strip().split("\n\n")[0], file=sys.stderr)
    sys.exit(2)
