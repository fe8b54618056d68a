#!/usr/bin/env python3
"""doc_links_check.py ROOT: every relative link in ROOT/README.md and ROOT/docs/*.md resolves: the
file or folder exists, and a #anchor names a heading of the Markdown file it points into (as
GitHub derives anchors from headings). Links inside code are not links."""
import pathlib
import re
import sys

LINK = re.compile(r"!?\[[^\]]*\]\(([^()\s]+)(?:\s+\"[^\"]*\")?\)")


def prose(text, spans=False):
    """The lines outside fenced code blocks, inline code spans dropped unless `spans`."""
    kept, fenced = [], False
    for line in text.split("\n"):
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        kept.append("" if fenced else line if spans else re.sub(r"(`+).*?\1", "", line))
    return kept


def anchors(path):
    """The anchors of a Markdown file's headings: lower case, punctuation dropped, spaces as
    hyphens, a repeated one numbered -1, -2..."""
    found, seen = set(), {}
    for line in prose(path.read_text(encoding="utf-8"), spans=True):
        heading = re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not heading:
            continue
        slug = re.sub(r"[^\w\- ]", "", heading.group(1).replace("`", "").lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else f"{slug}-{count}")
    return found


def broken_links(document):
    text = "\n".join(prose(document.read_text(encoding="utf-8")))
    for link in LINK.finditer(text):  # a link's text may run over two lines
        target, number = link.group(1), text.count("\n", 0, link.start()) + 1
        if re.match(r"[a-z][a-z0-9+.-]*:", target, re.I):
            continue  # http:, mailto: ...: not ours to check
        name, _, anchor = target.partition("#")
        path = (document.parent / name).resolve() if name else document
        where = f"{document}:{number}: {target}"
        if not path.exists():
            yield f"{where}: no such file"
        elif anchor and (path.suffix != ".md" or anchor not in anchors(path)):
            yield f"{where}: no such heading"

root = pathlib.Path(sys.argv[1])
documents = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
problems = [problem for document in documents for problem in broken_links(document)]
for problem in problems:
    print(problem)
print(f"{len(documents)} documents, {len(problems)} broken links")
sys.exit(1 if problems or len(documents) < 2 else 0)
