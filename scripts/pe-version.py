#!/usr/bin/env python3
"""Prints the version resource of a Windows program, read from the file itself.

    scripts/pe-version.py PROGRAM.exe

Output, one item a line: the fixed file information as
"FixedFileVersion=a.b.c.d" and "FixedProductVersion=a.b.c.d", then every
string of the string tables as "Name=value". Exits with 1 when the file is no
PE image or has no version resource. Standard library only.
"""
import struct
import sys

RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


class NotFound(Exception):
    pass


def u16(data, at):
    return struct.unpack_from("<H", data, at)[0]


def u32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def resource_section(data):
    """Returns (section bytes, RVA of the section start, RVA of the resource directory)."""
    if data[:2] != b"MZ":
        raise NotFound("no MZ header")
    pe = u32(data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise NotFound("no PE signature")
    coff = pe + 4
    sections = u16(data, coff + 2)
    optional_size = u16(data, coff + 16)
    optional = coff + 20
    magic = u16(data, optional)
    # The data directories follow the fixed part: 96 bytes in PE32, 112 in PE32+.
    directories = optional + (112 if magic == 0x20B else 96)
    resource_rva, resource_size = struct.unpack_from("<II", data, directories + 2 * 8)
    if resource_size == 0:
        raise NotFound("no resource directory")
    table = optional + optional_size
    for i in range(sections):
        entry = table + 40 * i
        virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<IIII", data, entry + 8)
        if virtual_address <= resource_rva < virtual_address + max(virtual_size, raw_size):
            return data[raw_pointer:raw_pointer + raw_size], virtual_address, resource_rva
    raise NotFound("resource directory outside every section")


def version_block(data):
    section, section_rva, root_rva = resource_section(data)
    root = root_rva - section_rva

    def entries(directory):
        named, numbered = u16(section, directory + 12), u16(section, directory + 14)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", section, directory + 16 + 8 * i)
            yield name, target

    # Type, then name, then language: the first version resource found.
    for type_id, target in entries(root):
        if type_id != RT_VERSION or not target & 0x80000000:
            continue
        for _, name_target in entries(root + (target & 0x7FFFFFFF)):
            node = root + (name_target & 0x7FFFFFFF)
            if name_target & 0x80000000:
                _, language_target = next(entries(node))
                node = root + (language_target & 0x7FFFFFFF)
            data_rva, size = struct.unpack_from("<II", section, node)
            start = data_rva - section_rva
            return section[start:start + size]
    raise NotFound("no version resource")


def align4(at):
    return (at + 3) & ~3


def parse_node(block, at):
    """Returns (key, value bytes, value type, children start, node end)."""
    length, value_length, value_type = struct.unpack_from("<HHH", block, at)
    end = at + length
    key_start = at + 6
    key_end = key_start
    while block[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = block[key_start:key_end].decode("utf-16-le")
    value_start = align4(key_end + 2)
    value_bytes = value_length * 2 if value_type == 1 else value_length
    value = block[value_start:value_start + value_bytes]
    return key, value, value_type, align4(value_start + value_bytes), end


def children(block, start, end):
    at = start
    while at + 6 <= end:
        length = u16(block, at)
        if length == 0:
            break
        yield at
        at = align4(at + length)


def dotted(high, low):
    return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    with open(argv[1], "rb") as program:
        data = program.read()
    try:
        block = version_block(data)
    except (NotFound, struct.error, StopIteration) as error:
        print(f"pe-version: {argv[1]}: {error or 'damaged resource directory'}", file=sys.stderr)
        return 1
    key, fixed, _, first_child, end = parse_node(block, 0)
    if key != "VS_VERSION_INFO" or len(fixed) < 52 or u32(fixed, 0) != FIXED_SIGNATURE:
        print(f"pe-version: {argv[1]}: no fixed file information", file=sys.stderr)
        return 1
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", fixed, 8)
    print(f"FixedFileVersion={dotted(file_ms, file_ls)}")
    print(f"FixedProductVersion={dotted(product_ms, product_ls)}")
    for child in children(block, first_child, end):
        child_key, _, _, tables_start, child_end = parse_node(block, child)
        if child_key != "StringFileInfo":
            continue
        for table in children(block, tables_start, child_end):
            _, _, _, strings_start, table_end = parse_node(block, table)
            for string in children(block, strings_start, table_end):
                name, value, _, _, _ = parse_node(block, string)
                print(f"{name}={value.decode('utf-16-le').rstrip(chr(0))}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
