"""The package's build backend: makes the wheel with the standard library
alone, so that ``pip install --no-build-isolation ./python`` works in a fresh
virtual environment, which has setuptools without its wheel command and no
network to fetch one. Name, version and description come from the
[project] table of pyproject.toml; the wheel holds every .py file of
s7serial/."""

import base64
import hashlib
import os
import re
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))


def _read(name, mode="r"):
    with open(os.path.join(HERE, name), mode) as f:
        return f.read()


def _project():
    table = _read("pyproject.toml").split("[project]", 1)[1].split("\n[", 1)[0]
    fields = dict(re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"', table, re.M))
    return fields, re.findall(r'"([^"]+ :: [^"]+)"', table)


def _metadata(fields, classifiers):
    lines = ["Metadata-Version: 2.1", "Name: " + fields["name"], "Version: " + fields["version"],
             "Summary: " + fields["description"], "Requires-Python: " + fields["requires-python"]]
    lines += ["Classifier: " + c for c in classifiers]
    lines += ["Description-Content-Type: text/markdown", "", _read(fields["readme"])]
    return "\n".join(lines).encode()


def _sources():
    for root, dirs, names in os.walk(os.path.join(HERE, "s7serial")):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(n for n in names if n.endswith(".py")):
            path = os.path.relpath(os.path.join(root, name), HERE)
            yield path.replace(os.sep, "/"), _read(path, "rb")


def get_requires_for_build_wheel(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    fields, classifiers = _project()
    dist = "%s-%s" % (fields["name"].replace("-", "_"), fields["version"])
    info = dist + ".dist-info/"
    wheel = dist + "-py3-none-any.whl"
    files = list(_sources()) + [
        (info + "METADATA", _metadata(fields, classifiers)),
        (info + "WHEEL", b"Wheel-Version: 1.0\nGenerator: s7build\nRoot-Is-Purelib: true\n"
                         b"Tag: py3-none-any\n"),
    ]
    record = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel), "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files:
            z.writestr(name, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            record.append("%s,sha256=%s,%d" % (name, digest.decode(), len(data)))
        record.append(info + "RECORD,,")
        z.writestr(info + "RECORD", "\n".join(record) + "\n")
    return wheel
