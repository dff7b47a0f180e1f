#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the seed corpus of every fuzz target into corpus/<target>/ (small files).

Run from anywhere: python3 fuzz/make_seeds.py. Seeds are deterministic, so re-running it changes
nothing; inputs that once found a fault are added to the corpus folders by hand and kept.
"""
import bz2
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def be32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)


def archive(members, product=(b"app", b"2.0"), old_layout=False, signatures=(), count=None):
    """An archive as the writer lays it out: header, product block, data, index; `signatures`
    (algorithm, data) pairs fill the signature area, whose count field may be set apart."""
    if old_layout:
        head = b"UPK1" + b"\0" * 4
    else:
        block = be32(104) + be32(1) + product[0] + b"\0" + product[1] + b"\0"
        block += b"\0" * (104 - len(block))
        area = b"".join(be32(alg) + be32(len(data)) + data for alg, data in signatures)
        count = len(signatures) if count is None else count
        head = b"UPK1" + b"\0" * 4 + b"\0" * 8 + be32(count) + area + be32(1) + block
    data = b""
    index = b""
    offset = len(head)
    for name, stored, mode in members:
        index += be32(offset) + be32(len(stored)) + be32(mode) + name + b"\0"
        data += stored
        offset += len(stored)
    index_offset = len(head) + len(data)
    body = head + data + be32(len(index)) + index
    body = body[:4] + be32(index_offset) + body[8:]
    if not old_layout:
        body = body[:8] + struct.pack(">Q", index_offset + 4 + len(index)) + body[16:]
    return body


def patch(source, dest_parts, control, diff, extra, dest_length=None, magic=b"KBDIFF10"):
    crc = bzip2_crc(source)
    if dest_length is None:
        dest_length = dest_parts
    ctrl = b"".join(be32(x) + be32(y) + struct.pack(">i", z) for x, y, z in control)
    return (magic + be32(len(source)) + be32(crc) + be32(dest_length) + be32(len(ctrl)) +
            be32(len(diff)) + be32(len(extra)) + ctrl + diff + extra)


def bzip2_crc(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else (crc << 1)
            crc &= 0xFFFFFFFF
    return crc ^ 0xFFFFFFFF


def patch_input(source, patch_bytes):
    return struct.pack(">H", len(source)) + source + patch_bytes


def main():
    # --- archive index and item reads
    bz_manifest = bz2.compress(b'add "bin/app"\n')
    good = archive([(b"updatev3.manifest", bz_manifest, 0o644), (b"bin/app", bz2.compress(b"x" * 100), 0o755)])
    put("upk_index", "writer_layout", good)
    put("upk_index", "old_layout", archive([(b"a", b"stored", 0o644)], old_layout=True))
    put("upk_index", "same_bucket_and_twice", archive([(b"a", b"1", 0o644), (b"a", b"2", 0o600),
                                                       (b"\x01\xb1", b"3", 0o644)]))
    put("upk_index", "stray_bytes", good + b"\0\0\0")
    no_nul = bytearray(good)
    no_nul[-1] = ord("x")
    put("upk_index", "name_without_nul", bytes(no_nul))
    put("upk_index", "index_past_end", good[:4] + be32(0x7FFFFFF0) + good[8:])
    put("upk_index", "item_past_end", archive([(b"big", b"", 0o644)]).replace(be32(0) + be32(0o644), be32(0x7FFFFFFF) + be32(0o644)))
    put("upk_index", "empty", b"")
    put("upk_index", "bad_magic", b"UPK2" + good[4:])

    # --- one member's decompression
    put("extract_item", "hello", bz2.compress(b"hello world\n"))
    put("extract_item", "empty_stream", bz2.compress(b""))
    put("extract_item", "two_streams", bz2.compress(b"first") + bz2.compress(b"second"))
    put("extract_item", "cut_short", bz2.compress(b"some text " * 20)[:-10])
    put("extract_item", "several_blocks", bz2.compress(b"abc" * 120000))
    put("extract_item", "beyond_cap", bz2.compress(b"\0" * 3000000))
    put("extract_item", "not_bzip2", b"plain bytes, not compressed")
    put("extract_item", "empty_member", b"")
    flipped = bytearray(bz2.compress(b"flip a byte in the middle" * 10))
    flipped[len(flipped) // 2] ^= 0x40
    put("extract_item", "flipped_byte", bytes(flipped))

    # --- patches: a 2-byte source length, the source, the patch
    src = bytes([0x10, 0x20, 0xFF])
    put("patch", "add_three", patch_input(src, patch(src, 3, [(3, 0, 0)], bytes([1, 0, 2]), b"")))
    text = b"hello world, hello patch"
    put("patch", "negative_seek", patch_input(text, patch(text, 10 + 3 + 5, [(5, 3, -5), (5, 0, 0)],
                                                          b"\0" * 10, b"abc")))
    put("patch", "seek_to_end", patch_input(text, patch(text, 2, [(0, 2, len(text))], b"", b"zz")))
    put("patch", "seek_past_end", patch_input(text, patch(text, 0, [(0, 0, len(text) + 1)], b"", b"")))
    put("patch", "add_too_long", patch_input(src, patch(src, 4, [(4, 0, 0)], b"\0" * 4, b"")))
    put("patch", "leftover_bytes", patch_input(src, patch(src, 1, [(1, 0, 0)], b"\0\0\0", b"xyz")))
    put("patch", "nothing_but_seek", patch_input(src, patch(src, 0, [(0, 0, 2), (0, 0, -2)], b"", b"")))
    good_patch = patch(src, 3, [(3, 0, 0)], bytes([1, 0, 2]), b"")
    put("patch", "bad_magic", patch_input(src, b"KBDIFF11" + good_patch[8:]))
    put("patch", "one_byte_long", patch_input(src, good_patch + b"\0"))
    put("patch", "one_byte_short", patch_input(src, good_patch[:-1]))
    put("patch", "short_header", patch_input(src, good_patch[:20]))
    put("patch", "partial_triple", patch_input(src, patch(src, 3, [(3, 0, 0)], b"\0\0\0", b"")[:32 + 12 - 4]))
    put("patch", "wrong_dest_length", patch_input(src, patch(src, 3, [(3, 0, 0)], b"\0\0\0", b"", dest_length=9)))
    put("patch", "empty_source", patch_input(b"", patch(b"", 4, [(0, 4, 0)], b"", b"new!")))

    # --- versions: up to three strings separated by NUL
    for i, trio in enumerate([("1.0", "1.0.0", "1"), ("1.10", "1.9", "1.9.1"), ("1.0pre1", "1.0", "1.0a"),
                              ("1.0a1", "1.0a2", "1.0b"), ("1.0+", "1.1pre", "1.0"),
                              ("*", "2147483647", "99999999999"), ("-1.x9z", " 3.+", "1..2"),
                              ("1.0a-3tail", "1.0a+3", "1.0a3")]):
        put("versions", "trio%d" % i, "\0".join(trio))

    # --- write and read back
    put("roundtrip", "one_member", b"\x00\x05abcde\x00\x10" + b"content" * 3 + b"\x01\xa4\x03app\x031.0")
    put("roundtrip", "several", bytes(range(256)) * 2)
    put("roundtrip", "long_product", b"\x02\x01a\x00\x01x\x01\xed\x01\x01q\x00\x01" + b"\x46" + b"p" * 70 + b"\x05" + b"1.2.3")

    # --- manifests, optionally followed by NUL and a precomplete file
    put("manifest", "every_instruction",
        'type "partial"\n# comment\nadd "bin/app"\nadd-if "bin/app" "bin/extra"\n'
        'add-if-not "missing" "bin/new"\npatch "0.patch" "lib/x"\npatch-if "lib/x" "1.patch" "lib/y"\n'
        'remove "old/file"\nrmdir "old/"\nrmrfdir "d/"\n')
    put("manifest", "complete_with_precomplete",
        'type "complete"\r\nadd "a"\r\n\0remove "x"\r\nremove-cc "y"\nrmdir "z/"\n# c\n')
    put("manifest", "bad_precomplete", 'type "complete"\nadd "a"\n\0bogus "x"\n')
    put("manifest", "refused_paths", 'remove "/etc/passwd"\n')
    put("manifest", "dotdot", 'add "a/../b"\n')
    put("manifest", "rmdir_without_slash", 'rmdir "a/b"\n')
    put("manifest", "rmrfdir_link", 'rmrfdir "d/l/"\n')
    put("manifest", "rmrfdir_missing", 'rmrfdir "nothing/"\nrmrfdir "d"\n')
    put("manifest", "patch_without_separator", 'patch "p""f"\n')
    put("manifest", "type_later", 'add "a"\ntype "complete"\n')
    put("manifest", "blank_line_of_spaces", 'add "a"\n   \n')
    put("manifest", "cr_only", 'add "a"\radd "b"\r\rremove "c"')
    put("manifest", "links",
        'type "complete"\naddsymlink "lib/libfoo.so.1" "libfoo.so.1.2"\naddsymlink "share/lib" "../lib"\n'
        '\0remove "lib/libfoo.so.1"\n')
    put("manifest", "links_refused",
        'addsymlink "l" "/etc/passwd"\naddsymlink "a/l" "../../x"\naddsymlink "a/l" "./../b/./c"\n')
    put("manifest", "link_without_target", 'addsymlink "l"\naddsymlink "l" ""\naddsymlink "../l" "x"\n')

    # --- signature area and key files (the same inputs are read both ways)
    import base64
    import hashlib
    members = [(b"updatev3.manifest", bz_manifest, 0o644)]
    key = bytes(range(32))
    key_id = hashlib.blake2b(key, digest_size=32).digest()[:8]
    ed = lambda kid, sig=b"\x5a" * 64: (1, kid + sig)
    put("signature", "unsigned", archive(members))
    put("signature", "one_signature", archive(members, signatures=[ed(key_id)]))
    put("signature", "two_and_unknown", archive(members, signatures=[ed(b"\x01" * 8), (7, b"other"),
                                                                      ed(key_id)]))
    put("signature", "short_entry", archive(members, signatures=[(1, key_id + b"\x00" * 10)]))
    put("signature", "nine_entries", archive(members, signatures=[ed(key_id)] * 9))
    put("signature", "count_past_entries", archive(members, signatures=[ed(key_id)], count=2))
    put("signature", "old_layout", archive([(b"a", b"stored", 0o644)], old_layout=True))
    inside = bytearray(archive(members, signatures=[ed(key_id)]))
    index_at = struct.unpack(">I", bytes(inside[4:8]))[0]
    inside[index_at + 4:index_at + 8] = be32(20)  # the member's data begins in the signature area
    put("signature", "member_in_signature_area", bytes(inside))
    b64 = base64.b64encode(key).decode()
    put("signature", "public_key", "# upk public key " + key_id.hex() + "\n" + b64 + "\n")
    put("signature", "public_key_crlf", "# a key\r\n\r\n " + b64 + "\r\n")
    put("signature", "two_key_lines", "# a key\n" + b64 + "\n" + b64 + "\n")
    put("signature", "secret_key_damaged",
        "# upk secret key\n" + base64.b64encode(bytes(64)).decode() + "\n")
    put("signature", "not_base64", "# a key\nAAAA====\n")

    # --- strings files
    put("strings_file", "plain", "[Strings]\nTitle=Updating\nInfo=Please wait\n")
    put("strings_file", "crlf_comments", "; c\r\n# c\r\n[Strings]\r\nTitle= spaced=value\r\nInfo=\r\n")
    put("strings_file", "other_section", "[strings]\nTitle=a\nInfo=b\n[Other]\nTitle=c\n")
    put("strings_file", "header_with_junk", "[Strings] ; c\nTitle=a\nInfo=b\n[Strings\nTitle=c\n")
    put("strings_file", "long_value", "[Strings]\nTitle=" + "t" * 700 + "\nInfo=i\n")
    put("strings_file", "twice", "[Strings]\nTitle=1\nTitle=2\n")
    put("strings_file", "empty", "")


if __name__ == "__main__":
    main()
