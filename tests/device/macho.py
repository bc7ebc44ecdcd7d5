"""A small reader of 64-bit Mach-O files, as far as the device checks need:
load commands, segments and sections, the symbol table, the dyld-info
rebases, binds and export trie, and the code signature."""

import struct
from dataclasses import dataclass, field

MH_MAGIC_64 = 0xFEEDFACF
CPU_TYPE_ARM64 = 0x0100000C
MH_DYLIB, MH_BUNDLE = 6, 8
MH_TWOLEVEL = 0x80

LC_SYMTAB = 0x2
LC_DYSYMTAB = 0xB
LC_LOAD_DYLIB = 0xC
LC_ID_DYLIB = 0xD
LC_RPATH = 0x8000001C
LC_LOAD_WEAK_DYLIB = 0x80000018
LC_SEGMENT_64 = 0x19
LC_CODE_SIGNATURE = 0x1D
LC_DYLD_INFO = 0x22
LC_DYLD_INFO_ONLY = 0x80000022
LC_VERSION_MIN_IPHONEOS = 0x25
LC_BUILD_VERSION = 0x32
LC_DYLD_CHAINED_FIXUPS = 0x80000034

# Library ordinals with a meaning of their own.
ORDINAL_SELF, ORDINAL_MAIN, ORDINAL_FLAT = 0, -1, -2


@dataclass
class Section:
    segment: str
    name: str
    addr: int
    size: int
    offset: int


@dataclass
class Segment:
    name: str
    vmaddr: int
    vmsize: int
    fileoff: int
    filesize: int
    prot: int


@dataclass
class Dylib:
    """A library that a load command names, with the versions it states:
    what a load command requires, or what LC_ID_DYLIB provides."""
    name: str
    weak: bool
    current: str
    compatibility: str


@dataclass
class Bind:
    address: int
    ordinal: int
    symbol: str
    addend: int
    weak_import: bool
    kind: str  # "bind", "lazy" or "weak"


@dataclass
class Symbol:
    name: str
    type: int
    sect: int
    desc: int
    value: int

    @property
    def external(self):
        return bool(self.type & 0x01)

    @property
    def defined(self):
        return (self.type & 0x0E) == 0x0E


@dataclass
class Image:
    path: str
    data: bytes
    cputype: int = 0
    cpusubtype: int = 0
    filetype: int = 0
    flags: int = 0
    commands: list = field(default_factory=list)  # (cmd, offset, size)
    segments: list = field(default_factory=list)
    sections: list = field(default_factory=list)
    dylibs: list = field(default_factory=list)  # Dylib, ordinal = index + 1
    rpaths: list = field(default_factory=list)  # LC_RPATH paths, in order
    identity: Dylib = None  # LC_ID_DYLIB
    install_name: str = None
    minimum_os: str = None
    sdk: str = None
    symbols: list = field(default_factory=list)
    rebases: list = field(default_factory=list)
    binds: list = field(default_factory=list)
    exports: list = field(default_factory=list)
    signature: tuple = None  # (offset, size)
    has_chained_fixups: bool = False

    def section(self, segment, name):
        for s in self.sections:
            if s.segment == segment and s.name == name:
                return s
        return None

    def read(self, address, size):
        """Bytes of the file at a virtual address."""
        for seg in self.segments:
            if seg.vmaddr <= address < seg.vmaddr + seg.filesize:
                start = seg.fileoff + address - seg.vmaddr
                return self.data[start:start + size]
        raise ValueError(f"{self.path}: address {address:#x} is in no segment")

    def pointer(self, address):
        return struct.unpack("<Q", self.read(address, 8))[0]

    def cstring(self, address):
        """The C string at a virtual address."""
        for seg in self.segments:
            if seg.vmaddr <= address < seg.vmaddr + seg.filesize:
                return _cstring(self.data, seg.fileoff + address - seg.vmaddr)
        raise ValueError(f"{self.path}: address {address:#x} is in no segment")

    def symbol_at(self, address):
        names = [s.name for s in self.symbols if s.value == address and s.defined]
        return names[0] if names else None

    def symbol(self, name):
        for s in self.symbols:
            if s.name == name and s.defined:
                return s.value
        raise KeyError(f"{self.path}: no symbol {name}")


def _cstring(data, offset):
    end = data.index(b"\0", offset)
    return data[offset:end].decode()


def _uleb(data, i):
    result = shift = 0
    while True:
        byte = data[i]
        i += 1
        result |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return result, i


def _sleb(data, i):
    result = shift = 0
    while True:
        byte = data[i]
        i += 1
        result |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            if byte & 0x40:
                result -= 1 << shift
            return result, i


def _version(v):
    return f"{v >> 16}.{(v >> 8) & 0xFF}" + (f".{v & 0xFF}" if v & 0xFF else "")


def version_number(text):
    """A version "X.Y.Z" (Y and Z optional) as the 32-bit number that load
    commands hold: X in the top 16 bits, then Y and Z in 8 bits each."""
    parts = [int(p) for p in text.split(".")] + [0, 0]
    return (parts[0] << 16) | (parts[1] << 8) | parts[2]


def _dylib(data, at, weak):
    """struct dylib_command: the name, then timestamp, current and
    compatibility versions."""
    name_off, _, current, compatibility = struct.unpack_from("<4I", data, at + 8)
    return Dylib(_cstring(data, at + name_off), weak, _version(current), _version(compatibility))


def _rebases(image, data):
    out, i = [], 0
    seg, offset = 0, 0
    while i < len(data):
        byte = data[i]
        i += 1
        op, imm = byte & 0xF0, byte & 0x0F
        base = lambda: image.segments[seg].vmaddr + offset
        if op == 0x00:
            break
        elif op == 0x10:
            pass  # type: pointers only
        elif op == 0x20:
            seg = imm
            offset, i = _uleb(data, i)
        elif op == 0x30:
            n, i = _uleb(data, i)
            offset += n
        elif op == 0x40:
            offset += imm * 8
        elif op == 0x50:
            for _ in range(imm):
                out.append(base())
                offset += 8
        elif op == 0x60:
            n, i = _uleb(data, i)
            for _ in range(n):
                out.append(base())
                offset += 8
        elif op == 0x70:
            out.append(base())
            n, i = _uleb(data, i)
            offset += 8 + n
        elif op == 0x80:
            count, i = _uleb(data, i)
            skip, i = _uleb(data, i)
            for _ in range(count):
                out.append(base())
                offset += 8 + skip
        else:
            raise ValueError(f"{image.path}: rebase opcode {op:#x}")
    return out


def _binds(image, data, kind):
    out, i = [], 0
    seg = offset = ordinal = addend = 0
    symbol, weak_import = "", False
    while i < len(data):
        byte = data[i]
        i += 1
        op, imm = byte & 0xF0, byte & 0x0F

        def bind():
            out.append(Bind(image.segments[seg].vmaddr + offset, ordinal, symbol, addend,
                            weak_import, kind))

        if op == 0x00:
            if kind != "lazy":
                break
        elif op == 0x10:
            ordinal = imm
        elif op == 0x20:
            ordinal, i = _uleb(data, i)
        elif op == 0x30:
            ordinal = imm - 16 if imm else 0  # sign-extended: 0xF -> -1, 0xE -> -2
        elif op == 0x40:
            weak_import = bool(imm & 0x1)
            end = data.index(b"\0", i)
            symbol = data[i:end].decode()
            i = end + 1
        elif op == 0x50:
            pass
        elif op == 0x60:
            addend, i = _sleb(data, i)
        elif op == 0x70:
            seg = imm
            offset, i = _uleb(data, i)
        elif op == 0x80:
            n, i = _uleb(data, i)
            offset += n
        elif op == 0x90:
            bind()
            offset += 8
        elif op == 0xA0:
            bind()
            n, i = _uleb(data, i)
            offset += 8 + n
        elif op == 0xB0:
            bind()
            offset += 8 + imm * 8
        elif op == 0xC0:
            count, i = _uleb(data, i)
            skip, i = _uleb(data, i)
            for _ in range(count):
                bind()
                offset += 8 + skip
        else:
            raise ValueError(f"{image.path}: bind opcode {op:#x}")
    return out


def _exports(data):
    names = []

    def walk(node, prefix):
        size, i = _uleb(data, node)
        if size:
            names.append(prefix)
        i += size
        count = data[i]
        i += 1
        for _ in range(count):
            end = data.index(b"\0", i)
            edge = data[i:end].decode()
            child, i = _uleb(data, end + 1)
            walk(child, prefix + edge)

    if data:
        walk(0, "")
    return names


def load(path):
    with open(path, "rb") as f:
        data = f.read()
    image = Image(path, data)
    magic, image.cputype, image.cpusubtype, image.filetype, ncmds, _, image.flags, _ = \
        struct.unpack_from("<8I", data, 0)
    if magic != MH_MAGIC_64:
        raise ValueError(f"{path}: not a 64-bit Mach-O file (magic {magic:#x})")
    at = 32
    dyld_info = None
    for _ in range(ncmds):
        cmd, size = struct.unpack_from("<2I", data, at)
        image.commands.append((cmd, at, size))
        if cmd == LC_SEGMENT_64:
            name = data[at + 8:at + 24].rstrip(b"\0").decode()
            vmaddr, vmsize, fileoff, filesize, _, prot, nsects, _ = \
                struct.unpack_from("<4Q4I", data, at + 24)
            image.segments.append(Segment(name, vmaddr, vmsize, fileoff, filesize, prot))
            for k in range(nsects):
                s = at + 72 + 80 * k
                sect = data[s:s + 16].rstrip(b"\0").decode()
                seg = data[s + 16:s + 32].rstrip(b"\0").decode()
                addr, ssize, offset = struct.unpack_from("<2QI", data, s + 32)
                image.sections.append(Section(seg, sect, addr, ssize, offset))
        elif cmd in (LC_LOAD_DYLIB, LC_LOAD_WEAK_DYLIB):
            image.dylibs.append(_dylib(data, at, cmd == LC_LOAD_WEAK_DYLIB))
        elif cmd == LC_RPATH:
            # rpath_command: cmd, cmdsize, path (offset from the command)
            image.rpaths.append(_cstring(data, at + struct.unpack_from("<I", data, at + 8)[0]))
        elif cmd == LC_ID_DYLIB:
            image.identity = _dylib(data, at, False)
            image.install_name = image.identity.name
        elif cmd in (LC_VERSION_MIN_IPHONEOS, LC_BUILD_VERSION):
            # version_min_command: version, sdk; build_version_command:
            # platform (2: iOS), then the same two.
            platform, fields = (2, at + 8) if cmd == LC_VERSION_MIN_IPHONEOS else \
                (struct.unpack_from("<I", data, at + 8)[0], at + 12)
            if platform == 2:
                version, sdk = struct.unpack_from("<2I", data, fields)
                image.minimum_os, image.sdk = _version(version), _version(sdk)
        elif cmd in (LC_DYLD_INFO, LC_DYLD_INFO_ONLY):
            dyld_info = struct.unpack_from("<10I", data, at + 8)
        elif cmd == LC_DYLD_CHAINED_FIXUPS:
            image.has_chained_fixups = True
        elif cmd == LC_SYMTAB:
            symoff, nsyms, stroff, _ = struct.unpack_from("<4I", data, at + 8)
            for k in range(nsyms):
                strx, ntype, sect, desc, value = struct.unpack_from("<IBBhQ", data, symoff + 16 * k)
                image.symbols.append(Symbol(_cstring(data, stroff + strx), ntype, sect, desc, value))
        elif cmd == LC_CODE_SIGNATURE:
            image.signature = struct.unpack_from("<2I", data, at + 8)
        at += size

    if dyld_info:
        r_off, r_size, b_off, b_size, w_off, w_size, l_off, l_size, e_off, e_size = dyld_info
        image.rebases = _rebases(image, data[r_off:r_off + r_size])
        image.binds = (_binds(image, data[b_off:b_off + b_size], "bind") +
                       _binds(image, data[w_off:w_off + w_size], "weak") +
                       _binds(image, data[l_off:l_off + l_size], "lazy"))
        image.exports = _exports(data[e_off:e_off + e_size])
    return image
