#!/usr/bin/env python3
"""Generates a corpus of documents for the similar-document benchmark.

    similar_docs_corpus.py DIR COUNT [SEED]

Writes COUNT documents of mixed formats (docx, pdf, txt, rtf, md) into DIR,
with texts of 1 KB to 200 KB (log-uniform), and DIR/../truth-<COUNT>.json,
the planted groups (lists of file names). A fifth of the documents are
lightly edited copies of others (a sentence replaced, inserted or removed
about every 1,500 bytes, at least once), often saved in another format; the
rest are unrelated texts over one Zipf-distributed vocabulary, so that
unrelated documents share their common words as real ones do.
"""
import json
import math
import os
import random
import sys
import zipfile
import zlib

FORMATS = [("docx", 35), ("pdf", 30), ("txt", 15), ("rtf", 10), ("md", 10)]


def vocabulary(rng, size=20000):
    letters = "etaoinshrdlcumwfgypbvkjxqz"
    weights = [12, 9, 8, 8, 7, 7, 6, 6, 6, 4, 4, 3, 3, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1]
    words = set()
    while len(words) < size:
        n = min(12, max(2, int(rng.gauss(6, 2))))
        words.add("".join(rng.choices(letters, weights, k=n)))
    words = sorted(words)
    rng.shuffle(words)
    return words


class Writer:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.words = vocabulary(self.rng)
        self.cum = list(__import__("itertools").accumulate(1.0 / (k + 1) ** 1.05 for k in range(len(self.words))))

    def sentence(self):
        n = self.rng.randint(6, 22)
        ws = self.rng.choices(self.words, cum_weights=self.cum, k=n)
        return ws[0].capitalize() + " " + " ".join(ws[1:]) + "."

    def text(self, size):
        paragraphs, total = [], 0
        while total < size:
            p = " ".join(self.sentence() for _ in range(self.rng.randint(2, 7)))
            paragraphs.append(p)
            total += len(p) + 1
        return paragraphs

    def edit(self, paragraphs):
        out = [p.split(". ") for p in paragraphs]
        size = sum(len(p) for p in paragraphs)
        for _ in range(max(1, size // 1500)):
            k = self.rng.randrange(len(out))
            s = self.rng.randrange(len(out[k]))
            what = self.rng.random()
            if what < 0.5:
                out[k][s] = self.sentence().rstrip(".")
            elif what < 0.8:
                out[k].insert(s, self.sentence().rstrip("."))
            elif len(out[k]) > 1:
                del out[k][s]
        return [". ".join(p) for p in out]


def xml_escape(t):
    return t.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def write_docx(path, paragraphs):
    body = "\n".join('<w:p><w:r><w:t xml:space="preserve">%s</w:t></w:r></w:p>' % xml_escape(p)
                     for p in paragraphs)
    doc = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
           '<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">'
           "<w:body>\n%s\n</w:body></w:document>" % body)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml",
                   '<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
                   '<Default Extension="xml" ContentType="application/xml"/>'
                   '<Override PartName="/word/document.xml" ContentType="application/'
                   'vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/></Types>')
        z.writestr("_rels/.rels",
                   '<?xml version="1.0"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
                   '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
                   'relationships/officeDocument" Target="word/document.xml"/></Relationships>')
        z.writestr("word/document.xml", doc)


def wrap(paragraphs, width=95):
    lines = []
    for p in paragraphs:
        line = ""
        for w in p.split(" "):
            if line and len(line) + 1 + len(w) > width:
                lines.append(line)
                line = w
            else:
                line = line + " " + w if line else w
        lines.append(line)
    return lines


def write_pdf(path, paragraphs):
    lines = wrap(paragraphs)
    pages = [lines[i:i + 64] for i in range(0, len(lines), 64)] or [[]]
    objects = []  # bodies; object k+1
    objects.append(b"<</Type/Catalog/Pages 2 0 R>>")
    objects.append(None)  # pages, filled below
    objects.append(b"<</Type/Font/Subtype/Type1/BaseFont/Helvetica/Encoding/WinAnsiEncoding>>")
    kids = []
    for page in pages:
        ops = ["BT /F1 9 Tf 11 TL 40 750 Td"]
        for l in page:
            ops.append("(%s) Tj T*" % l.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)"))
        ops.append("ET")
        data = zlib.compress("\n".join(ops).encode("latin-1"))
        objects.append(b"<</Length %d/Filter/FlateDecode>>stream\n" % len(data) + data + b"\nendstream")
        content = len(objects)
        objects.append(b"<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]"
                       b"/Resources<</Font<</F1 3 0 R>>>>/Contents %d 0 R>>" % content)
        kids.append(len(objects))
    objects[1] = b"<</Type/Pages/Kids[%s]/Count %d>>" % (
        b" ".join(b"%d 0 R" % k for k in kids), len(kids))
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for k, body in enumerate(objects):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % (k + 1) + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for o in offsets:
        out += b"%010d 00000 n \n" % o
    out += b"trailer<</Size %d/Root 1 0 R>>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    with open(path, "wb") as f:
        f.write(out)


def write_rtf(path, paragraphs, rng):
    def esc(t):
        return t.replace("\\", "\\\\").replace("{", "\\{").replace("}", "\\}")
    body = []
    for p in paragraphs:
        ws = esc(p).split(" ")
        if len(ws) > 4 and rng.random() < 0.3:
            k = rng.randrange(len(ws) - 1)
            ws[k] = "{\\b " + ws[k] + "}"
        body.append("\\pard\\sa120 " + " ".join(ws) + "\\par")
    rtf = ("{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\froman Times New Roman;}{\\f1\\fswiss Arial;}}"
           "{\\colortbl;\\red0\\green0\\blue0;}{\\*\\generator Bench 1.0;}"
           "{\\info{\\title Generated}}\\f0\\fs24\n" + "\n".join(body) + "\n}")
    with open(path, "w") as f:
        f.write(rtf)


def write(path, fmt, paragraphs, rng):
    if fmt == "docx":
        write_docx(path, paragraphs)
    elif fmt == "pdf":
        write_pdf(path, paragraphs)
    elif fmt == "rtf":
        write_rtf(path, paragraphs, rng)
    elif fmt == "md":
        with open(path, "w") as f:
            f.write("# Notes\n\n" + "\n\n".join(paragraphs) + "\n")
    else:
        with open(path, "w") as f:
            f.write("\n".join(paragraphs) + "\n")


def main():
    out, count = sys.argv[1], int(sys.argv[2])
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    w = Writer(seed)
    rng = w.rng
    os.makedirs(out, exist_ok=True)
    formats = [f for f, _ in FORMATS]
    weights = [n for _, n in FORMATS]
    copies = count // 5
    originals = count - copies
    texts, groups = [], {}
    names = []
    for i in range(originals):
        size = int(math.exp(rng.uniform(math.log(1000), math.log(200000))))
        texts.append(w.text(size))
        fmt = rng.choices(formats, weights)[0]
        name = "doc%05d.%s" % (i, fmt)
        names.append(name)
        write(os.path.join(out, name), fmt, texts[-1], rng)
    # Copies: mostly one per original, some originals get two.
    sources = rng.sample(range(originals), min(originals, copies * 4 // 5))
    while len(sources) < copies:
        sources.append(rng.choice(sources))
    for c, src in enumerate(sources):
        fmt = rng.choices(formats, weights)[0]
        name = "doc%05d-copy%d.%s" % (src, c, fmt)
        write(os.path.join(out, name), fmt, w.edit(texts[src]), rng)
        groups.setdefault(src, [names[src]]).append(name)
    truth = os.path.join(os.path.dirname(os.path.abspath(out)), "truth-%d.json" % count)
    with open(truth, "w") as f:
        json.dump(sorted(groups.values()), f)


if __name__ == "__main__":
    main()
