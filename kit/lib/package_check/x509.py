"""Certificates and RSA PKCS#1 v1.5 signatures, as a catalog's signer uses them.

Only RSA keys are verified; any other key or signature type is named in an
Unsupported error so that the report can say which.
"""
import base64
import hashlib

from . import der

RSA_KEY = "1.2.840.113549.1.1.1"
KEY_TYPES = {
    RSA_KEY: "RSA",
    "1.2.840.10045.2.1": "ECDSA",
    "1.2.840.10040.4.1": "DSA",
    "1.3.101.112": "Ed25519",
    "1.2.840.113549.1.1.10": "RSASSA-PSS",
}
# Digest algorithms by OID, as hashlib names them.
DIGESTS = {
    "1.3.14.3.2.26": "sha1",
    "2.16.840.1.101.3.4.2.1": "sha256",
    "2.16.840.1.101.3.4.2.2": "sha384",
    "2.16.840.1.101.3.4.2.3": "sha512",
    "1.2.840.113549.2.5": "md5",
}
DIGEST_OIDS = {name: number for number, name in DIGESTS.items()}
# RSA signature algorithms that carry their digest.
RSA_SIGNATURES = {
    "1.2.840.113549.1.1.4": "md5",
    "1.2.840.113549.1.1.5": "sha1",
    "1.2.840.113549.1.1.11": "sha256",
    "1.2.840.113549.1.1.12": "sha384",
    "1.2.840.113549.1.1.13": "sha512",
    "1.3.14.3.2.29": "sha1",
}
SIGNATURE_NAMES = {
    "1.2.840.113549.1.1.10": "RSASSA-PSS",
    "1.2.840.10045.4.1": "ECDSA with SHA-1",
    "1.2.840.10045.4.3.2": "ECDSA with SHA-256",
    "1.2.840.10045.4.3.3": "ECDSA with SHA-384",
    "1.2.840.10045.4.3.4": "ECDSA with SHA-512",
    "1.2.840.10040.4.3": "DSA with SHA-1",
    "1.3.101.112": "Ed25519",
}
NAME_KEYS = {
    "2.5.4.3": "CN", "2.5.4.6": "C", "2.5.4.7": "L", "2.5.4.8": "S", "2.5.4.9": "STREET",
    "2.5.4.10": "O", "2.5.4.11": "OU", "2.5.4.5": "SERIALNUMBER",
    "1.2.840.113549.1.9.1": "E", "0.9.2342.19200300.100.1.25": "DC",
}
EKU = "2.5.29.37"
BASIC_CONSTRAINTS = "2.5.29.19"
CODE_SIGNING = "1.3.6.1.5.5.7.3.3"
TIME_STAMPING = "1.3.6.1.5.5.7.3.8"
ANY_PURPOSE = "2.5.29.37.0"


class Unsupported(Exception):
    """A key or signature type this check cannot verify."""


def algorithm(node):
    """The OID of an AlgorithmIdentifier."""
    return der.oid(node.expect(der.SEQUENCE, "algorithm identifier").children()[0])


def name_parts(node):
    """A Name as (key, value) pairs in encoded order."""
    parts = []
    for rdn in node.expect(der.SEQUENCE, "name").children():
        for pair in rdn.expect(der.SET, "name part").children():
            kind, value = pair.children()[:2]
            number = der.oid(kind)
            parts.append((NAME_KEYS.get(number, number), der.text(value)))
    return parts


def format_name(parts):
    """A Name as Windows shows it: most specific part first."""
    return ", ".join(f"{key}={value}" for key, value in reversed(parts)) or "(empty name)"


class Certificate:
    def __init__(self, raw):
        self.raw = raw
        top = der.parse(raw, "certificate").expect(der.SEQUENCE, "certificate")
        tbs, signature_algorithm, signature = top.children()
        self.tbs = tbs.raw
        fields = tbs.expect(der.SEQUENCE, "certificate body").children()
        if fields[0].tag == der.context(0):
            fields = fields[1:]
        self.serial = der.integer(fields[0])
        self.issuer_raw, self.subject_raw = fields[2].raw, fields[4].raw
        self.issuer_parts, self.subject_parts = name_parts(fields[2]), name_parts(fields[4])
        validity = fields[3].children()
        self.not_before, self.not_after = der.time(validity[0]), der.time(validity[1])
        key_info = fields[5].children()
        self.key_type = algorithm(key_info[0])
        self.key_bits = der.bit_string(key_info[1])
        self.extensions = {}
        for extra in fields[6:]:
            if extra.tag == der.context(3):
                for extension in extra.children()[0].children():
                    parts = extension.children()
                    critical = len(parts) == 3 and parts[1].value != b"\x00"
                    self.extensions[der.oid(parts[0])] = (critical, der.octets(parts[-1]))
        self.signature_algorithm = algorithm(signature_algorithm)
        self.signature = der.bit_string(signature)

    @property
    def subject(self):
        return format_name(self.subject_parts)

    @property
    def issuer(self):
        return format_name(self.issuer_parts)

    def common_name(self):
        names = [value for key, value in self.subject_parts if key == "CN"]
        return names[-1] if names else self.subject

    def self_issued(self):
        return self.issuer_raw == self.subject_raw

    def usages(self):
        """The extended key usages, or None when the certificate sets none."""
        if EKU not in self.extensions:
            return None
        return {der.oid(n) for n in der.parse(self.extensions[EKU][1]).children()}

    def allows(self, usage):
        usages = self.usages()
        return usages is None or usage in usages or ANY_PURPOSE in usages

    def may_issue(self):
        """False only when the certificate says it is not a CA."""
        if BASIC_CONSTRAINTS not in self.extensions:
            return True
        parts = der.parse(self.extensions[BASIC_CONSTRAINTS][1]).children()
        return bool(parts) and parts[0].tag == der.BOOLEAN and parts[0].value != b"\x00"

    def valid_at(self, moment):
        return self.not_before <= moment <= self.not_after

    def rsa_key(self):
        if self.key_type != RSA_KEY:
            raise Unsupported(f"a key of type {KEY_TYPES.get(self.key_type, self.key_type)}")
        modulus, exponent = der.parse(self.key_bits, "RSA key").children()[:2]
        return der.integer(modulus), der.integer(exponent)

    def verify(self, digest_name, digest, signature):
        """Whether signature is this certificate's key's PKCS#1 v1.5 signature of digest."""
        modulus, exponent = self.rsa_key()
        return rsa_verify(modulus, exponent, digest_name, digest, signature)

    def signed_by(self, issuer):
        """Whether issuer's key made this certificate's signature."""
        digest_name = RSA_SIGNATURES.get(self.signature_algorithm)
        if digest_name is None:
            raise Unsupported(SIGNATURE_NAMES.get(
                self.signature_algorithm, f"signature algorithm {self.signature_algorithm}"))
        digest = hashlib.new(digest_name, self.tbs).digest()
        return issuer.verify(digest_name, digest, self.signature)


def digest_info(digest_name, digest, null_parameters=True):
    """The DER DigestInfo that PKCS#1 v1.5 wraps around a digest."""
    arcs = [int(a) for a in DIGEST_OIDS[digest_name].split(".")]
    body = bytearray([40 * arcs[0] + arcs[1]])
    for arc in arcs[2:]:
        chunk = [arc & 0x7F]
        arc >>= 7
        while arc:
            chunk.append(0x80 | (arc & 0x7F))
            arc >>= 7
        body += bytes(reversed(chunk))
    algorithm_id = bytes([der.OID, len(body)]) + body + (b"\x05\x00" if null_parameters else b"")
    algorithm_id = bytes([der.SEQUENCE, len(algorithm_id)]) + algorithm_id
    value = bytes([der.OCTET_STRING, len(digest)]) + digest
    return bytes([der.SEQUENCE, len(algorithm_id) + len(value)]) + algorithm_id + value


def rsa_verify(modulus, exponent, digest_name, digest, signature):
    size = (modulus.bit_length() + 7) // 8
    number = int.from_bytes(signature, "big")
    if len(signature) > size or number >= modulus:
        return False
    block = pow(number, exponent, modulus).to_bytes(size, "big")
    # The parameters' NULL may be left out; both forms are PKCS#1 v1.5.
    for null_parameters in (True, False):
        body = digest_info(digest_name, digest, null_parameters)
        padding = size - len(body) - 3
        if padding >= 8 and block == b"\x00\x01" + b"\xff" * padding + b"\x00" + body:
            return True
    return False


def read_pem(text):
    """The certificates of a PEM text, as DER."""
    found, inside, lines = [], False, []
    for line in text.splitlines():
        line = line.strip()
        if line == "-----BEGIN CERTIFICATE-----":
            inside, lines = True, []
        elif line == "-----END CERTIFICATE-----" and inside:
            found.append(base64.b64decode("".join(lines)))
            inside = False
        elif inside:
            lines.append(line)
    return found
