"""Runs the deliverables' arm64 code without a device: Unicorn executes the
instructions; a small loader maps each image's segments, slides its
rebased pointers and binds each import to a fake written here in Python;
the fakes stand for the device's libraries and record what is asked of
them, in order, in `Machine.log`."""

import struct

from unicorn import UC_ARCH_ARM64, UC_HOOK_CODE, UC_MODE_ARM, Uc, UcError
from unicorn import arm64_const as arm

import macho
from deliverables import SPARKAPPLIST, SUBSTRATE

# The libraries of the jailbreak, not of the OS: under its root.
JAILBREAK_LIBRARIES = {SUBSTRATE, SPARKAPPLIST}

PAGE = 0x4000
RET = struct.pack("<I", 0xD65F03C0)
FAKE_CODE, FAKE_DATA, HEAP, STACK = 0x3_0000_0000, 0x3_1000_0000, 0x4_0000_0000, 0x5_0000_0000
HEAP_SIZE, STACK_SIZE = 0x100_0000, 0x10_0000
X = [getattr(arm, f"UC_ARM64_REG_X{i}") for i in range(9)]
D = [getattr(arm, f"UC_ARM64_REG_D{i}") for i in range(8)]


class EmulationError(Exception):
    pass


def _align(value, to):
    return (value + to - 1) & ~(to - 1)


class Library:
    """A library of the phone as the loader finds it: its compatibility
    version (LC_ID_DYLIB), the symbols it defines (name -> address of the
    fake) and the classes it brings."""

    def __init__(self, compatibility, classes=()):
        self.compatibility = compatibility
        self.symbols = {}
        self.classes = set(classes)


class Class:
    def __init__(self, machine, name, superclass, meta=None):
        self.name, self.superclass = name, superclass
        self.methods = {}  # selector -> emulated implementation (address)
        self.ivars = {}  # name -> (offset, address of the Ivar handle)
        self.instance_size = 8
        self.registered = False  # by objc_registerClassPair
        self.address = machine.alloc(64)
        self.meta = meta
        machine.classes[self.address] = self
        if meta is not None:
            machine.write_u64(self.address, meta.address)

    def lookup(self, selector):
        cls = self
        while cls is not None:
            if selector in cls.methods:
                return cls.methods[selector]
            cls = cls.superclass
        return None


class Object:
    """A fake object of the device's libraries: its class name and state."""

    def __init__(self, kind, **state):
        self.kind = kind
        self.__dict__.update(state)


# The images the home screen loads of its own, besides the deliverables'.
HOME_SCREEN_IMAGES = (
    "/usr/lib/libobjc.A.dylib", "/usr/lib/libSystem.B.dylib",
    "/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation",
    "/System/Library/Frameworks/Foundation.framework/Foundation",
    "/System/Library/Frameworks/UIKit.framework/UIKit",
    "/System/Library/PrivateFrameworks/ControlCenterUIKit.framework/ControlCenterUIKit")


class Device:
    """What the processes of one phone share: its files (device path ->
    property list, a dict for a dictionary) and the preferences daemon,
    cfprefsd, one for the whole phone: `cfprefsd` holds its copy of each
    domain it was asked about, read from the file on that first use and
    kept (since iOS 8 it does not follow writes of the file behind its
    back: the iPhone Development Wiki, "Preferences")."""

    def __init__(self, files=None):
        self.files = dict(files or {})
        self.cfprefsd = {}

    def domain(self, name):
        """cfprefsd's copy of domain `name`."""
        if name not in self.cfprefsd:
            stored = self.files.get(f"/var/mobile/Library/Preferences/{name}.plist")
            self.cfprefsd[name] = dict(stored) if isinstance(stored, dict) else {}
        return self.cfprefsd[name]


class Machine:
    """home: the modeled home screen ({class: {superclass, methods,
    classMethods}}), whose classes objc_getClass finds and whose methods
    the hooking library accepts; libraries: {install name: compatibility
    version} of the libraries the phone provides."""

    def __init__(self, home, libraries, files=None, device=None, process_images=None,
                 core_foundation=1443.0, jailbreak_root=""):
        self.uc = Uc(UC_ARCH_ARM64, UC_MODE_ARM)
        for base, size in ((FAKE_CODE, 0x10_0000), (FAKE_DATA, 0x10_0000), (HEAP, HEAP_SIZE),
                           (STACK, STACK_SIZE)):
            self.uc.mem_map(base, size)
        self.uc.hook_add(UC_HOOK_CODE, self._on_fake, begin=FAKE_CODE,
                         end=FAKE_CODE + 0x10_0000 - 1)
        self.heap = HEAP
        self.images = []  # (path as the device names it, image, slide)
        self.fakes = {}  # address -> (name, handler)
        self.fake_by_name = {}
        self.data = {}  # symbol -> address of its fake datum
        self.next_code, self.next_data = FAKE_CODE + 0x100, FAKE_DATA
        self.stop = FAKE_CODE  # returning here ends a call
        self.uc.mem_write(self.stop, RET)
        self.log = []
        self.classes = {}  # address -> Class
        self.class_names = {}  # name -> Class
        self.objects = {}  # address -> Object
        self.counts = {}  # address -> retain count of a counted object
        self.freed = set()  # counted objects deallocated
        self.pools = []  # autorelease pools, innermost last
        self.selectors = {}  # address -> name
        self.selector_names = {}
        # The phone this process runs on: its files and its cfprefsd.
        self.phone = device if device is not None else Device(files)
        self.files = self.phone.files  # device path -> dict (property lists)
        self.home = home
        # kCFCoreFoundationVersionNumber: iOS 11.0's unless told.
        self.core_foundation = core_foundation
        # Where the jailbreak's own libraries are: / (rootful) or /var/jb
        # (rootless, where nothing of the jailbreak is under /Library).
        self.jailbreak_root = jailbreak_root
        self.libraries = {name: Library(version) for name, version in libraries.items()}
        self.loaded_libraries = set()  # install names the loader loaded
        # Images the process loaded of its own (the home screen's by
        # default: SpringBoard links Foundation, UIKit and Control Center's).
        self.process_images = set(process_images if process_images is not None else
                                  HOME_SCREEN_IMAGES)
        self.open_errno = 0  # the reason every open(2) fails, or 0
        self.flock_errno = 0  # the reason every flock(2) fails, or 0
        self.lock_held = False  # another process holds every lock
        self.dropped = []  # (install name, reason): weak libraries left out
        self.host_results = {}  # "CLASS SELECTOR" -> what the host implementation returns
        self.executed = 0  # instructions run in the images counted
        self.open_mode = None
        self.errno = 0
        self.write_error = None  # the system's reason every file write fails with
        self.navigation = 0  # the navigation controller whose stack holds a pane
        self._install_runtime()

    # Memory -------------------------------------------------------------
    def alloc(self, size):
        address = self.heap
        self.heap = _align(self.heap + max(size, 8), 16)
        if self.heap > HEAP + HEAP_SIZE:
            raise EmulationError("the fake heap is full")
        return address

    def read_u64(self, address):
        return struct.unpack("<Q", self.uc.mem_read(address, 8))[0]

    def write_u64(self, address, value):
        self.uc.mem_write(address, struct.pack("<Q", value & 0xFFFF_FFFF_FFFF_FFFF))

    def read_cstring(self, address):
        out = bytearray()
        while True:
            chunk = self.uc.mem_read(address + len(out), 64)
            end = chunk.find(b"\0")
            if end >= 0:
                return (out + chunk[:end]).decode()
            out += chunk

    def cstring(self, text):
        data = text.encode() + b"\0"
        address = self.alloc(len(data))
        self.uc.mem_write(address, data)
        return address

    # Loading ------------------------------------------------------------
    def load(self, path, device_path, base):
        """Maps the image at `base` (its slide), rebases and binds it."""
        image = macho.load(path)
        if image.has_chained_fixups:
            raise EmulationError(f"{path}: chained fixups are not read here")
        for seg in image.segments:
            if seg.vmsize == 0 or seg.name == "__PAGEZERO":
                continue
            start = base + seg.vmaddr
            self.uc.mem_map(start & ~(PAGE - 1), _align(seg.vmsize + (start & (PAGE - 1)), PAGE))
            self.uc.mem_write(start, image.data[seg.fileoff:seg.fileoff + seg.filesize])
        for address in image.rebases:
            self.write_u64(base + address, self.read_u64(base + address) + base)
        # As dyld does: each library named is found and its compatibility
        # version checked; a weak one that fails is dropped (its imports
        # bind to null), a required one stops the load.
        found = [self._find_library(device_path, dylib, image.rpaths) for dylib in image.dylibs]
        for bind in image.binds:
            if not 0 < bind.ordinal <= len(image.dylibs):
                raise EmulationError(f"{path}: {bind.symbol} is bound to no library")
            library = found[bind.ordinal - 1]
            name = image.dylibs[bind.ordinal - 1].name
            if library is None:
                address = 0
            elif bind.symbol in library.symbols:
                address = library.symbols[bind.symbol] + bind.addend
            elif bind.weak_import:
                address = 0
            else:
                raise EmulationError(f"{path}: symbol not found: {bind.symbol}, expected in {name}")
            self.write_u64(base + bind.address, address)
        self.images.append((device_path, image, base))
        return Loaded(self, image, base)

    def _device_path(self, name):
        """Where the library the fakes call `name` is on this phone."""
        return self.jailbreak_root + name if name in JAILBREAK_LIBRARIES else name

    def _locate(self, name, rpaths):
        """The library a load command names, as dyld finds it: an @rpath/
        name in each LC_RPATH folder in turn, any other name as written."""
        wanted = [rpath + name[len("@rpath"):] for rpath in rpaths] \
            if name.startswith("@rpath/") else [name]
        for path in wanted:
            for key, library in self.libraries.items():
                if key.startswith("/") and self._device_path(key) == path:
                    return key, library
        return name, None

    def _find_library(self, device_path, dylib, rpaths=()):
        key, library = self._locate(dylib.name, rpaths)
        if library is None:
            reason = "image not found"
        elif macho.version_number(library.compatibility) < \
                macho.version_number(dylib.compatibility):
            reason = (f"Incompatible library version: {device_path.rsplit('/', 1)[-1]} requires "
                      f"version {dylib.compatibility} or later, but "
                      f"{dylib.name.rsplit('/', 1)[-1]} provides version {library.compatibility}")
        else:
            self.loaded_libraries.add(key)
            return library
        if not dylib.weak:
            raise EmulationError(f"Library not loaded: {dylib.name}: {reason}")
        self.dropped.append((dylib.name, reason))
        return None

    def fake(self, name, handler, library=None):
        """A fake function; `library`: the install name of the library that
        defines it under `name`."""
        address = self.next_code
        self.next_code += 4
        self.uc.mem_write(address, RET)
        self.fakes[address] = (name, handler)
        self.fake_by_name[name] = address
        if library is not None:
            self.libraries.setdefault(library, Library("0")).symbols[name] = address
        return address

    def datum(self, name, size=64, value=None, library=None):
        address = self.next_data
        self.next_data += _align(size, 16)
        if value is not None:
            self.write_u64(address, value)
        self.data[name] = address
        if library is not None:
            self.libraries.setdefault(library, Library("0")).symbols[name] = address
        return address

    def count_instructions(self, loaded):
        """Counts, in `executed`, every instruction run in the loaded
        image's code from now on."""
        for seg in loaded.image.segments:
            if seg.prot & 0x4:  # executable
                start = loaded.base + seg.vmaddr
                self.uc.hook_add(UC_HOOK_CODE, self._count, begin=start,
                                 end=start + seg.vmsize - 1)

    def _count(self, uc, address, size, _):
        self.executed += 1

    # Running ------------------------------------------------------------
    def call(self, address, *args, doubles=()):
        """Calls emulated code with integer and double arguments; returns x0."""
        for reg, value in zip(X, args):
            self.uc.reg_write(reg, value & 0xFFFF_FFFF_FFFF_FFFF)
        for reg, value in zip(D, doubles):
            self.uc.reg_write(reg, struct.unpack("<Q", struct.pack("<d", value))[0])
        self.uc.reg_write(arm.UC_ARM64_REG_SP, STACK + STACK_SIZE - 0x100)
        self.uc.reg_write(arm.UC_ARM64_REG_LR, self.stop)
        self.failure = None
        try:
            self.uc.emu_start(address, self.stop, count=2_000_000)
        except UcError as error:
            pc = self.uc.reg_read(arm.UC_ARM64_REG_PC)
            raise EmulationError(f"the emulated code faulted at {pc:#x}: {error}") from None
        if self.failure:
            raise self.failure
        if self.uc.reg_read(arm.UC_ARM64_REG_PC) != self.stop:
            raise EmulationError("the emulated call did not return")
        return self.uc.reg_read(X[0])

    def arg(self, i):
        return self.uc.reg_read(X[i])

    def double(self, i):
        return struct.unpack("<d", struct.pack("<Q", self.uc.reg_read(D[i])))[0]

    def _on_fake(self, uc, address, size, _):
        if address == self.stop or self.failure:
            if self.failure:
                uc.emu_stop()
            return
        name, handler = self.fakes[address]
        try:
            result = handler()
        except Exception as error:  # reported by call(), once emulation stops
            self.failure = error if isinstance(error, EmulationError) else \
                EmulationError(f"{name}: {error!r}")
            uc.emu_stop()
            return
        if isinstance(result, TailCall):
            uc.reg_write(arm.UC_ARM64_REG_PC, result.address)
        elif isinstance(result, float):
            uc.reg_write(D[0], struct.unpack("<Q", struct.pack("<d", result))[0])
        elif result is not None:
            uc.reg_write(X[0], int(result) & 0xFFFF_FFFF_FFFF_FFFF)

    # Objects ------------------------------------------------------------
    def new_object(self, kind, size=16, **state):
        """A fake object, as a convenience constructor makes it: one
        reference, autoreleased into the innermost pool (if any)."""
        address = self.alloc(size)
        self.write_u64(address, self.class_named(kind).address)
        self.objects[address] = Object(kind, **state)
        self.counts[address] = 1
        if self.pools:
            self.pools[-1].append(address)
        return address

    # Reference counting, as the runtime keeps it: an object lives while its
    # count is above zero; releasing it once more is an over-release, which
    # objc_release answers by crashing; an autoreleased object is released
    # when its pool drains, and a message to it after that goes to freed
    # memory. Objects the machine never counted (the images' own, classes,
    # strings laid out at build time) are left alone.
    def retain(self, address):
        self.check_alive(address, "retained")
        if address in self.counts:
            self.counts[address] += 1
        return address

    def release(self, address, why="released"):
        if address in self.freed:
            raise EmulationError(f"{self.describe(address)} {why} after it was deallocated: an "
                                 "over-release, which crashes the process")
        if address not in self.counts:
            return
        self.counts[address] -= 1
        if self.counts[address] == 0:
            del self.counts[address]
            self.freed.add(address)
            obj = self.objects.get(address)
            for item in getattr(obj, "items", None) or []:
                if getattr(obj, "holds_objects", False):
                    self.release(item, "released by the array that held it")

    def autorelease(self, address):
        if address and self.pools:
            self.pools[-1].append(address)
        return address

    def push_pool(self):
        self.pools.append([])

    def pop_pool(self):
        for address in self.pools.pop():
            self.release(address, "released by its autorelease pool")

    def check_alive(self, address, what):
        if address in self.freed:
            raise EmulationError(f"{self.describe(address)} {what} after it was deallocated "
                                 "(its last reference gone, or its autorelease pool drained)")

    def describe(self, address):
        obj = self.objects.get(address)
        if obj is not None:
            return f"a {obj.kind} ({address:#x})"
        cls = self.classes.get(self.read_u64(address))
        return f"a {cls.name if cls else 'object'} ({address:#x})"

    def string(self, text):
        return self.new_object("NSString", text=text)

    def text(self, address):
        """The text of an NSString: one of ours or a constant laid out at build time."""
        if address in self.objects:
            return self.objects[address].text
        if self.read_u64(address) == self.data["___CFConstantStringClassReference"]:
            pointer, length = self.read_u64(address + 16), self.read_u64(address + 24)
            return bytes(self.uc.mem_read(pointer, length)).decode()
        raise EmulationError(f"{address:#x} is no string")

    def value(self, python):
        """A property-list value as an object of the fake Foundation."""
        if isinstance(python, bool) or isinstance(python, int):
            return self.new_object("NSNumber", number=int(python))
        if isinstance(python, float):
            return self.new_object("NSNumber", number=python)
        if isinstance(python, str):
            return self.string(python)
        if isinstance(python, dict):
            return self.new_object("NSMutableDictionary", items=dict(python))
        if isinstance(python, list):
            return self.new_object("NSArray", items=list(python))
        raise EmulationError(f"no object for {python!r}")

    def class_named(self, name):
        """The class `name`, made on first use (the fakes make objects of
        classes the process does not register); a class of the modeled home
        screen gets its superclass from the model, any other NSObject."""
        if name not in self.class_names:
            modeled = self.home.get(name)
            if modeled:
                parent = modeled["superclass"]
            else:
                parent = None if name == "NSObject" else "NSObject"
            superclass = self.class_named(parent) if parent else None
            meta = Class(self, name + " (meta)", superclass.meta if superclass else None)
            self.class_names[name] = Class(self, name, superclass, meta)
        return self.class_names[name]

    def registered(self, name):
        """Whether objc_getClass finds `name`: a class of the modeled
        process, of the fakes' own libraries while the image that defines it
        is loaded (by the process itself or for the deliverable), of a
        loaded library, or one that the code registered."""
        from fake_platform import FOUNDATION_CLASSES, defining_image
        if name in self.home:
            return True
        if name in FOUNDATION_CLASSES:
            return defining_image(name) in self.process_images | self.loaded_libraries
        if any(name in self.libraries[lib].classes for lib in self.loaded_libraries):
            return True
        return name in self.class_names and self.class_names[name].registered

    def responds(self, cls, selector):
        """Whether the class (or metaclass) `cls` has the method `selector`,
        its own or inherited: added by the code, modeled on the home screen
        or answered by a fake."""
        from fake_platform import METHODS
        meta = cls.name.endswith(" (meta)")
        c = self.class_names.get(cls.name.replace(" (meta)", ""))
        while c is not None:
            current = c.meta if meta else c
            modeled = self.home.get(c.name, {}).get("classMethods" if meta else "methods", [])
            if selector in current.methods or selector in modeled or \
                    (("+" if meta else "") + c.name, selector) in METHODS:
                return True
            c = c.superclass
        return False

    def class_of(self, address):
        if address in self.classes:
            return self.classes[address].meta or self.classes[address]
        return self.classes.get(self.read_u64(address))

    def selector(self, name):
        if name not in self.selector_names:
            address = self.cstring(name)
            self.selectors[address] = name
            self.selector_names[name] = address
        return self.selector_names[name]

    def _install_runtime(self):
        from fake_platform import install
        install(self)


class TailCall:
    def __init__(self, address):
        self.address = address


class Loaded:
    def __init__(self, machine, image, base):
        self.machine, self.image, self.base = machine, image, base

    def address(self, symbol):
        return self.base + self.image.symbol(symbol)

    def local(self, fragment):
        """The address of the one defined symbol whose name holds `fragment`."""
        found = [s for s in self.image.symbols if fragment in s.name and s.defined]
        if len(found) != 1:
            raise EmulationError(f"{len(found)} symbols named like {fragment}")
        return self.base + found[0].value

    def initialisers(self):
        # In __DATA, or in __DATA_CONST when built for iOS 14 and later
        # (dyld reads both).
        inits = self.image.section("__DATA", "__mod_init_func") or \
            self.image.section("__DATA_CONST", "__mod_init_func")
        if inits is None:
            return []
        return [self.machine.read_u64(self.base + inits.addr + 8 * k)
                for k in range(inits.size // 8)]

    def contains(self, address):
        return any(self.base + s.vmaddr <= address < self.base + s.vmaddr + s.vmsize
                   for s in self.image.segments)
