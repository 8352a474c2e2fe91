#!/usr/bin/env python3
"""Writes the demo catalogue site into the folder given as the first argument:
the software index, the server list, a thumbnail and a change log per program,
and a zip archive per program and dependency package. The second argument is
the site's base address (for example http://127.0.0.1:8123/), the third the
demo program that every archive ships under its program's name. Further
arguments NAME=BUILD publish another build of a program."""
import sys
import zipfile
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
    c = Canvas(48)
    c.fill(rounded_square(0.06, 0.2), (*colour, 255))
    c.fill(circle(0.5, 0.42, 0.2), (255, 255, 255, 235))
    c.fill(bar(0.22, 0.78, 0.72, 0.8), (255, 255, 255, 200))
    return c.png()


def archive(path, name, build, program):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(f"{name}.exe", program)
        z.writestr("build.txt", f"{build}\r\n")
        z.writestr(f"leggimi_{name.lower()}.txt", f"{name}, build {build}: programma dimostrativo di MorvIndex.\r\n")
        z.writestr(f"dati/{name.lower()}.ini", "[GENERALE]\r\nLINGUA=it\r\n")


def package(path, name, build):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(f"{name.lower()}/{name.lower()}.dll", f"demo package {name}, build {build}\r\n")
        z.writestr(f"{name.lower()}/versione.txt", f"{build}\r\n")


def main():
    site = Path(sys.argv[1])
    base = sys.argv[2]
    program = Path(sys.argv[3]).read_bytes()
    builds = dict(arg.split("=", 1) for arg in sys.argv[4:])
    sw = site / "software_qel" / "morvindex"
    (sw / "img").mkdir(parents=True, exist_ok=True)
    (sw / "deps").mkdir(parents=True, exist_ok=True)
    lines = ["[PATHS]", f"BASE={base}software_qel/morvindex/", ""]
    for name, title, category, build, colour, deps in PROGRAMS:
        build = int(builds.get(name, build))
        (sw / "img" / f"{name.lower()}.png").write_bytes(thumbnail(colour))
        (sw / name).mkdir(exist_ok=True)
        archive(sw / name / f"{name}_{build}.zip", name, build, program)
        (sw / name / "changelog.txt").write_text(f"Build {build}: correzioni e miglioramenti.\r\n", encoding="utf-8")
        lines += [f"[{name}]", "SW_TYPE=0", f"TITOLO={title}", f"DESCR={title}: programma dimostrativo.",
                  f"BUILD_DISP={build}", "REL_DATE=01/12/2026", f"THUMB=img/{name.lower()}.png",
                  f"CHANGELOG_FILE={name}/changelog.txt", f"TO_EXECUTE={name}.exe", f"CAT={category}",
                  f"DEPS={deps}", ""]
    for name, title, build in PACKAGES:
        package(sw / "deps" / f"{name}.zip", name, build)
        lines += [f"[{name}]", "SW_TYPE=100", f"TITOLO={title}", f"BUILD_DISP={build}", ""]
    (sw / "sw_index.dat").write_bytes("\r\n".join(lines).encode("utf-8"))
    repo = ["[PRINCIPALE]", f"URL={base}software_qel/morvindex/sw_index.dat", "",
            "[RISERVA]", f"URL={base}riserva/sw_index.dat", ""]
    (sw / "sw_repo.dat").write_bytes("\r\n".join(repo).encode("utf-8"))


if __name__ == "__main__":
    main()
