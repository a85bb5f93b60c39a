#!/usr/bin/python3
"""What font files declare, read with fontTools, as the catalogue should
carry it.

  font_facts.py facts LANGS FILE...   prints {path: [record, ...]} as JSON
  font_facts.py restyle SRC DST FAMILY [WEIGHT WIDTH]
                                      copies an sfnt font under a new family,
                                      optionally with new weight/width classes
  font_facts.py probes SRC DIR        writes copies of SRC named "Probe W<weight>S<width>"
                                      declaring weight classes 100..900 and width
                                      classes 1..9 (every width at 400, widths 1, 5
                                      and 9 at the other weights)
  font_facts.py translate SRC DST FAMILY STYLE
                                      copies an sfnt font with its family and style
                                      names in Chinese (Taiwan), German and British
                                      English only
  font_facts.py collect DST SRC...    writes the sfnt fonts SRC as one collection

LANGS is a comma list of language tags in order of preference ("ja-jp,ja"),
or "-" for none. Faces that carry no outlines (bitmap-only) and files fontTools
cannot read as sfnt or Type 1 (PCF) are left out, as the catalogue leaves out
bitmap faces. Names follow the typographic family/subfamily when present.
"""
import json
import re
import sys

from fontTools.ttLib import TTCollection, TTFont
from fontTools import t1Lib

WINDOWS_LANG = {
    0x0409: "en", 0x0809: "en", 0x0411: "ja", 0x0804: "zh-cn", 0x0404: "zh-tw",
    0x0c04: "zh-hk", 0x1004: "zh-sg", 0x1404: "zh-mo", 0x0412: "ko",
}


def snap_weight(w):
    if w < 10:
        w *= 100
    w = min(max(w, 100), 900)
    low = int(w // 100) * 100
    frac = w - low
    if frac < 50:
        return low
    if frac > 50:
        return low + 100
    return low if low >= 400 else low + 100


def names(font, ids):
    """(name, lang) pairs for the first of `ids` the font has, English first."""
    table = font["name"]
    for name_id in ids:
        found = []
        for rec in table.names:
            if rec.nameID != name_id or rec.platformID != 3:
                continue
            try:
                text = rec.toUnicode()
            except UnicodeDecodeError:
                continue
            # fontconfig drops surrounding white space from names.
            found.append((text.strip(), WINDOWS_LANG.get(rec.langID, "?%x" % rec.langID)))
        if found:
            found.sort(key=lambda p: p[1] != "en")
            return found
    return []


def pick(pairs, langs):
    for want in langs:
        for text, lang in pairs:
            if lang == want:
                return text
    for want in langs:
        for text, lang in pairs:
            if lang.startswith(want + "-"):
                return text
    return pairs[0][0]


def record(family, style, postscript, weight, stretch, italic, langs):
    r = {
        "family": family[0][0], "style": style[0][0], "postscript": postscript,
        "weight": weight, "stretch": stretch, "italic": italic,
    }
    lf, ls = pick(family, langs), pick(style, langs)
    if lf != r["family"] or ls != r["style"]:
        r["localizedFamily"], r["localizedStyle"] = lf, ls
    return r


def sfnt_records(font, langs):
    if "CFF " not in font and "CFF2" not in font and font["maxp"].numGlyphs > 0 and (
            "glyf" not in font or len(font.reader["loca"]) <= 4):
        return []  # bitmap-only: strikes without outlines
    family = names(font, [16, 1])
    style = names(font, [17, 2])
    os2 = font["OS/2"] if "OS/2" in font else None
    fs = os2.fsSelection if os2 else 0
    mac = font["head"].macStyle
    if "fvar" not in font:
        italic = bool(fs & 1 or fs & (1 << 9) or mac & 2
                      or re.search("italic|oblique", style[0][0], re.I))
        weight = snap_weight(os2.usWeightClass if os2 else 400)
        stretch = min(max(os2.usWidthClass if os2 else 5, 1), 9)
        return [record(family, style, font["name"].getDebugName(6), weight, stretch, italic,
                       langs)]
    # The instance at the default coordinates is the font itself, under its
    # own names; the others follow in their order.
    defaults = {a.axisTag: a.defaultValue for a in font["fvar"].axes}
    instances = sorted(font["fvar"].instances, key=lambda i: i.coordinates != defaults)
    out = []
    prefix = font["name"].getDebugName(25) or font["name"].getDebugName(6)
    for inst in instances:
        if inst.coordinates == defaults:
            weight = snap_weight(inst.coordinates.get("wght", 400))
            italic = bool(fs & 1 or re.search("italic|oblique", style[0][0], re.I))
            out.append(record(family, style, font["name"].getDebugName(6), weight, 5, italic,
                              langs))
            continue
        sub = [(r.toUnicode(), WINDOWS_LANG.get(r.langID, "?")) for r in font["name"].names
               if r.nameID == inst.subfamilyNameID and r.platformID == 3]
        sub.sort(key=lambda p: p[1] != "en")
        if inst.postscriptNameID not in (None, 0xFFFF):
            ps = font["name"].getDebugName(inst.postscriptNameID)
        else:
            ps = prefix + "-" + re.sub("[^A-Za-z0-9]", "", sub[0][0])
        coords = inst.coordinates
        weight = snap_weight(coords.get("wght", os2.usWeightClass if os2 else 400))
        italic = bool(coords.get("ital", 0) or coords.get("slnt", 0)
                      or re.search("italic|oblique", sub[0][0], re.I))
        out.append(record(family, sub, ps, weight, 5, italic, langs))
    return out


def type1_records(path, langs):
    font = t1Lib.T1Font(path)
    font.parse()
    info = font.font["FontInfo"]
    family = info["FamilyName"]
    full = info.get("FullName", "")
    style = full[len(family):].strip(" -") if full.startswith(family) else ""
    style = style or info.get("Weight", "") or "Regular"
    weights = {"thin": 100, "extralight": 200, "light": 300, "book": 400, "regular": 400,
               "roman": 400, "medium": 500, "demi": 600, "demibold": 600, "semibold": 600,
               "bold": 700, "extrabold": 800, "black": 900, "heavy": 900}
    weight = weights.get(info.get("Weight", "regular").lower().replace(" ", ""), 400)
    italic = bool(info.get("ItalicAngle", 0)) or bool(re.search("italic|oblique", style, re.I))
    return [record([(family, "en")], [(style, "en")], font.font["FontName"], weight, 5, italic,
                   langs)]


def facts(langs, paths):
    catalogue = {}
    for path in sorted(paths, key=lambda p: p.encode("utf-8", "surrogateescape")):
        with open(path, "rb") as f:
            head = f.read(4)
        if head == b"ttcf":
            fonts = TTCollection(path).fonts
        elif head in (b"\0\1\0\0", b"OTTO", b"true"):
            fonts = [TTFont(path)]
        elif head[:2] == b"%!" or head[:1] == b"\x80":
            catalogue[path] = type1_records(path, langs)
            continue
        else:
            continue  # PCF, BDF: bitmap formats
        records = [r for font in fonts for r in sfnt_records(font, langs)]
        if records:
            catalogue[path] = records
    return catalogue


def restyle(src, dst, family, weight=None, width=None):
    font = TTFont(src)
    if weight is not None:
        font["OS/2"].usWeightClass = int(weight)
        font["OS/2"].usWidthClass = int(width)
    for rec in font["name"].names:
        if rec.nameID in (1, 16):
            rec.string = family
        elif rec.nameID in (4,):
            rec.string = family + " Regular"
        elif rec.nameID == 6:
            rec.string = re.sub("[^A-Za-z0-9-]", "", family) + "-Regular"
    font.save(dst)


def translate(src, dst, family, style):
    """Family and style names in Chinese (Taiwan), German and British English
    only, with their Windows language ids: fontconfig reads the English ones
    last."""
    font = TTFont(src)
    name = font["name"]
    name.names = [r for r in name.names if r.nameID not in (1, 2, 4, 16, 17)]
    for lang, suffix in ((0x0404, " zh"), (0x0407, " de"), (0x0809, "")):
        name.setName(family + suffix, 1, 3, 1, lang)
        name.setName(style + suffix, 2, 3, 1, lang)
    font.save(dst)


def collect(dst, srcs):
    collection = TTCollection()
    collection.fonts = [TTFont(src) for src in srcs]
    collection.save(dst)


if __name__ == "__main__":
    if sys.argv[1] == "facts":
        langs = [] if sys.argv[2] == "-" else sys.argv[2].split(",")
        json.dump(facts(langs, sys.argv[3:]), sys.stdout, ensure_ascii=False, sort_keys=True)
    elif sys.argv[1] == "probes":
        for weight in range(100, 1000, 100):
            for width in (range(1, 10) if weight == 400 else (1, 5, 9)):
                name = "W%dS%d" % (weight, width)
                restyle(sys.argv[2], "%s/%s.ttf" % (sys.argv[3], name), "Probe " + name,
                        weight, width)
    elif sys.argv[1] == "restyle":
        restyle(*sys.argv[2:])
    elif sys.argv[1] == "translate":
        translate(*sys.argv[2:])
    elif sys.argv[1] == "collect":
        collect(sys.argv[2], sys.argv[3:])
    else:
        sys.exit(2)
