"""A driver package's catalog (.cat) as Windows checks it at install time.

The catalog is a PKCS#7 SignedData whose content is a certificate trust
list (szOID_CTL) of members, each listing a file by its hash; its signer's
signature covers that list, its certificate chains to a root, and either it
is valid now or a timestamp (a legacy Authenticode countersignature or an
RFC 3161 token) shows it signed while it was valid.
"""
import datetime
import hashlib

from . import der
from .x509 import (DIGESTS, RSA_KEY, RSA_SIGNATURES, SIGNATURE_NAMES, TIME_STAMPING,
                   Certificate, Unsupported, algorithm)

SIGNED_DATA = "1.2.840.113549.1.7.2"
CTL = "1.3.6.1.4.1.311.10.1"
CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
MEMBER_ALGORITHMS = {"1.3.6.1.4.1.311.12.1.2": "sha1", "1.3.6.1.4.1.311.12.1.3": "sha256"}
NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
CONTENT_TYPE = "1.2.840.113549.1.9.3"
MESSAGE_DIGEST = "1.2.840.113549.1.9.4"
SIGNING_TIME = "1.2.840.113549.1.9.5"
COUNTERSIGNATURE = "1.2.840.113549.1.9.6"
RFC3161_TOKEN = "1.3.6.1.4.1.311.3.3.1"
TST_INFO = "1.2.840.113549.1.9.16.1.4"
SUBJECT_KEY_ID = "2.5.29.14"
# Signer usages Windows takes for a driver catalog: code signing, and the
# ones on Microsoft's own driver signatures (WHQL, attestation).
DRIVER_USAGES = ("1.3.6.1.5.5.7.3.3", "1.3.6.1.4.1.311.10.3.5", "1.3.6.1.4.1.311.10.3.5.1",
                 "1.3.6.1.4.1.311.10.3.6")
MICROSOFT_ROOTS = ("Microsoft Root Authority", "Microsoft Root Certificate Authority",
                   "Microsoft Root Certificate Authority 2010",
                   "Microsoft Root Certificate Authority 2011")


class CatalogError(ValueError):
    """The file is not a catalog Windows would read."""


def _attributes(node):
    """{oid: [value nodes]} of an attribute SET (or [0]/[1] IMPLICIT one)."""
    found = {}
    for attribute in node.children():
        kind, values = attribute.children()[:2]
        found.setdefault(der.oid(kind), []).extend(values.expect(der.SET, "attribute values")
                                                   .children())
    return found


def _name_value(node):
    """(name, value) of a CAT_NAMEVALUE: a name, flags and a UTF-16 LE value."""
    name, _, value = node.children()[:3]
    return der.text(name), der.octets(value).decode("utf-16-le", "replace").rstrip("\0")


class Member:
    __slots__ = ("tag", "algorithm", "digest", "attributes")

    def __init__(self, tag, algorithm_name, digest, attributes):
        self.tag, self.algorithm, self.digest, self.attributes = (
            tag, algorithm_name, digest, attributes)


class SignerInfo:
    def __init__(self, node):
        parts = node.expect(der.SEQUENCE, "signer").children()
        self.issuer_raw = self.serial = self.key_id = None
        sid = parts[1]
        if sid.tag == der.SEQUENCE:
            issuer, serial = sid.children()
            self.issuer_raw, self.serial = issuer.raw, der.integer(serial)
        else:
            self.key_id = sid.value
        self.digest_algorithm = algorithm(parts[2])
        at = 3
        self.signed = None
        if parts[at].tag == der.context(0):
            self.signed = parts[at]
            at += 1
        self.signature_algorithm = algorithm(parts[at])
        self.signature = der.octets(parts[at + 1])
        rest = parts[at + 2:]
        self.unsigned = _attributes(rest[0]) if rest and rest[0].tag == der.context(1) else {}
        self.signed_attributes = _attributes(self.signed) if self.signed else {}

    def digest_name(self):
        name = DIGESTS.get(self.digest_algorithm)
        if name is None or name == "md5":
            raise Unsupported(f"digest algorithm {name or self.digest_algorithm}")
        return name

    def certificate(self, certificates):
        for cert in certificates:
            if self.issuer_raw is not None:
                if cert.issuer_raw == self.issuer_raw and cert.serial == self.serial:
                    return cert
            elif SUBJECT_KEY_ID in cert.extensions and \
                    der.parse(cert.extensions[SUBJECT_KEY_ID][1]).value == self.key_id:
                return cert
        return None

    def check(self, content, certificates, content_type=None):
        """(certificate, problems) of this signer's signature over content."""
        cert = self.certificate(certificates)
        if cert is None:
            return None, ["its signer's certificate is not in it"]
        if self.signature_algorithm != RSA_KEY and self.signature_algorithm not in RSA_SIGNATURES:
            raise Unsupported(SIGNATURE_NAMES.get(
                self.signature_algorithm, f"signature algorithm {self.signature_algorithm}"))
        digest_name = self.digest_name()
        digest = hashlib.new(digest_name, content).digest()
        problems = []
        if self.signed is not None:
            digests = self.signed_attributes.get(MESSAGE_DIGEST, [])
            if not digests:
                problems.append("its signed attributes carry no messageDigest")
            elif der.octets(digests[0]) != digest:
                problems.append("its messageDigest is not the hash of its contents: "
                                "they changed after signing")
            types = self.signed_attributes.get(CONTENT_TYPE, [])
            if content_type and (not types or der.oid(types[0]) != content_type):
                problems.append("its signed contentType is not its content's type")
            # The signature covers the attributes encoded as a SET.
            digest = hashlib.new(digest_name, b"\x31" + self.signed.raw[1:]).digest()
        if not cert.verify(digest_name, digest, self.signature):
            problems.append(f"its signature does not verify with the key of {cert.subject}")
        return cert, problems


def _signed_data(node, what):
    """(content type, content node, certificates, signer infos) of a ContentInfo."""
    kind, body = node.expect(der.SEQUENCE, what).children()[:2]
    if der.oid(kind) != SIGNED_DATA:
        raise CatalogError(f"{what} is not PKCS#7 SignedData")
    parts = body.expect(der.context(0), what).children()[0].expect(der.SEQUENCE, what).children()
    encapsulated = parts[2].children()
    content_type = der.oid(encapsulated[0])
    content = encapsulated[1].expect(der.context(0), "content").children()[0] \
        if len(encapsulated) > 1 else None
    certificates, signers = [], None
    for part in parts[3:]:
        if part.tag == der.context(0):
            certificates = [Certificate(c.raw) for c in part.children() if c.tag == der.SEQUENCE]
        elif part.tag == der.SET:
            signers = [SignerInfo(s) for s in part.children()]
    return content_type, content, certificates, signers or []


class Catalog:
    def __init__(self, data):
        try:
            self._parse(data)
        except (der.DerError, IndexError, ValueError) as error:
            raise CatalogError(f"does not parse as a catalog: {error}") from None

    def _parse(self, data):
        content_type, content, self.certificates, self.signers = _signed_data(
            der.parse(data, "catalog"), "the catalog")
        if content_type != CTL:
            raise CatalogError(f"its content is {content_type}, not a certificate trust list")
        if content is None:
            raise CatalogError("it has no trust list")
        if content.tag == der.OCTET_STRING:
            self.signed_content = content.value
            content = der.parse(content.value, "trust list")
        else:
            self.signed_content = content.value
        parts = content.expect(der.SEQUENCE, "trust list").children()
        if parts[0].tag == der.INTEGER:
            parts = parts[1:]
        usages = [der.oid(n) for n in parts[0].children()]
        if CATALOG_LIST not in usages:
            raise CatalogError(f"its trust list is for {', '.join(usages)}, not a catalog")
        at = 1
        while parts[at].tag in (der.OCTET_STRING, der.INTEGER):
            at += 1
        self.this_update = der.time(parts[at])
        at += 1
        if parts[at].tag in (der.UTC_TIME, der.GENERALIZED_TIME):
            at += 1
        self.member_algorithm = MEMBER_ALGORITHMS.get(algorithm(parts[at]))
        at += 1
        self.members = []
        self.attributes = {}
        for part in parts[at:]:
            if part.tag == der.SEQUENCE:
                self.members = [self._member(m) for m in part.children()]
            elif part.tag == der.context(0):
                for extension in part.children()[0].children():
                    fields = extension.children()
                    if der.oid(fields[0]) == NAME_VALUE:
                        name, value = _name_value(der.parse(der.octets(fields[-1])))
                        self.attributes[name.upper()] = value
        self.index = {(m.algorithm, m.digest): m for m in self.members if m.digest}

    @staticmethod
    def _member(node):
        parts = node.children()
        tag = der.octets(parts[0]).decode("utf-16-le", "replace").rstrip("\0")
        attributes = _attributes(parts[1]) if len(parts) > 1 else {}
        name_digest, digest = None, None
        for value in attributes.get(INDIRECT_DATA, []):
            _, message_digest = value.children()[:2]
            algorithm_id, octets = message_digest.children()
            name_digest, digest = DIGESTS.get(algorithm(algorithm_id)), der.octets(octets)
        names = dict(_name_value(v) for v in attributes.get(NAME_VALUE, []))
        return Member(tag, name_digest, digest, names)

    def algorithms(self):
        """The hash algorithms by which the catalog lists its members."""
        found = {m.algorithm for m in self.members if m.algorithm}
        return found or {self.member_algorithm or "sha1"}

    def find(self, digests):
        """The member listing a file whose hashes are digests ({algorithm: digest})."""
        for name, digest in digests.items():
            member = self.index.get((name, digest))
            if member is not None:
                return member
        return None


# ------------------------------------------------------------ signature


class Verdict:
    def __init__(self):
        self.signer = None
        self.chain = []
        self.problems = []
        self.warnings = []
        self.timestamp = None

    def microsoft(self):
        """Whether Microsoft signed the catalog: its signer is Microsoft's and
        its chain reaches one of Microsoft's roots."""
        if not self.signer or ("O", "Microsoft Corporation") not in self.signer.subject_parts:
            return False
        return any(dict(c.issuer_parts).get("CN") in MICROSOFT_ROOTS or
                   dict(c.subject_parts).get("CN") in MICROSOFT_ROOTS for c in self.chain)


def _is_anchor(cert, anchors):
    return any(cert.raw == a.raw or (cert.subject_raw == a.subject_raw and
                                     cert.key_bits == a.key_bits) for a in anchors)


def build_chain(cert, pool, anchors):
    """(chain from cert up, anchor reached or None, problems)."""
    chain, current = [cert], cert
    for _ in range(16):
        if _is_anchor(current, anchors):
            return chain, current, []
        if current.self_issued():
            break
        candidates = [c for c in pool + anchors
                      if c.subject_raw == current.issuer_raw and c.raw != current.raw]
        issuer = None
        for candidate in candidates:
            try:
                if current.signed_by(candidate):
                    issuer = candidate
                    break
            except Unsupported as error:
                return chain, None, [f"{current.subject} is signed with {error}, "
                                     "which this check does not verify"]
        if issuer is None:
            if candidates:
                return chain, None, [f"the signature of {current.subject} does not verify "
                                     f"with the key of its issuer {candidates[0].subject}"]
            break
        if not issuer.may_issue():
            return chain, None, [f"{issuer.subject} issued {current.subject} but is not "
                                 "a certificate authority"]
        chain.append(issuer)
        current = issuer
    return chain, None, []


def _top(chain):
    top = chain[-1]
    return top.subject if top.self_issued() else f"{top.issuer} (not in the catalog)"


def _valid_through(chain, anchor, moment):
    """The first certificate of chain (anchor aside) not valid at moment, or None."""
    for cert in chain:
        if cert is not anchor and not cert.valid_at(moment):
            return cert
    return None


def _day(moment):
    return moment.strftime("%Y-%m-%d %H:%M UTC")


def _timestamp(info, certificates):
    """(time, signer certificate, problems) of the signer's timestamp, or None."""
    for value in info.unsigned.get(COUNTERSIGNATURE, []):
        counter = SignerInfo(value)
        cert, problems = counter.check(info.signature, certificates)
        times = counter.signed_attributes.get(SIGNING_TIME, [])
        if not times:
            problems.append("it has no signing time")
        return (der.time(times[0]) if times else None), cert, \
            [f"its timestamp: {p}" for p in problems]
    for value in info.unsigned.get(RFC3161_TOKEN, []):
        kind, content, token_certificates, signers = _signed_data(value, "the timestamp token")
        if kind != TST_INFO or content is None or not signers:
            return None, None, ["its RFC 3161 timestamp is not a signed TSTInfo"]
        token = der.octets(content)
        cert, problems = signers[0].check(token, token_certificates + certificates, TST_INFO)
        fields = der.parse(token, "TSTInfo").children()
        hash_algorithm, hashed = fields[2].children()
        name = DIGESTS.get(algorithm(hash_algorithm))
        if name is None or hashlib.new(name, info.signature).digest() != der.octets(hashed):
            problems.append("it is not for this catalog's signature")
        return der.time(fields[4]), cert, [f"its timestamp: {p}" for p in problems]
    return None


def verify(catalog, anchors, now=None):
    """The Verdict on a catalog's signature, chain and time."""
    verdict = Verdict()
    now = now or datetime.datetime.now(datetime.timezone.utc)
    if not catalog.signers:
        verdict.problems.append("it is not signed")
        return verdict
    info = catalog.signers[0]
    try:
        signer, problems = info.check(catalog.signed_content, catalog.certificates, CTL)
        verdict.signer = signer
        verdict.problems += problems
        if signer is None:
            return verdict
        if not any(signer.allows(usage) for usage in DRIVER_USAGES):
            verdict.problems.append(f"its signer {signer.subject} is not for code signing "
                                    "(extended key usage)")
        chain, anchor, chain_problems = build_chain(signer, catalog.certificates, anchors)
        verdict.chain = chain
        verdict.problems += chain_problems
        stamp = _timestamp(info, catalog.certificates)
    except Unsupported as error:
        verdict.problems.append(f"its signer uses {error}, which this check does not verify")
        return verdict
    except (der.DerError, IndexError, ValueError) as error:
        verdict.problems.append(f"its signature or timestamp does not parse: {error}")
        return verdict
    if anchors and anchor is None and not chain_problems:
        verdict.problems.append(f"its signer {signer.subject} chains to {_top(chain)}, "
                                "which no --trust certificate is")
    elif not anchors:
        verdict.warnings.append(f"its signer {signer.subject} chains to {_top(chain)}, which "
                                "this check did not verify (give --trust ROOT.pem): Windows "
                                "installs it only if that root is in its trusted roots, and "
                                "asks first unless the publisher is trusted too")
    if stamp is not None:
        moment, stamp_cert, problems = stamp
        verdict.problems += problems
        if stamp_cert is not None and moment is not None and not problems:
            verdict.timestamp = moment
            stamp_chain, stamp_anchor, stamp_problems = build_chain(
                stamp_cert, catalog.certificates + _token_certificates(info), anchors)
            verdict.problems += [f"its timestamp: {p}" for p in stamp_problems]
            if not stamp_cert.allows(TIME_STAMPING):
                verdict.problems.append(f"its timestamp's signer {stamp_cert.subject} is not for "
                                        "timestamping (extended key usage)")
            if anchors and stamp_anchor is None and not stamp_problems:
                verdict.problems.append(f"its timestamp's signer {stamp_cert.subject} chains "
                                        f"to {_top(stamp_chain)}, which no --trust "
                                        "certificate is")
            late = _valid_through(stamp_chain, stamp_anchor, moment)
            if late is not None:
                verdict.problems.append(f"its timestamp's signer {late.subject} was not valid "
                                        f"at the timestamp's time {_day(moment)}")
    expired = _valid_through(chain, anchor, now)
    if expired is not None:
        if verdict.timestamp is None:
            verdict.problems.append(
                f"{expired.subject} is valid only from {_day(expired.not_before)} to "
                f"{_day(expired.not_after)} and the catalog has no valid timestamp, so Windows "
                "refuses it now")
        else:
            late = _valid_through(chain, anchor, verdict.timestamp)
            if late is not None:
                verdict.problems.append(
                    f"it was timestamped at {_day(verdict.timestamp)}, when {late.subject} was "
                    "not valid "
                    f"({_day(late.not_before)} to {_day(late.not_after)})")
    return verdict


def _token_certificates(info):
    certificates = []
    for value in info.unsigned.get(RFC3161_TOKEN, []):
        certificates += _signed_data(value, "the timestamp token")[2]
    return certificates
