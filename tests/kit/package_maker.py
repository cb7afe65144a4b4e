#!/usr/bin/env python3
"""Driver packages for tests, made and signed here: RSA keys, X.509
certificates with any validity, catalogs (.cat) with any members, an
Authenticode-style countersignature timestamp, and driver-shaped PE files
built with MinGW.

Standard library only, plus the openssl command line (keys and RSA
signatures) and MinGW (x86_64-w64-mingw32-gcc, i686-w64-mingw32-gcc and
their windres). The DER is written here, so a test can make exactly the
faulty catalog it needs.

    python3 tests/kit/package_maker.py test-package OUT_DIR [FILE_VERSION [FILE...]]

writes OUT_DIR/package/ (talmerix.inf, talmerix.sys, x86/talmerix.sys,
talmerix.cat), OUT_DIR/trust.pem (the throwaway root) and keeps the keys in
OUT_DIR/keys/; FILE_VERSION (the drivers', default DriverVer) and FILEs: a later one.
"""
import base64
import collections
import datetime
import hashlib
import os
import re
import secrets
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_SOURCES = os.path.join(HERE, "..", "wine", "driver-package")

# ---------------------------------------------------------------------------
# DER


def der(tag, content):
    """One TLV: tag byte, definite length, content."""
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + length + content


def der_int(value):
    """INTEGER, two's complement, shortest form."""
    return der(0x02, value.to_bytes(value.bit_length() // 8 + 1, "big", signed=True))


def der_oid(dotted):
    """OBJECT IDENTIFIER from its dotted text."""
    arcs = [int(a) for a in dotted.split(".")]
    body = b""
    for arc in [arcs[0] * 40 + arcs[1]] + arcs[2:]:
        chunk = [arc & 0x7F]
        arc >>= 7
        while arc:
            chunk.append(0x80 | (arc & 0x7F))
            arc >>= 7
        body += bytes(reversed(chunk))
    return der(0x06, body)


def der_seq(*items):
    """SEQUENCE of already encoded items, in the order given."""
    return der(0x30, b"".join(items))


def der_set(*items):
    """SET OF: DER orders the elements by their encodings."""
    return der(0x31, b"".join(sorted(items)))


def der_octets(data):
    """OCTET STRING."""
    return der(0x04, data)


def der_bits(data, unused=0):
    """BIT STRING, with the count of unused bits in the last byte."""
    return der(0x03, bytes([unused]) + data)


def der_bool(value):
    """BOOLEAN."""
    return der(0x01, b"\xff" if value else b"\x00")


def der_null():
    """NULL."""
    return b"\x05\x00"


def der_utf8(text):
    """UTF8String."""
    return der(0x0C, text.encode("utf-8"))


def der_bmp(text):
    """BMPString (UTF-16 big-endian), as Authenticode and catalogs use."""
    return der(0x1E, text.encode("utf-16-be"))


def der_time(moment):
    """UTCTime up to 2049, GeneralizedTime from 2050 (RFC 5280)."""
    moment = moment.astimezone(datetime.timezone.utc)
    if moment.year < 2050:
        return der(0x17, moment.strftime("%y%m%d%H%M%SZ").encode())
    return der(0x18, moment.strftime("%Y%m%d%H%M%SZ").encode())


def der_explicit(number, content):
    """[number] EXPLICIT (or IMPLICIT over constructed content)."""
    return der(0xA0 | number, content)


def der_split(data):
    """(tag, contents, rest) of the first TLV of data."""
    tag, first = data[0], data[1]
    if first < 0x80:
        start, length = 2, first
    else:
        count = first & 0x7F
        start, length = 2 + count, int.from_bytes(data[2:2 + count], "big")
    return tag, data[start:start + length], data[start + length:]


# ---------------------------------------------------------------------------
# Object identifiers

SHA1 = "1.3.14.3.2.26"
SHA256 = "2.16.840.1.101.3.4.2.1"
RSA_ENCRYPTION = "1.2.840.113549.1.1.1"
SHA256_WITH_RSA = "1.2.840.113549.1.1.11"
COMMON_NAME = "2.5.4.3"
CODE_SIGNING = "1.3.6.1.5.5.7.3.3"
TIME_STAMPING = "1.3.6.1.5.5.7.3.8"
PKCS7_DATA = "1.2.840.113549.1.7.1"
PKCS7_SIGNED_DATA = "1.2.840.113549.1.7.2"
CONTENT_TYPE = "1.2.840.113549.1.9.3"
MESSAGE_DIGEST = "1.2.840.113549.1.9.4"
SIGNING_TIME = "1.2.840.113549.1.9.5"
COUNTER_SIGNATURE = "1.2.840.113549.1.9.6"
CTL = "1.3.6.1.4.1.311.10.1"
CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"   # SHA-1 members
CATALOG_LIST_MEMBER2 = "1.3.6.1.4.1.311.12.1.3"  # SHA-256 members
CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_STATEMENT_TYPE = "1.3.6.1.4.1.311.2.1.11"
SPC_SP_OPUS_INFO = "1.3.6.1.4.1.311.2.1.12"
SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
SPC_INDIVIDUAL_SP_KEY_PURPOSE = "1.3.6.1.4.1.311.2.1.21"
SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"

HASHES = {"sha1": SHA1, "sha256": SHA256}
# The subject interface packages' GUIDs makecat names in CAT_MEMBERINFO.
PE_SUBJECT = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
FLAT_SUBJECT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
# CRYPTCAT_ATTR_AUTHENTICATED | _NAMEASCII | _DATAASCII, as makecat writes.
NAMEVALUE_FLAGS = 0x10010001


def algorithm(oid):
    """AlgorithmIdentifier with NULL parameters."""
    return der_seq(der_oid(oid), der_null())


# ---------------------------------------------------------------------------
# Keys and signatures (openssl)

Key = collections.namedtuple("Key", "path public")  # public: SubjectPublicKeyInfo DER


def openssl(*args, data=None):
    """Runs the openssl command line; its output, or RuntimeError with its errors."""
    done = subprocess.run(["openssl"] + list(args), input=data, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise RuntimeError("openssl %s: %s" % (" ".join(args),
                                               done.stderr.decode(errors="replace")))
    return done.stdout


def make_key(path, bits=2048):
    """An RSA key in PEM at path, made only when the file is not there yet
    (so tests can keep one key across runs)."""
    if not os.path.isfile(path):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        partial = path + ".partial"
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:%d" % bits,
                "-out", partial)
        os.replace(partial, path)
    return Key(path, openssl("pkey", "-in", path, "-pubout", "-outform", "DER"))


def sign(key, data, digest="sha256"):
    """PKCS#1 v1.5 RSA signature of data's digest."""
    return openssl("dgst", "-" + digest, "-sign", key.path, data=data)


# ---------------------------------------------------------------------------
# Certificates

Certificate = collections.namedtuple("Certificate", "der subject issuer serial key")


def name(common_name):
    """An X.501 Name holding only a common name."""
    return der_seq(der_set(der_seq(der_oid(COMMON_NAME), der_utf8(common_name))))


def extension(oid, value, critical=False):
    """An X.509 Extension (the same form holds catalog attributes)."""
    return der_seq(der_oid(oid), *([der_bool(True)] if critical else []), der_octets(value))


def key_id(key):
    """The key identifier: SHA-1 of the SubjectPublicKeyInfo."""
    return hashlib.sha1(key.public).digest()


def make_certificate(common_name, key, issuer=None, issuer_key=None, not_before=None,
                     not_after=None, ca=False, usages=None, serial=None):
    """An X.509 v3 certificate for key, signed sha256WithRSAEncryption by
    issuer/issuer_key (self-signed when issuer is None). Validity defaults to
    yesterday for five years. ca makes a CA (keyCertSign); otherwise an
    end entity with extended key usages `usages` (default codeSigning; a
    timeStamping-only list is marked critical, as RFC 3161 asks)."""
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    not_before = not_before or now - datetime.timedelta(days=1)
    not_after = not_after or not_before + datetime.timedelta(days=5 * 365)
    serial = serial or (secrets.randbits(63) | 1 << 62)
    subject = name(common_name)
    issuer_name = issuer.subject if issuer else subject
    signer_key = issuer_key if issuer else key
    extensions = [
        extension("2.5.29.19", der_seq(der_bool(True)) if ca else der_seq(), critical=True),
        extension("2.5.29.15", der_bits(b"\x06", 1) if ca else der_bits(b"\x80", 7),
                  critical=True),
        extension("2.5.29.14", der_octets(key_id(key))),
        extension("2.5.29.35", der_seq(der(0x80, key_id(signer_key)))),
    ]
    if not ca:
        usages = list(usages or [CODE_SIGNING])
        extensions.append(extension("2.5.29.37", der_seq(*map(der_oid, usages)),
                                    critical=usages == [TIME_STAMPING]))
    tbs = der_seq(der_explicit(0, der_int(2)), der_int(serial), algorithm(SHA256_WITH_RSA),
                  issuer_name, der_seq(der_time(not_before), der_time(not_after)), subject,
                  key.public, der_explicit(3, der_seq(*extensions)))
    signature = sign(signer_key, tbs)
    cert = der_seq(tbs, algorithm(SHA256_WITH_RSA), der_bits(signature))
    return Certificate(cert, subject, issuer_name, serial, key)


def pem(cert):
    """A certificate in PEM."""
    text = base64.encodebytes(cert.der).decode().replace("\n", "")
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    return "-----BEGIN CERTIFICATE-----\n%s\n-----END CERTIFICATE-----\n" % "\n".join(lines)


def write_pem(path, *certs):
    """The certificates in PEM, one after the other."""
    with open(path, "w") as f:
        f.write("".join(pem(c) for c in certs))


# ---------------------------------------------------------------------------
# Hashes


def pe_layout(data):
    """(CheckSum offset, certificate-table entry offset, certificate data
    offset or None) of a PE image, or None when data is no PE image."""
    if len(data) < 64 or data[:2] != b"MZ":
        return None
    header = struct.unpack_from("<I", data, 60)[0]
    optional = header + 24
    if data[header:header + 4] != b"PE\0\0" or len(data) < optional + 2:
        return None
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic not in (0x10B, 0x20B):
        return None
    # Data directory 4, the certificate table, after 96 (PE32) or 112
    # (PE32+) bytes of the optional header.
    entry = optional + (96 if magic == 0x10B else 112) + 4 * 8
    if len(data) < entry + 8:
        return None
    offset, size = struct.unpack_from("<II", data, entry)
    ends_file = size and offset + size >= len(data)
    return optional + 64, entry, offset if ends_file else None


def image_hash(data, digest="sha256"):
    """The Authenticode image hash: every byte but CheckSum, the certificate
    table's entry and trailing certificate data, zero-padded to a multiple
    of 8 as osslsigncode does."""
    checksum, entry, certificates = pe_layout(data)
    end = certificates if certificates is not None else len(data)
    h = hashlib.new(digest)
    h.update(data[:checksum])
    h.update(data[checksum + 4:entry])
    h.update(data[entry + 8:end])
    if end % 8:
        h.update(b"\0" * (8 - end % 8))
    return h.digest()


def file_hash(data, digest="sha256"):
    """The hash a catalog lists: the image hash for PE files, else all bytes."""
    if pe_layout(data):
        return image_hash(data, digest)
    return hashlib.new(digest, data).digest()


# ---------------------------------------------------------------------------
# Catalogs


def name_value(label, value):
    """CAT_NAMEVALUE's value: name, flags, UTF-16LE text with its NUL."""
    return der_seq(der_bmp(label), der_int(NAMEVALUE_FLAGS),
                   der_octets((value + "\0").encode("utf-16-le")))


def attribute(oid, *values):
    """A PKCS#9-style Attribute: type and a SET of values."""
    return der_seq(der_oid(oid), der_set(*values))


def member(file_name, data, digest="sha1"):
    """One catalog member for a file's bytes."""
    pe = pe_layout(data) is not None
    hashed = file_hash(data, digest)
    obsolete = der_explicit(2, der(0x80, "<<<Obsolete>>>".encode("utf-16-be")))
    if pe:
        kind = der_seq(der_oid(SPC_PE_IMAGE_DATA),
                       der_seq(der_bits(b""), der_explicit(0, obsolete)))
    else:
        kind = der_seq(der_oid(SPC_CAB_DATA), obsolete)
    indirect = der_seq(kind, der_seq(algorithm(HASHES[digest]), der_octets(hashed)))
    identifier = (hashed.hex().upper() + "\0").encode("utf-16-le")
    return der_seq(der_octets(identifier), der_set(
        attribute(CAT_NAMEVALUE, name_value("File", file_name)),
        attribute(CAT_MEMBERINFO, der_seq(der_bmp(PE_SUBJECT if pe else FLAT_SUBJECT),
                                          der_int(512))),
        attribute(SPC_INDIRECT_DATA, indirect)))


def signer_info(cert, key, attributes, digest, corrupt=False, timestamp=None):
    """A PKCS#7 SignerInfo (version 1) over the signed attributes' SET;
    timestamp (tsa_cert, tsa_key, signed_at) countersigns its signature."""
    signed_set = der_set(*attributes)  # signed as a SET, carried as [0]
    signature = sign(key, signed_set, digest)
    if corrupt:
        signature = bytes([signature[0] ^ 0x01]) + signature[1:]
    unsigned = b""
    if timestamp:
        unsigned = der(0xA1, countersignature(signature, *timestamp, digest=digest))
    return der_seq(der_int(1), der_seq(cert.issuer, der_int(cert.serial)),
                   algorithm(HASHES[digest]), der(0xA0, der_split(signed_set)[1]),
                   algorithm(RSA_ENCRYPTION), der_octets(signature), unsigned)


def countersignature(encrypted_digest, tsa_cert, tsa_key, signed_at, digest="sha256"):
    """The legacy Authenticode timestamp: a SignerInfo over the signer's
    encryptedDigest with the time it was made, as unsignedAttrs holds it."""
    attributes = [attribute(CONTENT_TYPE, der_oid(PKCS7_DATA)),
                  attribute(SIGNING_TIME, der_time(signed_at)),
                  attribute(MESSAGE_DIGEST,
                            der_octets(hashlib.new(digest, encrypted_digest).digest()))]
    return attribute(COUNTER_SIGNATURE, signer_info(tsa_cert, tsa_key, attributes, digest))


def make_catalog(path, files, signer, signer_key, chain=(), digest="sha1",
                 signature_digest="sha256", os_attr="2:10.0", os_name=None, this_update=None,
                 timestamp=None, corrupt_signature=False, certificates=None):
    """Writes a signed catalog to path (unless None) and returns its bytes.

    files: paths (the member's name is the base name) or (name, bytes)
    pairs, so a test can list files that are not there or bytes that differ
    from them. digest: "sha1" (member OID ...12.1.2) or "sha256"
    (...12.1.3). os_attr / os_name: the OSAttr and OS catalog attributes
    (None leaves one out). timestamp: (tsa_cert, tsa_key, signed_at) adds a
    countersignature; its certificate joins the set. corrupt_signature
    flips a bit of the signature. certificates: the certificate set as
    given (default: the signer, chain, then the timestamp's)."""
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    members = []
    for item in files:
        if isinstance(item, str):
            with open(item, "rb") as f:
                item = (os.path.basename(item), f.read())
        members.append(member(item[0], item[1], digest))
    catalog_attributes = [extension(CAT_NAMEVALUE, name_value(label, value))
                          for label, value in (("OS", os_name), ("OSAttr", os_attr))
                          if value is not None]
    list_algorithm = CATALOG_LIST_MEMBER if digest == "sha1" else CATALOG_LIST_MEMBER2
    trust_list = der_seq(
        der_seq(der_oid(CATALOG_LIST)),
        der_octets(secrets.token_bytes(16)),
        der_time(this_update or now),
        algorithm(list_algorithm),
        der_seq(*members),
        *([der_explicit(0, der_seq(*catalog_attributes))] if catalog_attributes else []))
    # PKCS#7 v1.5: the content is the list itself, digested without its
    # tag and length.
    content_digest = hashlib.new(signature_digest, der_split(trust_list)[1]).digest()
    attributes = [attribute(CONTENT_TYPE, der_oid(CTL)),
                  attribute(SPC_SP_OPUS_INFO, der_seq()),
                  attribute(SPC_STATEMENT_TYPE, der_seq(der_oid(SPC_INDIVIDUAL_SP_KEY_PURPOSE))),
                  attribute(MESSAGE_DIGEST, der_octets(content_digest))]
    info = signer_info(signer, signer_key, attributes, signature_digest,
                       corrupt=corrupt_signature, timestamp=timestamp)
    if certificates is None:
        certificates = [signer] + list(chain) + ([timestamp[0]] if timestamp else [])
    signed_data = der_seq(
        der_int(1),
        der_set(algorithm(HASHES[signature_digest])),
        der_seq(der_oid(CTL), der_explicit(0, trust_list)),
        der(0xA0, b"".join(c.der for c in certificates)),
        der_set(info))
    catalog = der_seq(der_oid(PKCS7_SIGNED_DATA), der_explicit(0, signed_data))
    if path:
        with open(path, "wb") as f:
            f.write(catalog)
    return catalog


# ---------------------------------------------------------------------------
# Driver-shaped PE files (MinGW)

# Compiler, windres, entry point, image base: fixed, as ld otherwise derives
# a DLL's base from its output file's name.
COMPILERS = {"amd64": ("x86_64-w64-mingw32-gcc", "x86_64-w64-mingw32-windres", "DriverEntry",
                       "0x140000000"),
             "x86": ("i686-w64-mingw32-gcc", "i686-w64-mingw32-windres", "_DriverEntry@8",
                     "0x10000")}


def build_driver(source, rc, output, arch="amd64", file_version="1.0.0.0"):
    """A native-subsystem PE image from a C source and a version resource
    (.rc, which includes "driver-version.h": DRIVER_VERSION as 1,0,0,0 and
    DRIVER_VERSION_TEXT as "1.0.0.0"). Reproducible: no timestamp, no
    symbols."""
    compiler, windres, entry, base = COMPILERS[arch]
    numbers = file_version.split(".")
    if len(numbers) != 4 or not all(n.isdigit() and int(n) < 65536 for n in numbers):
        raise ValueError("file version %r is not w.x.y.z" % file_version)
    with tempfile.TemporaryDirectory() as work:
        with open(os.path.join(work, "driver-version.h"), "w") as f:
            f.write('#define DRIVER_VERSION %s\n#define DRIVER_VERSION_TEXT "%s"\n'
                    % (",".join(numbers), file_version))
        resource = os.path.join(work, "version.o")
        run([windres, "-I", work, "-i", rc, "-O", "coff", "-o", resource])
        partial = os.path.join(work, "driver.sys")
        run([compiler, "-Wall", "-Wextra", "-Werror", "-Os", "-s", "-ffreestanding",
             "-fno-stack-protector", "-nostdlib", "-shared", "-Wl,--subsystem,native",
             "-Wl,-e," + entry, "-Wl,--image-base," + base, "-Wl,--no-insert-timestamp",
             "-o", partial, source, resource])
        os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
        shutil.copyfile(partial, output)


def run(args):
    """Runs a build tool; RuntimeError with its output when it fails."""
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(args), done.stdout.decode(errors="replace")))


# ---------------------------------------------------------------------------
# The project's test package

TEST_INF = "talmerix.inf"
TEST_SOURCES = ("talmerix.inf", "talmerix.c", "talmerix.rc")
TEST_OS = "XPX86,XPX64,VistaX86,VistaX64,7X86,7X64,8X86,8X64,_v63,_v63_X64,_v100,_v100_X64"
TEST_OS_ATTR = "2:5.1,2:5.2,2:6.0,2:6.1,2:6.2,2:6.3,2:10.0"


def driver_version(inf_path):
    """The w.x.y.z of the INF's DriverVer line."""
    with open(inf_path, encoding="latin-1") as f:
        found = re.search(r"^\s*DriverVer\s*=\s*[\d/]+\s*,\s*([\d.]+)", f.read(), re.M | re.I)
    if not found:
        raise RuntimeError("%s has no DriverVer with a version" % inf_path)
    return found.group(1)


def make_test_package(out_dir, sources=PACKAGE_SOURCES, file_version=None, files=()):
    """Writes out_dir/package/ (talmerix.inf, talmerix.sys for amd64,
    x86/talmerix.sys, talmerix.cat signed by a throwaway signer) and
    out_dir/trust.pem (its throwaway root); keys stay in out_dir/keys/. Does
    nothing when every output is newer than the sources and this file.
    file_version: the drivers' (default: DriverVer); files: names added, each
    holding its name. Returns the package folder."""
    package = os.path.join(out_dir, "package")
    outputs = [os.path.join(package, n) for n in
               ("talmerix.inf", "talmerix.sys", "x86/talmerix.sys", "talmerix.cat")]
    outputs.append(os.path.join(out_dir, "trust.pem"))
    inputs = [os.path.join(sources, n) for n in TEST_SOURCES] + [os.path.abspath(__file__)]
    newest = max(os.path.getmtime(p) for p in inputs)
    if all(os.path.isfile(p) and os.path.getmtime(p) >= newest for p in outputs):
        return package
    shutil.rmtree(package, ignore_errors=True)
    os.makedirs(os.path.join(package, "x86"))
    inf = os.path.join(package, TEST_INF)
    shutil.copyfile(os.path.join(sources, TEST_INF), inf)
    version = file_version or driver_version(inf)
    for name in files:
        with open(os.path.join(package, name), "w") as f:
            f.write(name)
    c, rc = (os.path.join(sources, n) for n in ("talmerix.c", "talmerix.rc"))
    build_driver(c, rc, outputs[1], "amd64", version)
    build_driver(c, rc, outputs[2], "x86", version)
    keys = os.path.join(out_dir, "keys")
    root_key = make_key(os.path.join(keys, "root.key"))
    signer_key = make_key(os.path.join(keys, "signer.key"))
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    yesterday = now - datetime.timedelta(days=1)
    root = make_certificate("Quorin64 test root", root_key, ca=True, not_before=yesterday,
                            not_after=yesterday + datetime.timedelta(days=10 * 365))
    signer = make_certificate("Quorin64 test signer", signer_key, root, root_key,
                              not_before=yesterday,
                              not_after=yesterday + datetime.timedelta(days=5 * 365))
    make_catalog(outputs[3], [inf, outputs[1], outputs[2]], signer, signer_key, chain=[root],
                 os_attr=TEST_OS_ATTR, os_name=TEST_OS)
    write_pem(outputs[4], root)
    return package


def make_ids_package(out_dir, ids):
    """make_test_package's package (in out_dir, under a root of its own)
    with a models line for each of ids, from sources in out_dir/sources."""
    sources = os.path.join(out_dir, "sources")
    os.makedirs(sources, exist_ok=True)
    for name in TEST_SOURCES:
        with open(os.path.join(PACKAGE_SOURCES, name), "rb") as f:
            data = f.read()
        model = b"%%DeviceName%% = TalmerixInstall, %s\n"
        data = data.replace(model % b"USB\\VID_1F3A&PID_0C21",
                            b"".join(model % id.encode() for id in ids))
        path = os.path.join(sources, name)
        if not os.path.isfile(path) or open(path, "rb").read() != data:  # else it is up to date
            with open(path, "wb") as f:
                f.write(data)
    return make_test_package(out_dir, sources)


def main(argv):
    """The command line: test-package OUT_DIR [FILE_VERSION [FILE...]], or
    ids-package OUT_DIR ID..."""
    if len(argv) > 3 and argv[1] == "ids-package":
        print(make_ids_package(argv[2], argv[3:]))
        return 0
    if len(argv) < 3 or argv[1] != "test-package":
        print("usage: package_maker.py test-package OUT_DIR [FILE_VERSION [FILE...]] | "
              "ids-package OUT_DIR ID...", file=sys.stderr)
        return 2
    print(make_test_package(argv[2], file_version=(argv[3:] or [None])[0], files=argv[4:]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
