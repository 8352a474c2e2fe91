#!/usr/bin/env python3
"""The demo maker's material, for morvindex-publish to publish.

    make_catalogue.py MATERIAL SITE PROGRAM [NAME=BUILD ...]

Writes a build folder per program and package into the folder MATERIAL (every
program folder ships PROGRAM, the demo program, under its program's name),
and the pictures and change logs into the site folder SITE. To the site's
sw_index.dat (made by "morvindex-publish init") it adds, for every program
that has no section yet, the keys the tool leaves to the maker: DESCR,
REL_DATE, THUMB and CHANGELOG_FILE; "morvindex-publish add" keeps them.

Prints one line per build to publish, tab-separated:
    package NAME BUILD FOLDER
    program NAME BUILD FOLDER TITLE CATEGORY DEPS
Without NAME=BUILD arguments every program and package at its first build;
with them only those programs, at the builds given."""
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
from make_images import Canvas, circle, rounded_square, bar  # noqa: E402

PROGRAMS = [
    # name, title, category, build, colour, dependencies
    ("QBMAP", "Mappe catastali e visure", "Cartografia", 41, (46, 125, 50), "GDALRT"),
    ("TOPOCAD", "Disegno topografico", "Cartografia", 17, (21, 101, 192), "GDALRT,VCRT"),
    ("PREVENTIVI", "Preventivi e computi metrici", "Contabilità", 8, (230, 81, 0), "VCRT"),
    ("FATTURE", "Fatturazione elettronica", "Contabilità", 112, (106, 27, 154), ""),
    ("BACKUPPRO", "Copie di sicurezza dei progetti", "Utilità", 5, (69, 90, 100), ""),
]
PACKAGES = [("GDALRT", "Librerie cartografiche", 3), ("VCRT", "Runtime di sistema", 14)]


def thumbnail(colour):
    # Twice the list's 48 x 48 cell: sharp up to 200 % display scaling.
    c = Canvas(96)
    c.fill(rounded_square(0.06, 0.2), (*colour, 255))
    c.fill(circle(0.5, 0.42, 0.2), (255, 255, 255, 235))
    c.fill(bar(0.22, 0.78, 0.72, 0.8), (255, 255, 255, 200))
    return c.png()


def write(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data if isinstance(data, bytes) else data.encode("utf-8"))


def program_folder(folder, name, build, program, previous=None):
    files = {
        f"{name}.exe": program,
        "build.txt": f"{build}\r\n",
        f"leggimi_{name.lower()}.txt": f"{name}, build {build}: programma dimostrativo di MorvIndex.\r\n",
        f"dati/{name.lower()}.ini": "[GENERALE]\r\nLINGUA=it\r\n",
    }
    for relative, data in files.items():
        # A file the new build leaves as it was keeps its time, as a build
        # system leaves it: an update then has only the others to fetch.
        data = data if isinstance(data, bytes) else data.encode("utf-8")
        old = previous / relative if previous else None
        if old and old.is_file() and old.read_bytes() == data:
            (folder / relative).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(old, folder / relative)
        else:
            write(folder / relative, data)


def package_folder(folder, name, build):
    write(folder / name.lower() / f"{name.lower()}.dll", f"demo package {name}, build {build}\r\n")
    write(folder / name.lower() / "versione.txt", f"{build}\r\n")


def main():
    material = Path(sys.argv[1])
    site = Path(sys.argv[2])
    program = Path(sys.argv[3]).read_bytes()
    builds = dict(arg.split("=", 1) for arg in sys.argv[4:])
    index = site / "sw_index.dat"
    text = index.read_bytes().decode("utf-8")
    plan = []
    if not builds:
        for name, title, build in PACKAGES:
            folder = material / "deps" / name
            package_folder(folder, name, build)
            plan.append(["package", name, str(build), str(folder)])
    for name, title, category, build, colour, deps in PROGRAMS:
        if builds and name not in builds:
            continue
        build = int(builds.get(name, build))
        folder = material / f"{name}_{build}"
        earlier = sorted((p for p in material.glob(f"{name}_*") if int(p.name.rsplit("_", 1)[1]) < build),
                         key=lambda p: int(p.name.rsplit("_", 1)[1]))
        program_folder(folder, name, build, program, earlier[-1] if earlier else None)
        write(site / "img" / f"{name.lower()}.png", thumbnail(colour))
        write(site / name / "changelog.txt", f"Build {build}: correzioni e miglioramenti.\r\n")
        if f"\r\n[{name}]\r\n" not in text:
            text += "\r\n".join(["", f"[{name}]", f"DESCR={title}: programma dimostrativo.", "REL_DATE=01/12/2026",
                                 f"THUMB=img/{name.lower()}.png", f"CHANGELOG_FILE={name}/changelog.txt", ""])
        plan.append(["program", name, str(build), str(folder), title, category, deps])
    index.write_bytes(text.encode("utf-8"))
    for line in plan:
        print("\t".join(line))


if __name__ == "__main__":
    main()
