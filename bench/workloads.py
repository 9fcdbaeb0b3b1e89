"""Writes the benchmark workloads into the directory given as argument."""
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


def parameter_file(name, lines, size_per_line, matching_every=None, all_match=False):
    filler = "v" * max(1, size_per_line - 20)
    with open(os.path.join(directory, name), "w") as f:
        for i in range(lines):
            if all_match:
                f.write("TLS_KEY=old\n" if i % 2 == 0 else "tls_cert=old\n")
            elif matching_every and i == lines // 3:
                f.write("TLS_KEY=old\n")
            elif matching_every and i == 2 * lines // 3:
                f.write("TLS_CERT=old\n")
            else:
                f.write(f"param_{i:07d}={filler}\n")


parameter_file("typical.conf", 300, 30, matching_every=True)
parameter_file("large.conf", 1_000_000, 65, matching_every=True)
parameter_file("small.conf", 100_000, 65, matching_every=True)
parameter_file("many.conf", 20_000, 0, all_match=True)
