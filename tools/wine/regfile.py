"""Registry editor (.reg) files: read, apply, compare.

A hive is a dict: lower-cased key path (below the root, root name included,
e.g. "hkey_local_machine\\system\\...") -> Key(name, values), where values
maps the lower-cased value name ("" for the default) to (name, type, data).
Data is normalised so that a REGEDIT4 (ANSI) and a version 5 (UTF-16) export
of the same key compare equal: string types as text cut at the first NUL,
REG_MULTI_SZ as a tuple of strings, REG_DWORD as an int, anything else as
bytes.
"""

import re

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 2, 3, 4, 7

V4_HEADER = "REGEDIT4"
V5_HEADER = "Windows Registry Editor Version 5.00"

_ROOTS = {
    "hkey_local_machine": "HKEY_LOCAL_MACHINE",
    "hkey_current_user": "HKEY_CURRENT_USER",
    "hkey_classes_root": "HKEY_CLASSES_ROOT",
    "hkey_users": "HKEY_USERS",
    "hkey_current_config": "HKEY_CURRENT_CONFIG",
}


class RegFileError(ValueError):
    pass


class Key:
    def __init__(self, name):
        self.name = name  # as first spelled
        self.values = {}  # lower-cased value name -> (name, type, data)

    def __repr__(self):
        return "Key(%r, %r)" % (self.name, self.values)


def decode(raw):
    """The text of a .reg file and its version (4 or 5)."""
    if raw.startswith(b"\xff\xfe"):
        text = raw[2:].decode("utf-16-le")
    elif raw.startswith(b"\xef\xbb\xbf"):
        text = raw[3:].decode("utf-8")
    else:
        text = raw.decode("cp1252", errors="replace")
    for line in text.splitlines():
        head = line.strip(" \t")
        if not head:
            continue
        if head == V4_HEADER:
            return text, 4
        if head == V5_HEADER:
            return text, 5
        break
    raise RegFileError("not a registry file (no REGEDIT4 or version 5 header)")


def _unescape(quoted):
    """Body of a quoted .reg string (quotes removed) or None when malformed."""
    out = []
    i = 0
    while i < len(quoted):
        c = quoted[i]
        if c == "\\":
            if i + 1 >= len(quoted) or quoted[i + 1] not in '\\"':
                return None
            out.append(quoted[i + 1])
            i += 2
            continue
        if c == '"':
            return None
        out.append(c)
        i += 1
    return "".join(out)


def _split_quoted(text):
    """(body, rest) for text starting with a quoted string, or None."""
    if not text.startswith('"'):
        return None
    i = 1
    while i < len(text):
        if text[i] == "\\":
            i += 2
            continue
        if text[i] == '"':
            return text[1:i], text[i + 1 :]
        i += 1
    return None


def _strip_comment(text):
    cut = text.find(";")
    return (text[:cut] if cut >= 0 else text).strip(" \t")


def _decode_string_bytes(data, version):
    if version == 5:
        text = data[: len(data) - len(data) % 2].decode("utf-16-le", errors="replace")
    else:
        text = data.decode("cp1252", errors="replace")
    return text


def normalise(kind, data, version):
    """(type, comparable data) for raw value bytes of a hex(N) entry."""
    if kind in (REG_SZ, REG_EXPAND_SZ):
        return kind, _decode_string_bytes(data, version).split("\0")[0]
    if kind == REG_MULTI_SZ:
        parts = _decode_string_bytes(data, version).split("\0")
        while parts and parts[-1] == "":
            parts.pop()
        return kind, tuple(parts)
    if kind == REG_DWORD and len(data) == 4:
        return kind, int.from_bytes(data, "little")
    return kind, bytes(data)


def _parse_data(text, version):
    """(type, data) for the right-hand side of a value line, or None."""
    if text.startswith('"'):
        split = _split_quoted(text)
        if split is None or _strip_comment(split[1]) != "":
            return None
        body = _unescape(split[0])
        if body is None:
            return None
        return REG_SZ, body
    lower = text.lower()
    if lower.startswith("dword:"):
        digits = _strip_comment(text[6:])
        if not re.fullmatch(r"[0-9a-fA-F]{1,8}", digits):
            return None
        return REG_DWORD, int(digits, 16)
    match = re.match(r"hex(?:\(([0-9a-fA-F]{1,8})\))?:", text, re.IGNORECASE)
    if match:
        kind = int(match.group(1), 16) if match.group(1) else REG_BINARY
        body = _strip_comment(text[match.end() :]).replace(" ", "").replace("\t", "")
        if body.endswith(","):
            body = body[:-1]
        if body == "":
            return normalise(kind, b"", version)
        items = body.split(",")
        if not all(re.fullmatch(r"[0-9a-fA-F]{2}", item) for item in items):
            return None
        return normalise(kind, bytes(int(item, 16) for item in items), version)
    return None


def _logical_lines(text):
    """Lines with hex continuations (",\\" at the end) joined."""
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        while _strip_comment(line).endswith(",\\"):
            body = _strip_comment(line)[:-1]
            line = body
            while i < len(lines):
                nxt = lines[i].strip(" \t")
                i += 1
                if nxt == "" or nxt.startswith(";"):
                    continue
                line = body + nxt
                break
            else:
                break
        yield line


def _split_key_path(path):
    """(canonical path, lower-cased path) or None for an unknown root."""
    parts = path.split("\\")
    root = _ROOTS.get(parts[0].lower())
    if root is None:
        return None
    canonical = "\\".join([root] + parts[1:])
    return canonical, canonical.lower()


def apply(hive, raw):
    """Imports the .reg file bytes `raw` into `hive` as regedit does:
    [KEY] creates the key and its parents, [-KEY] deletes the subtree,
    "name"=- deletes a value. Malformed lines are skipped and returned."""
    text, version = decode(raw)
    skipped = []
    current = None
    header_seen = False
    for line in _logical_lines(text):
        stripped = line.strip(" \t")
        if not header_seen:
            if stripped:
                header_seen = True
            continue
        if stripped == "" or stripped.startswith(";") or stripped.startswith("#"):
            continue
        if line.startswith("["):
            current = None
            end = line.rfind("]")
            if end < 0:
                skipped.append(line)
                continue
            body = line[1:end]
            delete = body.startswith("-")
            if delete:
                body = body[1:]
            if body == "" or body[0] in " \t":
                skipped.append(line)
                continue
            split = _split_key_path(body)
            if split is None:
                skipped.append(line)
                continue
            canonical, lower = split
            if delete:
                for existing in [k for k in hive if k == lower or k.startswith(lower + "\\")]:
                    del hive[existing]
                continue
            parts = canonical.split("\\")
            for depth in range(1, len(parts) + 1):
                sub = "\\".join(parts[:depth])
                hive.setdefault(sub.lower(), Key(sub))
            current = hive[lower]
            continue
        if current is None:
            skipped.append(line)
            continue
        if stripped.startswith("@"):
            name, rest = "", stripped[1:]
        else:
            split = _split_quoted(stripped)
            if split is None:
                skipped.append(line)
                continue
            name = _unescape(split[0])
            rest = split[1]
            if name is None:
                skipped.append(line)
                continue
        rest = rest.lstrip(" \t")
        if not rest.startswith("="):
            skipped.append(line)
            continue
        rest = rest[1:].strip(" \t")
        if _strip_comment(rest) == "-":
            current.values.pop(name.lower(), None)
            continue
        parsed = _parse_data(rest, version)
        if parsed is None:
            skipped.append(line)
            continue
        current.values[name.lower()] = (name, parsed[0], parsed[1])
    return skipped


def load(raw):
    hive = {}
    apply(hive, raw)
    return hive


def subtree(hive, paths):
    """The keys of `hive` at or below any of `paths` (full key paths)."""
    prefixes = [p.lower() for p in paths]
    return {
        k: v
        for k, v in hive.items()
        if any(k == p or k.startswith(p + "\\") for p in prefixes)
    }


def without_baseline(hive, baseline, image):
    """`hive` less what the baseline (a fresh prefix) put there: keys only in
    the baseline are dropped, and values only the baseline has are dropped
    from keys that the image also names."""
    out = {}
    for path, key in hive.items():
        base = baseline.get(path)
        mine = image.get(path)
        if base is not None and mine is None:
            continue
        trimmed = Key(key.name)
        for lname, value in key.values.items():
            if base is not None and lname in base.values and lname not in mine.values:
                continue
            trimmed.values[lname] = value
        out[path] = trimmed
    return out


def _show(value):
    return "%s (type %d) = %r" % (value[0] or "@", value[1], value[2])


def differences(left, right, left_name="left", right_name="right"):
    """Human-readable lines naming every key or value that differs."""
    lines = []
    for path in sorted(set(left) | set(right)):
        a, b = left.get(path), right.get(path)
        if a is None or b is None:
            present, absent = (left_name, right_name) if b is None else (right_name, left_name)
            name = (a or b).name
            lines.append("key %s: present in %s, missing in %s" % (name, present, absent))
            continue
        for lname in sorted(set(a.values) | set(b.values)):
            va, vb = a.values.get(lname), b.values.get(lname)
            if va is not None and vb is not None and va[1:] == vb[1:]:
                continue
            lines.append(
                "value %s\\%s: %s has %s, %s has %s"
                % (
                    a.name,
                    (va or vb)[0] or "@",
                    left_name,
                    _show(va) if va else "nothing",
                    right_name,
                    _show(vb) if vb else "nothing",
                )
            )
    return lines


def append_fragment(raw, fragment_raw):
    """The .reg file `raw` followed by the entries of `fragment_raw` (its
    header dropped), in the encoding and header form of `raw`."""
    text, version = decode(raw)
    fragment, _ = decode(fragment_raw)
    lines = fragment.splitlines()
    while lines and not lines[0].strip(" \t"):
        lines.pop(0)
    body = "\r\n".join(lines[1:])
    joined = text.rstrip("\r\n") + "\r\n\r\n" + body.strip("\r\n") + "\r\n"
    if raw.startswith(b"\xff\xfe"):
        return b"\xff\xfe" + joined.encode("utf-16-le")
    if raw.startswith(b"\xef\xbb\xbf"):
        return b"\xef\xbb\xbf" + joined.encode("utf-8")
    return joined.encode("cp1252", errors="replace")


def quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'
