"""Writes the benchmark workloads into the directory given as argument: the
credentials under certkeep/ and each parameter file as it is before a renewal."""
import os
import random
import sys

directory = sys.argv[1]
rng = random.Random(1)


def pem(label, size):
    body = "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
                   for _ in range(size))
    lines = [body[i:i + 64] for i in range(0, len(body), 64)]
    return f"-----BEGIN {label}-----\n" + "\n".join(lines) + f"\n-----END {label}-----\n"


os.makedirs(os.path.join(directory, "certkeep"), exist_ok=True)
# About 1.6 KB and 1.2 KB of PEM text.
with open(os.path.join(directory, "certkeep/latest.key"), "w") as f:
    f.write(pem("PRIVATE KEY", 1540))
with open(os.path.join(directory, "certkeep/latest.crt"), "w") as f:
    f.write(pem("CERTIFICATE", 1150))


def parameter_file(name, lines, size_per_line, pairs_at=None):
    """`pairs_at` places the TLS_KEY and TLS_CERT lines: "thirds" (a third and
    two thirds of the way in), "start" (the first two lines), "end" (the last
    two), or None for a file of nothing but matching lines."""
    filler = "v" * max(1, size_per_line - 20)
    key_line, cert_line = {"thirds": (lines // 3, 2 * lines // 3), "start": (0, 1),
                           "end": (lines - 2, lines - 1), None: (-1, -1)}[pairs_at]
    with open(os.path.join(directory, name), "w") as f:
        for i in range(lines):
            if pairs_at is None:
                f.write("TLS_KEY=old\n" if i % 2 == 0 else "tls_cert=old\n")
            elif i == key_line:
                f.write("TLS_KEY=old\n")
            elif i == cert_line:
                f.write("TLS_CERT=old\n")
            else:
                f.write(f"param_{i:07d}={filler}\n")


parameter_file("typical.conf", 300, 30, "thirds")
for where in ("end", "start"):
    parameter_file(f"large-{where}.conf", 1_000_000, 65, where)
    parameter_file(f"small-{where}.conf", 100_000, 65, where)
parameter_file("many.conf", 20_000, 0)
