"""What the packaging's Wine tests look at in a prefix: registry values, the local machine's certificate stores
(read from the registry, where Wine keeps them, so that the product's own code is not the only witness), the
driver packages in C:\\windows\\inf, and qelmdrv.exe's record."""

import os
import subprocess

RECORD_KEY = r"HKLM\Software\Tavrelmond\WinUSB"
STORE_KEY = r"HKLM\Software\Microsoft\SystemCertificates\{}\Certificates"
SIGNING_KEY_CONTAINER = "Tavrelmond WinUSB package signing key"
# Where Wine's RSA provider keeps machine key containers.
WINE_MACHINE_KEYS = r"HKLM\Software\Wine\Crypto\RSA"
CERT_PROPERTY_ENCODED = 0x20


def reg_values(session, key):
    """The values of a registry key as {name: data}, or None when the key does not exist."""
    r = session.run(["reg", "query", key])
    if r.returncode != 0:
        return None
    values = {}
    for line in r.stdout.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[1].startswith("REG_"):
            values[parts[0]] = parts[2] if len(parts) == 3 else ""
    return values


def reg_subkeys(session, key):
    r = session.run(["reg", "query", key])
    if r.returncode != 0:
        return []
    prefix = key.split("\\", 1)[1].lower()
    return [line.strip().rsplit("\\", 1)[1] for line in r.stdout.splitlines()
            if line.strip().lower().startswith("hkey_local_machine\\" + prefix + "\\")]


def record(session):
    """qelmdrv's record: {'CertificateThumbprint': ..., 'PublishedInf': ...}, or None."""
    return reg_values(session, RECORD_KEY)


def stores_holding(session, thumbprint):
    """The stores among Root and TrustedPublisher whose registry holds the certificate."""
    return [name for name in ("Root", "TrustedPublisher")
            if reg_values(session, STORE_KEY.format(name) + "\\" + thumbprint) is not None]


def exported_certificate(session, thumbprint, store="Root"):
    """The certificate (DER) as the store keeps it: the encoded-certificate property of its serialized blob."""
    blob = reg_values(session, STORE_KEY.format(store) + "\\" + thumbprint)
    if not blob or "Blob" not in blob:
        return None
    data = bytes.fromhex(blob["Blob"])
    pos = 0
    while pos + 12 <= len(data):
        prop = int.from_bytes(data[pos:pos + 4], "little")
        length = int.from_bytes(data[pos + 8:pos + 12], "little")
        if prop == CERT_PROPERTY_ENCODED:
            return data[pos + 12:pos + 12 + length]
        pos += 12 + length
    return None


def der_to_pem(der, path):
    with open(path + ".der", "wb") as f:
        f.write(der)
    subprocess.run(["openssl", "x509", "-inform", "DER", "-in", path + ".der", "-out", path], check=True)
    return path


def inf_folder(session):
    return os.path.join(session.prefix, "drive_c", "windows", "inf")


def published_infs(session, original_text):
    """The INFs in C:\\windows\\inf whose text is original_text (how a published package is found on disk)."""
    folder = inf_folder(session)
    found = []
    for name in sorted(os.listdir(folder)):
        if name.lower().endswith(".inf"):
            with open(os.path.join(folder, name), "rb") as f:
                if f.read() == original_text:
                    found.append(name)
    return found
