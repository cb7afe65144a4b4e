"""A driver package's rules, as Windows applies them when it installs the
package on a device (the pages named are Microsoft's):

- models by architecture (INF Manufacturer Section, INF File Platform
  Extensions and x64-Based Systems): 64-bit Windows uses only models
  decorated NTamd64; 32-bit Windows NTx86 or NT ones, else undecorated ones;
- hardware IDs (INF Models Section): the first ID of a models line;
- the function driver (INF DDInstall Section, INF AddService Directive):
  the install section Windows picks has a .Services section whose AddService
  with SPSVCINST_ASSOCSERVICE (0x2) names the device's service;
- files (INF CopyFiles Directive, INF SourceDisksFiles Section, INF
  SourceDisksNames Section): each file copied is listed, and each file
  listed is where its disk's path and its own subdirectory put it;
- [Version] (INF Version Section, INF DriverVer Directive);
- the catalog (Catalog Files and Digital Signatures): the INF and each file
  it lists are members, by hash, of a catalog whose signature holds.
"""
import datetime
import hashlib
import os
import re

from . import catalog as catalogs
from .cabinet import Cabinet, CabinetError
from .image_hash import hash_file
from .inf import UTF8, UTF16, Inf, InfError, meant
from .names import PackageFiles, place, same, upper

SERVICE = "TALMERIX"
WHY_SERVICE = ("Quorin64 keeps only instances served by TALMERIX, so it would remove "
               "the controller it installed")
ASSOCIATED_SERVICE = 0x2
CAB_FORCED = 0x10
SIGNATURES = ("$WINDOWS NT$", "$CHICAGO$", "$WINDOWS 95$")
ALGORITHM_NAMES = {"sha1": "SHA-1", "sha256": "SHA-256"}
ARCHES_TEXT = "\0arches\0"


class Arch:
    def __init__(self, name, platform, needs):
        self.name = name
        self.platform = platform
        self.needs = needs
        self.install = (f".NT{name}", ".NT", "")
        self.catalog = (f"CatalogFile.NT{name}", "CatalogFile.NT", "CatalogFile")

    def models_decoration(self, decoration):
        """Whether a [Manufacturer] TargetOSVersion decoration serves this architecture."""
        platform = upper(decoration).split(".")[0]
        return platform == self.platform or (self.name == "x86" and platform == "NT")


ARCHES = {
    "amd64": Arch("amd64", "NTAMD64", "NTamd64-decorated models section (64-bit Windows "
                  "uses no other)"),
    "x86": Arch("x86", "NTX86", "NTx86-decorated, NT-decorated or undecorated models section"),
}


class Report:
    """Problems and warnings, each once; a problem found for several
    architectures is said once, naming them all."""

    def __init__(self):
        self.problems = {}
        self.warnings = {}

    def refuse(self, text, arch=None):
        arches = self.problems.setdefault(text, [])
        if arch and arch not in arches:
            arches.append(arch)

    def warn(self, text, arch=None):
        arches = self.warnings.setdefault(text, [])
        if arch and arch not in arches:
            arches.append(arch)

    @staticmethod
    def _lines(entries):
        return [text.replace(ARCHES_TEXT, " and ".join(arches)) for text, arches in entries.items()]

    def problem_lines(self):
        return self._lines(self.problems)

    def warning_lines(self):
        return self._lines(self.warnings)


def parse_number(text):
    """An INF number as Windows reads one (decimal, or hexadecimal after 0x), or None."""
    text = text.strip()
    if not text:
        return 0
    if re.fullmatch(r"0[xX][0-9a-fA-F]+", text):
        return int(text, 16)
    if re.fullmatch(r"\d+", text):
        return int(text)
    return None


def driver_ver_problem(line):
    """What is wrong with a DriverVer entry, or None."""
    date = line.field(0)
    found = re.fullmatch(r"(\d\d)([/-])(\d\d)\2(\d{4})", date)
    if not found:
        return f"date {date!r} is not mm/dd/yyyy"
    try:
        datetime.date(int(found.group(4)), int(found.group(1)), int(found.group(3)))
    except ValueError:
        return f"date {date} is not a real date (month/day/year)"
    version = line.field(1)
    if version:
        parts = version.split(".")
        if len(parts) > 4 or not all(p.isdigit() for p in parts):
            return f"version {version!r} is not w.x.y.z"
        if any(int(p) > 65535 for p in parts):
            return f"version {version}: each part is at most 65535"
        if all(int(p) == 0 for p in parts):
            return f"version {version} is not valid (INF DriverVer Directive)"
    return None


class Located:
    """Where a listed file is: a file of the package, or a member of a cabinet in it."""
    __slots__ = ("path", "cabinet", "member", "shown")

    def __init__(self, path, shown, cabinet=None, member=None):
        self.path, self.shown, self.cabinet, self.member = path, shown, cabinet, member


def find_inf(folder, files, inf_name, report):
    """The package's INF (its path in the package), or None."""
    infs = sorted((p for p in files.top_files() if upper(p).endswith(".INF")), key=upper)
    if inf_name is not None:
        chosen = [p for p in infs if same(p, inf_name)]
        if not chosen:
            report.refuse(f"{folder} holds no INF named {inf_name} (it holds "
                          f"{', '.join(infs) or 'none'})")
            return None
        return chosen[0]
    if not infs:
        report.refuse(f"{folder} holds no INF file")
        return None
    if len(infs) > 1:
        report.refuse(f"{folder} holds {len(infs)} INF files ({' '.join(infs)}), not exactly "
                      "one: choose one with --inf")
        return None
    return infs[0]


def load(folder, inf_name, report):
    """(files, INF path, Inf, its bytes), or None with the problem reported."""
    if not os.path.isdir(folder):
        report.refuse(f"no package folder {folder}")
        return None
    files = PackageFiles(folder)
    path = find_inf(folder, files, inf_name, report)
    if path is None:
        return None
    with open(files.full(path), "rb") as stream:
        data = stream.read()
    try:
        inf = Inf(path, data)
    except InfError as error:
        report.refuse(f"{folder}/{path} {error}")
        return None
    return files, path, inf, data


class Check:
    def __init__(self, folder, files, inf_path, inf, inf_data, arches, report):
        self.folder, self.files, self.inf_path, self.inf = folder, files, inf_path, inf
        self.inf_data = inf_data
        self.arches = [ARCHES[a] for a in arches]
        self.report = report
        self.named = set()
        self.cabinets = {}
        self.kernel_service = False
        self.shown_ids = {}

    # ---------------------------------------------------------------- names

    def check_name(self, name, what):
        """Refuse a UTF-8 INF's non-ASCII name; warn of an ANSI INF's."""
        if self.inf.encoding == UTF16 or name.isascii() or (name, what) in self.named:
            return
        self.named.add((name, what))
        inf = self.inf.name
        if self.inf.encoding == UTF8:
            self.report.refuse(
                f"{inf} is UTF-8 and names {what} {meant(name)}: Windows reads an INF that is "
                f"not UTF-16 in the machine's ANSI code page, so it reads {name} instead: save "
                f"{inf} as UTF-16 LE (with its byte-order mark)")
        else:
            self.report.warn(
                f"{inf} is ANSI and names {what} {name}: Windows reads it in the machine's ANSI "
                "code page, and this check took it as 1252 (Western); with another code page it "
                f"names another {'file' if 'file' in what else 'name'}: save {inf} as UTF-16 LE "
                "to name it the same everywhere")

    def section_named(self, name, what):
        self.check_name(name, f"the section {what}")
        return self.inf.section(name)

    # --------------------------------------------------------------- [Version]

    def check_version(self):
        inf = self.inf.name
        if self.inf.section("Version") is None:
            self.report.refuse(f"{inf} has no [Version] section")
            return
        signature = self.inf.first("Version", "Signature")
        if signature is None or upper(signature.field(0)) not in SIGNATURES:
            shown = signature.field(0) if signature else "none"
            self.report.refuse(f"{inf}'s [Version] Signature is {shown}, not \"$Windows NT$\": "
                               "Windows does not read it as a device INF")
        driver_ver = self.inf.first("Version", "DriverVer")
        if driver_ver is None:
            self.report.refuse(f"{inf}'s [Version] has no DriverVer (mm/dd/yyyy,w.x.y.z), "
                               "which Windows requires")
        else:
            problem = driver_ver_problem(driver_ver)
            if problem:
                self.report.refuse(f"{inf}'s [Version] DriverVer = {', '.join(driver_ver.fields)}: "
                                   f"{problem}")

    # ---------------------------------------------------------------- models

    def models_sections(self, arch):
        """The models sections Windows may use on arch (any OS version)."""
        inf = self.inf.name
        manufacturer = self.inf.section("Manufacturer")
        if manufacturer is None:
            self.report.refuse(f"{inf} has no [Manufacturer] section: it installs no device")
            return []
        chosen = []
        for line in manufacturer.lines:
            base = line.field(0)
            decorations = [d for d in line.fields[1:] if d] if line.key is not None else []
            if not base:
                self.report.refuse(f"{inf}'s [Manufacturer] line {line.number} names no models "
                                   "section")
                continue
            matching = [d for d in decorations if arch.models_decoration(d)]
            for decoration in matching:
                name = f"{base}.{decoration}"
                section = self.section_named(name, "of models")
                if section is None:
                    self.report.refuse(f"{inf}'s [Manufacturer] names [{name}], which {inf} "
                                       "does not have")
                else:
                    chosen.append(section)
            # 32-bit Windows falls back to the undecorated section when no
            # decoration fits its version.
            every_version = any("." not in d.strip(".") for d in matching)
            if arch.name == "x86" and not every_version:
                section = self.section_named(base, "of models")
                if section is not None:
                    chosen.append(section)
                elif not decorations:
                    self.report.refuse(f"{inf}'s [Manufacturer] names [{base}], which {inf} "
                                       "does not have")
        if not chosen:
            self.report.refuse(f"{inf} has no models for {arch.name}: its [Manufacturer] names "
                               f"no {arch.needs}")
        return chosen

    def models(self, arch):
        """(models section, line, install section name, hardware ID, compatible IDs) on arch."""
        found = []
        sections = self.models_sections(arch)
        for section in sections:
            for line in section.lines:
                if line.key is None or not line.field(0):
                    self.report.refuse(f"{self.inf.name}'s [{section.name}] line {line.number} "
                                       "names no install section")
                    continue
                ids = [i for i in line.fields[1:] if i]
                if ids:
                    # One spelling of each ID, whichever section says it.
                    ids = [self.shown_ids.setdefault(upper(i), i) for i in ids]
                    found.append((section, line, line.field(0), ids[0], ids[1:]))
        if sections and not found:
            self.report.refuse(f"{self.inf.name} lists no hardware ID in its models for "
                               f"{ARCHES_TEXT}", arch.name)
        return found

    def hardware_ids(self, arch):
        ids, seen = [], set()
        for _, _, _, hardware_id, _ in self.models(arch):
            if upper(hardware_id) not in seen:
                seen.add(upper(hardware_id))
                ids.append(hardware_id)
        return ids

    # ------------------------------------------------- devices and services

    def install_section(self, arch, name):
        for suffix in arch.install:
            section = self.section_named(name + suffix, "to install")
            if section is not None:
                return section
        return None

    def check_devices(self, arch, wanted):
        """The install sections Windows picks on arch for the hardware IDs
        wanted (all when None), each checked for its function driver."""
        inf = self.inf.name
        entries = self.models(arch)
        hardware = {upper(e[3]) for e in entries}
        compatible = {upper(c): e[0].name for e in entries for c in e[4]}
        if wanted is not None:
            for hardware_id in wanted:
                if upper(hardware_id) in hardware:
                    continue
                if upper(hardware_id) in compatible:
                    where = compatible[upper(hardware_id)]
                    self.report.refuse(f"--hardware-id {hardware_id} is a compatible ID, not a "
                                       f"hardware ID, in {inf}'s [{where}]: a hardware ID is the "
                                       "first ID of a models line (INF Models Section)")
                else:
                    self.report.refuse(f"--hardware-id {hardware_id}: {inf} does not list it in "
                                       f"its models for {ARCHES_TEXT}", arch.name)
            wanted = {upper(w) for w in wanted}
        chosen = {}
        for section, line, install, hardware_id, _ in entries:
            if wanted is not None and upper(hardware_id) not in wanted:
                continue
            picked = self.install_section(arch, install)
            if picked is None:
                self.report.refuse(f"{hardware_id}: {inf}'s [{section.name}] installs it with "
                                   f"[{install}], which {inf} does not have (nor "
                                   f"[{install}{arch.install[0]}] or [{install}.NT])")
                continue
            ids = chosen.setdefault(upper(picked.name), (picked, []))[1]
            if hardware_id not in ids:
                ids.append(hardware_id)
        for picked, ids in chosen.values():
            self.check_service(arch, picked, ", ".join(ids))
            driver_ver = self.inf.first(picked.name, "DriverVer")
            problem = driver_ver and driver_ver_problem(driver_ver)
            if problem:
                self.report.refuse(f"{inf}'s [{picked.name}] DriverVer = "
                                   f"{', '.join(driver_ver.fields)}: {problem}")
        return [picked for picked, _ in chosen.values()]

    def check_service(self, arch, picked, hardware_id):
        inf = self.inf.name
        name = f"{picked.name}.Services"
        services = self.section_named(name, "of services")
        if services is None:
            others = [f"[{s.name}]" for s in self.inf.sections.values()
                      if upper(s.name).endswith(".SERVICES") and
                      upper(s.name).startswith(upper(picked.name.split(".")[0]) + ".")]
            hint = f" ({', '.join(others)} is not the one Windows reads)" if others else ""
            self.report.refuse(f"{hardware_id}: {inf} has no [{name}]{hint}, so Windows installs "
                               f"no function driver service on {ARCHES_TEXT}, not TALMERIX: "
                               f"{WHY_SERVICE}", arch.name)
            return
        associated = []
        for line in self.inf.lines(name, "AddService"):
            flags = parse_number(line.field(1))
            if flags is None:
                self.report.refuse(f"{inf}'s [{name}] line {line.number}: AddService flags "
                                   f"{line.field(1)!r} is not a number")
                continue
            if flags & ASSOCIATED_SERVICE:
                associated.append(line)
        if not associated:
            self.report.refuse(f"{hardware_id}: {inf}'s [{name}] has no AddService with flag 0x2, "
                               "so Windows installs no function driver service, not TALMERIX: "
                               f"{WHY_SERVICE}")
            return
        for line in associated:
            if not same(line.field(0), SERVICE):
                self.report.refuse(f"{hardware_id}: {inf}'s [{name}] makes {line.field(0)} the "
                                   f"function driver service, not TALMERIX: {WHY_SERVICE}")
                continue
            install = self.section_named(line.field(2), "of the service")
            if not line.field(2) or install is None:
                self.report.refuse(f"{inf}'s [{name}] AddService = {line.field(0)} names its "
                                   f"service section [{line.field(2)}], which {inf} does not have")
                continue
            kind = self.inf.first(install.name, "ServiceType")
            if kind is not None and parse_number(kind.field(0)) in (1, 2) and arch.name == "amd64":
                self.kernel_service = True

    # ----------------------------------------------------------------- files

    def source_files(self, arch):
        """{upper name: (name as written, line, section name)} the INF lists on arch;
        the decorated section's entry wins."""
        entries = {}
        for section in (f"SourceDisksFiles.{arch.name}", "SourceDisksFiles"):
            for line in self.inf.lines(section):
                name = line.key if line.key is not None else line.field(0)
                if upper(name) not in entries:
                    entries[upper(name)] = (name, line, section)
        return entries

    def copied_files(self, arch, picked_sections):
        """(source file name, what copies it, raw text) for every file the install sections copy."""
        copied = []
        for picked in picked_sections:
            for name in (picked.name, f"{picked.name}.CoInstallers"):
                for line in self.inf.lines(name, "CopyFiles"):
                    for raw, value in zip(line.raw_fields, line.fields):
                        if value.startswith("@"):
                            copied.append((value[1:], f"[{name}] CopyFiles", raw))
                        elif value:
                            copied += self.file_list(name, value)
        return copied

    def file_list(self, copier, name):
        section = self.section_named(name, "of files")
        if section is None:
            self.report.refuse(f"{self.inf.name}'s [{copier}] CopyFiles names [{name}], which "
                               f"{self.inf.name} does not have")
            return []
        found = []
        for line in section.lines:
            fields = ([line.key] if line.key is not None else []) + line.fields
            raws = ([line.raw_key] if line.key is not None else []) + line.raw_fields
            source = 1 if len(fields) > 1 and fields[1] else 0
            if fields and fields[source]:
                found.append((fields[source], f"[{section.name}]", raws[source]))
        return found

    def check_copied(self, arch, picked_sections):
        inf = self.inf.name
        listed = self.source_files(arch)
        catalog_names = {upper(self.inf.first("Version", k).field(0))
                         for k in arch.catalog if self.inf.first("Version", k)}
        for name, where, raw in self.copied_files(arch, picked_sections):
            self.check_name(name, "the file")
            if Inf.has_token(raw):
                self.report.refuse(f"{inf}'s {where} copies {raw}: a file name there cannot be a "
                                   "%strkey% token (INF CopyFiles Directive)")
            if upper(name) in listed or same(name, inf) or upper(name) in catalog_names:
                continue
            self.report.refuse(f"{inf}'s {where} copies {name}, which neither "
                               f"[SourceDisksFiles.{arch.name}] nor [SourceDisksFiles] lists")

    def locate_listed(self, arch):
        """Each file the INF lists on arch, located in the package (problems reported)."""
        located = []
        for name, line, section in self.source_files(arch).values():
            where = f"{self.inf.name}'s [{section}]"
            if line.key is None:
                self.report.refuse(f"{where} lists {name} without its disk (file = disk id)")
                continue
            if Inf.has_token(line.raw_key):
                self.report.refuse(f"{where} lists {line.raw_key}: a file name there cannot be a "
                                   "%strkey% token (INF SourceDisksFiles Section)")
            self.check_name(name, "the file")
            spot = self.locate(arch, name, line, where)
            if spot is not None:
                located.append(spot)
        return located

    def disk(self, arch, disk):
        for section in (f"SourceDisksNames.{arch.name}", "SourceDisksNames"):
            for line in self.inf.lines(section):
                key = line.key if line.key is not None else ""
                if key == disk or (key.isdigit() and disk.isdigit() and int(key) == int(disk)):
                    return line
        return None

    def locate(self, arch, name, line, where):
        disk_id, subdirectory = line.field(0), line.field(1)
        disk = self.disk(arch, disk_id)
        if disk is None:
            self.report.refuse(f"{where} puts {name} on disk {disk_id}, which no "
                               "[SourceDisksNames] lists")
            return None
        tag, path, flags = disk.field(1), disk.field(3), parse_number(disk.field(4)) or 0
        for piece in (path, subdirectory):
            self.check_name(piece, "the folder")
        direct = place(path, subdirectory, name)
        if direct is None:
            self.report.refuse(f"{where} puts {name} outside the package")
            return None
        found = self.find(direct)
        if found is not None and not flags & CAB_FORCED:
            return Located(found, direct)
        cabinet_name = tag if flags & CAB_FORCED or upper(tag).endswith(".CAB") else None
        inside = ""
        if cabinet_name:
            cabinet_path = place(path, cabinet_name)
            cabinet = self.find(cabinet_path) if cabinet_path else None
            if cabinet is None:
                inside = f", nor is its disk's cabinet {cabinet_name} there"
            else:
                spot = self.in_cabinet(cabinet, name, subdirectory, where)
                if spot is not None:
                    return spot
                inside = f", nor does {cabinet_name} hold it"
        near = self.files.near(direct)
        hint = f" (the package has {near}, the same name in another Unicode normalization)" \
            if near else ""
        self.report.refuse(f"{self.folder}/{direct} is missing: {where} for {ARCHES_TEXT} "
                           f"names it{inside}{hint}", arch.name)
        return None

    def find(self, path):
        found = self.files.find(path)
        # A UTF-8 INF's name was refused already; its file is still there.
        if found is None and self.inf.encoding == UTF8:
            found = self.files.find(meant(path))
        return found

    def in_cabinet(self, found, name, subdirectory, where):
        """The member of the package's cabinet found that holds name, or None."""
        if found not in self.cabinets:
            try:
                self.cabinets[found] = Cabinet(self.files.full(found))
            except (CabinetError, OSError, ValueError) as error:
                self.report.refuse(f"{self.folder}/{found} ({where}): {error}")
                self.cabinets[found] = None
        cabinet = self.cabinets[found]
        if cabinet is None:
            return None
        for member in cabinet.members:
            if same(member.name, name) or same(member.name, place(subdirectory, name)
                                                      .replace("/", "\\")):
                return Located(found, f"{found}:{member.name}", cabinet, member)
        return None

    # --------------------------------------------------------------- catalog

    def catalog_entry(self, arch):
        """(key, path in the package or None) of arch's catalog, or None when unsigned."""
        for key in arch.catalog:
            line = self.inf.first("Version", key)
            if line is None:
                continue
            name = line.field(0)
            if not name:
                self.report.refuse(f"{self.inf.name}: {key} names no file")
                return key, None
            self.check_name(name, "the catalog file")
            path = place(name)
            found = self.find(path) if path else None
            if found is None:
                self.report.refuse(f"{self.folder}/{name} is missing: {self.inf.name}'s {key} "
                                   "names it")
            return key, found
        return None


def hash_all(check, needs):
    """{Located path key: (kind, digests)} for needs = {key: (Located, algorithms)}:
    each file read once, each cabinet read once."""
    results = {}
    by_cabinet = {}
    for key, (spot, algorithms) in needs.items():
        if spot.cabinet is not None:
            by_cabinet.setdefault(spot.path, {})[spot.member] = (key, algorithms)
            continue
        try:
            results[key] = hash_file(check.files.full(spot.path), algorithms)
        except OSError as error:
            check.report.refuse(f"{check.folder}/{spot.path} cannot be read: {error.strerror}")
    for path, wanted in by_cabinet.items():
        cabinet = check.cabinets[path]
        try:
            hashed = cabinet.hash_members({m: a for m, (_, a) in wanted.items()})
        except (CabinetError, OSError) as error:
            check.report.refuse(f"{check.folder}/{path}: {error}")
            continue
        for member, value in hashed.items():
            results[wanted[member][0]] = value
    return results


# ------------------------------------------------------------ the whole run


def check_catalogs(check, used, listed, anchors, out):
    """Each catalog's structure, signature and time, then every file it must list."""
    report, folder = check.report, check.folder
    parsed, needs = [], {}
    inf_spot = Located(check.inf_path, check.inf_path)
    for path, arches in used.items():
        with open(check.files.full(path), "rb") as stream:
            data = stream.read()
        try:
            catalog = catalogs.Catalog(data)
        except catalogs.CatalogError as error:
            report.refuse(f"{folder}/{path} {error}")
            continue
        verdict = catalogs.verify(catalog, anchors)
        if verdict.signer is not None:
            signer = verdict.signer
            root = verdict.chain[-1] if verdict.chain else signer
            out(f"signer: {signer.subject} (valid {signer.not_before:%Y-%m-%d} to "
                f"{signer.not_after:%Y-%m-%d}; root {root.subject})")
        for problem in verdict.problems:
            report.refuse(f"{folder}/{path}: {problem}")
        for warning in verdict.warnings:
            report.warn(f"{folder}/{path}: {warning}")
        warn_os_attributes(check, path, catalog)
        if check.kernel_service and any(a.name == "amd64" for a in arches) and \
                verdict.signer is not None and not verdict.microsoft():
            report.warn(f"TALMERIX is a kernel-mode driver (ServiceType 1) and "
                        f"{verdict.signer.common_name()} signed {path}, not Microsoft: with Secure "
                        "Boot on, Windows 10 1607 and later load it only with Microsoft's "
                        "signature (attestation or WHQL; Driver Signing Policy)")
        algorithms = catalog.algorithms()
        spots = [inf_spot] + [s for a in arches for s in listed[a.name]]
        for spot in spots:
            key = (spot.path, spot.member.name if spot.member else None)
            needs.setdefault(key, (spot, set()))[1].update(algorithms)
        parsed.append((path, catalog, algorithms, spots))
    inf_key = (check.inf_path, None)
    hashes = {}
    if inf_key in needs:
        # The INF is in memory already: it is not read twice.
        hashes[inf_key] = ("file", {a: hashlib.new(a, check.inf_data).digest()
                                    for a in needs.pop(inf_key)[1]})
    hashes.update(hash_all(check, needs))
    for path, catalog, algorithms, spots in parsed:
        done = set()
        for spot in spots:
            key = (spot.path, spot.member.name if spot.member else None)
            if key in done or key not in hashes:
                continue
            done.add(key)
            kind, digests = hashes[key]
            if catalog.find(digests) is None:
                name = sorted(algorithms)[0]
                what = "Authenticode image hash" if kind == "PE image" else "hash"
                report.refuse(f"{folder}/{spot.shown} does not match {path}: no member lists its "
                              f"{ALGORITHM_NAMES.get(name, name)} {what} {digests[name].hex()} "
                              "(changed or added since the catalog was signed)")


def warn_os_attributes(check, path, catalog):
    """How Windows matches OSAttr is undocumented: a catalog that names
    versions but not Windows 10 and 11 (2:10.0) only earns a warning."""
    value = catalog.attributes.get("OSATTR")
    if value and "2:10.0" not in [v.strip() for v in value.split(",")]:
        check.report.warn(f"{check.folder}/{path}'s OSAttr is {value}, without 2:10.0 (Windows 10 "
                          "and 11): how Windows matches it is undocumented, and it may not count "
                          "the package as signed for those versions")


def check_package(folder, arches, inf_name, wanted, anchors, report, out=print):
    loaded = load(folder, inf_name, report)
    if loaded is None:
        return
    files, inf_path, inf, data = loaded
    check = Check(folder, files, inf_path, inf, data, arches, report)
    check.check_version()
    unsigned, used, listed = [], {}, {}
    for arch in check.arches:
        picked = check.check_devices(arch, wanted)
        check.check_copied(arch, picked)
        listed[arch.name] = check.locate_listed(arch)
        entry = check.catalog_entry(arch)
        if entry is None:
            unsigned.append(arch.name)
        elif entry[1] is not None:
            used.setdefault(entry[1], []).append(arch)
    for spots in listed.values():
        for path in {s.path for s in spots} | {inf_path} | set(used):
            clashing = files.clashes(path)
            if len(clashing) > 1:
                report.refuse(f"{folder}: {' and '.join(clashing)} are one name on Windows, which "
                              "compares names case-insensitively")
    if unsigned:
        there = "" if len(unsigned) == len(check.arches) else f" for {' and '.join(unsigned)}"
        report.warn(f"{inf.name} names no CatalogFile{there}: the package is unsigned"
                    f"{' there' if there else ''}")
        if "amd64" in unsigned and check.kernel_service:
            report.warn("TALMERIX is a kernel-mode driver (ServiceType 1): 64-bit Windows loads "
                        "no kernel-mode driver without a signature (Kernel-Mode Code Signing "
                        "Requirements)")
    check_catalogs(check, used, listed, anchors, out)


def list_hardware_ids(folder, arches, inf_name, report):
    """The hardware IDs of the models used on arches, first seen first."""
    loaded = load(folder, inf_name, report)
    if loaded is None:
        return []
    files, inf_path, inf, data = loaded
    check = Check(folder, files, inf_path, inf, data, arches, report)
    ids, seen = [], set()
    for arch in check.arches:
        for hardware_id in check.hardware_ids(arch):
            if upper(hardware_id) not in seen:
                seen.add(upper(hardware_id))
                ids.append(hardware_id)
    return ids
