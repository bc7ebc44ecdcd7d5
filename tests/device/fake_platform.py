"""The fakes of the device's libraries that the emulated deliverables
import: an object runtime (classes by name, selectors, added and replaced
methods, instance variables, message sends that run emulated methods or
Python ones), and the few Foundation, UIKit, CoreFoundation, libSystem,
AudioToolbox and CydiaSubstrate services the code uses. Each records what
it was asked in `machine.log`."""


import calendar
import struct
import time

from unicorn import arm64_const as arm

from deliverables import (AUDIOTOOLBOX, CCUIKIT, COREFOUNDATION, FOUNDATION, LIBOBJC,
                          LIBSYSTEM, SPARKAPPLIST, SUBSTRATE, UIKIT)
from emulator import X, EmulationError, Library, TailCall




def install(m):
    log = m.log.append
    cf_constant = m.datum("___CFConstantStringClassReference", library=COREFOUNDATION)
    m.datum("__NSConcreteStackBlock", library=LIBSYSTEM)
    m.datum("__dispatch_main_q", library=LIBSYSTEM)
    m.datum("___stack_chk_guard", value=0x5EED_C0DE_5EED_C0DE, library=LIBSYSTEM)
    errno = m.datum("errno", 8, 0)
    # The app lists' class comes with its library.
    m.libraries.setdefault(SPARKAPPLIST, Library("0")).classes.add("SparkAppList")
    method_handles = {}
    center = m.new_object("NSNotificationCenter")
    darwin_center = m.alloc(16)

    def cstr(i):
        return m.read_cstring(m.arg(i))

    def class_at(address):
        if address not in m.classes:
            raise EmulationError(f"{address:#x} is no class")
        return m.classes[address]

    # libobjc ------------------------------------------------------------
    def get_class(name):
        log(("getClass", name))
        return m.class_named(name).address if m.registered(name) else 0

    def get_instance_method():
        cls, selector = class_at(m.arg(0)) if m.arg(0) else None, m.selectors[m.arg(1)]
        if cls is None or not m.responds(cls, selector):
            return 0
        return method_handles.setdefault((cls.address, selector), m.alloc(16))

    def object_get_class():
        address = m.arg(0)
        if address == 0:
            return 0
        if address in m.classes:
            return (m.classes[address].meta or m.classes[address]).address
        return m.read_u64(address)

    def add_method():
        if m.arg(0) == 0:
            log(("add", None, m.selectors[m.arg(1)], cstr(3)))
            return 0
        cls, selector = class_at(m.arg(0)), m.selectors[m.arg(1)]
        log(("add", cls.name, selector, cstr(3), m.arg(2)))
        if selector in cls.methods:
            return 0
        cls.methods[selector] = m.arg(2)
        return 1

    def hook_message():
        # As the strictest hooking library does: a nil class or a method the
        # class does not have stops the process.
        address, selector, replacement, slot = m.arg(0), m.selectors[m.arg(1)], m.arg(2), m.arg(3)
        if address == 0:
            raise EmulationError(f"MSHookMessageEx was handed a nil class for {selector}: the "
                                 "hooking library aborts, and the home screen with it")
        cls = class_at(address)
        if not m.responds(cls, selector):
            raise EmulationError(f"MSHookMessageEx was handed -[{cls.name} {selector}], which the "
                                 "class does not have: the hooking library aborts, and the home "
                                 "screen with it")
        log(("hook", cls.name, selector, slot, replacement))
        label = f"{cls.name} {selector}"

        def host_implementation():
            # The receiver and the arguments (at least one register).
            log(("host", label, m.arg(0)) +
                tuple(m.arg(2 + k) for k in range(max(1, selector.count(":")))))
            return m.host_results.get(label)

        host = m.fake(f"host {label}", host_implementation)
        m.write_u64(slot, cls.lookup(selector) or host)
        cls.methods[selector] = replacement
        return None

    def allocate_class_pair():
        superclass = class_at(m.arg(0)) if m.arg(0) else None
        name = cstr(1)
        log(("allocateClassPair", superclass.name if superclass else None, name))
        if name in m.class_names:
            return 0
        cls = m.class_named(name)
        cls.superclass = superclass
        cls.instance_size = superclass.instance_size if superclass else 8
        return cls.address

    def register_class_pair():
        cls = class_at(m.arg(0))
        cls.registered = True
        log(("registerClassPair", cls.name))

    def add_ivar():
        cls, name, size, alignment_log2 = class_at(m.arg(0)), cstr(1), m.arg(2), m.arg(3)
        align = 1 << alignment_log2
        offset = (cls.instance_size + align - 1) & ~(align - 1)
        cls.ivars[name] = (offset, m.alloc(16))
        cls.instance_size = offset + size
        log(("addIvar", cls.name, name, size, cstr(4)))
        return 1

    def get_ivar():
        cls, name = class_at(m.arg(0)), cstr(1)
        while cls is not None:
            if name in cls.ivars:
                return cls.ivars[name][1]
            cls = cls.superclass
        return 0

    def ivar_offset():
        for cls in m.class_names.values():
            for offset, handle in cls.ivars.values():
                if handle == m.arg(0):
                    return offset
        raise EmulationError("ivar_getOffset of no instance variable")

    def create_instance():
        cls, extra = class_at(m.arg(0)), m.arg(1)
        address = m.alloc(cls.instance_size + extra)
        m.uc.mem_write(address, bytes(cls.instance_size + extra))
        m.write_u64(address, cls.address)
        m.counts[address] = 1
        return address

    def indexed_ivars():
        return m.arg(0) + m.classes[m.read_u64(m.arg(0))].instance_size

    def send(receiver, selector, lookup_class):
        if receiver == 0:
            return 0
        m.check_alive(receiver, f"sent -{selector}")
        if lookup_class is None:
            if receiver in m.classes:
                lookup_class = m.classes[receiver].meta
                prefix = "+"
            elif m.read_u64(receiver) == cf_constant:
                lookup_class = m.class_named("NSString")
                prefix = ""
            else:
                lookup_class = m.classes.get(m.read_u64(receiver))
                prefix = ""
        else:
            prefix = "+" if receiver in m.classes else ""
        if lookup_class is None:
            raise EmulationError(f"-{selector} sent to {receiver:#x}, which is no object")
        implementation = lookup_class.lookup(selector)
        if implementation:
            return TailCall(implementation)
        cls = lookup_class
        while cls is not None:
            name = cls.name.replace(" (meta)", "")
            handler = METHODS.get((prefix + name, selector))
            if handler:
                return handler(m, receiver)
            cls = cls.superclass
        raise EmulationError(f"unexpected message {prefix or '-'}[{lookup_class.name} {selector}]")

    def msg_send():
        return send(m.arg(0), m.selectors[m.arg(1)], None)

    def msg_send_super():
        receiver, superclass = m.read_u64(m.arg(0)), class_at(m.read_u64(m.arg(0) + 8))
        selector = m.selectors[m.arg(1)]
        log(("super", superclass.name, selector))
        m.uc.reg_write(X[0], receiver)  # the implementation runs on self
        return send(receiver, selector, superclass)

    # libSystem ------------------------------------------------------------
    def dispatch_after():
        log(("dispatch_after", m.arg(0), m.arg(1) == m.data["__dispatch_main_q"], m.arg(2),
             m.arg(3)))

    def fail(reason):
        m.uc.mem_write(errno, struct.pack("<i", reason))
        return 0xFFFF_FFFF_FFFF_FFFF  # -1

    def open_file():
        # Variadic: Apple's arm64 convention puts the mode on the stack.
        sp = m.uc.reg_read(arm.UC_ARM64_REG_SP)
        mode = m.read_u64(sp) & 0xFFFF_FFFF
        log(("open", cstr(0), m.arg(1), mode))
        # m.open_errno: the system's reason every open fails with (EACCES 13:
        # no permission; EISDIR 21: a folder in the lock file's place).
        return fail(m.open_errno) if m.open_errno else 3

    def lock_file():
        log(("flock", m.arg(0), m.arg(1)))
        # m.lock_held: another process holds the lock (EWOULDBLOCK, 35, to
        # a try that does not wait); m.flock_errno: flock fails for that
        # reason (EOPNOTSUPP 45: a file system without locks).
        if m.flock_errno:
            return fail(m.flock_errno)
        if m.lock_held and m.arg(1) & 4:
            return fail(35)
        return 0

    def dladdr():
        address, info = m.arg(0), m.arg(1)
        for device_path, image, base in m.images:
            if any(base + s.vmaddr <= address < base + s.vmaddr + s.vmsize
                   for s in image.segments):
                m.write_u64(info, m.cstring(device_path))
                m.write_u64(info + 8, base)
                m.write_u64(info + 16, 0)
                m.write_u64(info + 24, 0)
                log(("dladdr", device_path))
                return 1
        return 0

    # The wall clock (m.clock, seconds since the epoch) in UTC: time,
    # localtime_r into libSystem's struct tm (nine ints, the offset from UTC
    # at byte 40, the zone's name at 48), mktime with fields carried over,
    # and wall-clock dispatch times encoded as libdispatch does (negated).
    def time_now():
        if m.arg(0):
            m.write_u64(m.arg(0), m.clock)
        return m.clock

    def localtime():
        t = time.gmtime(struct.unpack("<q", m.uc.mem_read(m.arg(0), 8))[0])
        fields = (t.tm_sec, t.tm_min, t.tm_hour, t.tm_mday, t.tm_mon - 1, t.tm_year - 1900,
                  (t.tm_wday + 1) % 7, t.tm_yday - 1, 0)
        m.uc.mem_write(m.arg(1), struct.pack("<9i4xqQ", *fields, 0, 0))
        return m.arg(1)

    def make_time():
        sec, mins, hour, mday, mon, year = struct.unpack("<6i", m.uc.mem_read(m.arg(0), 24))
        log(("mktime", year + 1900, mon + 1, mday, hour, mins, sec))
        return calendar.timegm((year + 1900, mon + 1, mday, hour, mins, sec))

    def walltime():
        base = m.clock * 10**9
        if m.arg(0):
            seconds, nanoseconds = struct.unpack("<qq", m.uc.mem_read(m.arg(0), 16))
            base = seconds * 10**9 + nanoseconds
        delta = struct.unpack("<q", struct.pack("<Q", m.arg(1)))[0]
        # libdispatch keeps a wall-clock time below 2^62 ns and does not
        # check what it is given: a moment past that is a fault of the caller.
        if not 0 <= base + delta < 2**62:
            raise EmulationError(f"dispatch_walltime of {base + delta} ns since the epoch, "
                                 "which libdispatch cannot hold (below 2^62)")
        return -(base + delta)

    def stack_check_failed():
        raise EmulationError("the stack protector found a smashed frame")

    def stub_binder():
        raise EmulationError("a lazy binding was left unbound")

    # CoreFoundation ---------------------------------------------------------
    # cfprefsd answers from its copy of the domain (emulator.Device), which
    # may be older than the file; synchronizing does not read the file again.
    def copy_key_list():
        log(("CFPreferencesCopyKeyList", m.text(m.arg(0))))
        held = m.phone.domain(m.text(m.arg(0)))
        return m.value(list(held)) if held else 0

    def copy_multiple():
        keys = m.objects[m.arg(0)].items
        log(("CFPreferencesCopyMultiple", m.text(m.arg(1))))
        held = m.phone.domain(m.text(m.arg(1)))
        return m.value({k: held[k] for k in keys if k in held})

    def synchronize():
        log(("synchronize", m.text(m.arg(0))))
        m.phone.domain(m.text(m.arg(0)))
        return 1

    def darwin_observe():
        log(("darwinObserve", m.arg(1), m.arg(2), m.text(m.arg(3)), m.arg(4), m.arg(5)))

    objc = {
        "_objc_getClass": lambda: get_class(cstr(0)),
        "_class_getInstanceMethod": get_instance_method,
        "_object_getClass": object_get_class,
        "_sel_registerName": lambda: m.selector(cstr(0)),
        "_class_addMethod": add_method,
        "_objc_allocateClassPair": allocate_class_pair,
        "_class_addIvar": add_ivar,
        "_objc_registerClassPair": register_class_pair,
        "_class_getInstanceVariable": get_ivar,
        "_ivar_getOffset": ivar_offset,
        "_class_createInstance": create_instance,
        "_object_getIndexedIvars": indexed_ivars,
        "_objc_retain": lambda: m.retain(m.arg(0)) if m.arg(0) else 0,
        "_objc_release": lambda: m.release(m.arg(0)) if m.arg(0) else None,
        "_objc_autorelease": lambda: m.autorelease(m.arg(0)),
        "_objc_msgSend": msg_send,
        "_objc_msgSendSuper": msg_send_super,
    }
    system = {
        "dyld_stub_binder": stub_binder,
        "___stack_chk_fail": stack_check_failed,
        "_dispatch_time": lambda: m.arg(0) + m.arg(1) + 1,
        "_dispatch_after_f": dispatch_after,
        "_dispatch_walltime": walltime,
        "_time": time_now,
        "_localtime_r": localtime,
        "_mktime": make_time,
        "_open": open_file,
        "_flock": lock_file,
        "_close": lambda: log(("close", m.arg(0))) or 0,
        "_usleep": lambda: 0,
        "___error": lambda: errno,
        "_dladdr": dladdr,
    }
    core_foundation = {
        "_CFRelease": lambda: m.release(m.arg(0)),
        "_CFPreferencesAppSynchronize": synchronize,
        "_CFPreferencesCopyKeyList": copy_key_list,
        "_CFPreferencesCopyMultiple": copy_multiple,
        "_CFNotificationCenterGetDarwinNotifyCenter": lambda: darwin_center,
        "_CFNotificationCenterAddObserver": darwin_observe,
        "_CFNotificationCenterPostNotification": lambda: log((
            "darwinPost", m.arg(0) == darwin_center, m.text(m.arg(1)))),
    }
    libraries = {
        LIBOBJC: objc,
        LIBSYSTEM: system,
        COREFOUNDATION: core_foundation,
        FOUNDATION: {"_NSHomeDirectory": lambda: m.string("/var/mobile")},
        AUDIOTOOLBOX: {
            "_AudioServicesPlaySystemSound": lambda: log(("playSystemSound", m.arg(0))),
            "_AudioServicesPlayAlertSound": lambda: log(("playAlertSound", m.arg(0))),
        },
        SUBSTRATE: {"_MSHookMessageEx": hook_message},
    }
    for library, functions in libraries.items():
        for name, handler in functions.items():
            m.fake(name, handler, library)
    m.datum("_kCFPreferencesCurrentUser", value=m.string("kCFPreferencesCurrentUser"),
            library=COREFOUNDATION)
    m.datum("_kCFPreferencesAnyHost", value=m.string("kCFPreferencesAnyHost"),
            library=COREFOUNDATION)
    m.datum("_kCFCoreFoundationVersionNumber",
            value=struct.unpack("<Q", struct.pack("<d", m.core_foundation))[0],
            library=COREFOUNDATION)
    m.datum("_UIApplicationSignificantTimeChangeNotification",
            value=m.string("UIApplicationSignificantTimeChangeNotification"), library=UIKIT)
    m.clock = 1736164800  # 2025-01-06T12:00 UTC
    m.default_center = center
    # An iPhone whose feedback support level is 2 (haptics).
    m.device = m.new_object("UIDevice", model="iPhone", values={"_feedbackSupportLevel": 2})
    m.application = m.new_object("UIApplication")


def _python(m, address):
    """A Python value of a fake object (number, string, dictionary, array)."""
    if address == 0:
        return None
    if address not in m.objects:
        return m.text(address)
    obj = m.objects[address]
    return {"NSNumber": lambda: obj.number, "NSString": lambda: obj.text,
            "NSMutableDictionary": lambda: obj.items, "NSArray": lambda: obj.items,
            "NSMutableArray": lambda: [_python(m, item) for item in obj.items]}[obj.kind]()


def _responds(m, receiver):
    cls = m.classes.get(m.read_u64(receiver))
    name = "NSString" if cls is None else cls.name
    return (name, m.selectors[m.arg(2)]) in METHODS


def _bundle_with_path(m, _):
    """+[NSBundle bundleWithPath:]: nil for a path where no bundle folder
    is (a folder holding an image the process loaded, or one it knows)."""
    path = m.text(m.arg(2))
    folders = {device_path.rsplit("/", 1)[0] for device_path, _, _ in m.images}
    if path not in folders and path not in getattr(m, "bundle_folders", {}):
        m.log.append(("bundleWithPath", path, None))
        return 0
    m.log.append(("bundleWithPath", path, path))
    return m.new_object("NSBundle", path=path)


def _image(m, _):
    bundle = m.objects[m.arg(3)].path if m.arg(3) else None
    m.log.append(("imageNamed", m.text(m.arg(2)), bundle))
    return m.new_object("UIImage", name=m.text(m.arg(2)), bundle=bundle)


def _animate(m, _):
    def copy(block):
        if block == 0:
            return 0
        size = m.read_u64(m.read_u64(block + 24) + 8)
        heap = m.alloc(size)
        m.uc.mem_write(heap, bytes(m.uc.mem_read(block, size)))
        return heap

    m.log.append(("animate", m.double(0), m.double(1), m.arg(2), copy(m.arg(3)), copy(m.arg(4))))


def _serialize(m, _):
    # Only the kinds of value a property list holds; a dictionary as the
    # pane writes the preference file.
    items = m.objects[m.arg(2)].items
    return m.new_object("NSData", plist=dict(items), format=m.arg(3))


def _write_data(m, receiver):
    """-[NSData writeToFile:options:error:]: NSDataWritingAtomic (1) writes a
    temporary file and renames it over the old one. With `m.write_error` set
    (the device's storage full) it fails, leaves the old file, and gives an
    NSError saying why."""
    path, options, error = m.text(m.arg(2)), m.arg(3), m.arg(4)
    plist = m.objects[receiver].plist
    if m.write_error:
        m.log.append(("writeFailed", path, m.write_error))
        if error:
            m.write_u64(error, m.new_object("NSError", description=m.write_error))
        return 0
    m.log.append(("writeData", path, dict(plist), options))
    m.files[path] = dict(plist)
    return 1


def _read_file(m, _):
    path = m.text(m.arg(2))
    m.log.append(("readFile", path))
    return m.value(dict(m.files[path])) if isinstance(m.files.get(path), dict) else 0


def _write_file(m, receiver):
    path = m.text(m.arg(2))
    snapshot = dict(m.objects[receiver].items)
    m.log.append(("writeFile", path, snapshot, m.arg(3) & 0xFF))
    m.files[path] = snapshot
    return 1


def _set_object(m, receiver):
    m.objects[receiver].items[m.text(m.arg(3))] = _python(m, m.arg(2))


def _object_for_key(m, receiver):
    items = m.objects[receiver].items
    key = m.text(m.arg(2))
    return m.value(items[key]) if key in items else 0


def _number(m, receiver):
    value = m.objects[receiver].number if receiver in m.objects else 0
    return value


def _object_at(m, receiver):
    obj, index = m.objects[receiver], m.arg(2)
    if index >= len(obj.items):
        raise EmulationError(f"-[NSArray objectAtIndex:] {index} beyond {len(obj.items)}: "
                             "NSRangeException")
    item = obj.items[index]
    return item if getattr(obj, "holds_objects", False) else m.value(item)


def _contains(m, receiver):
    """-[NSArray containsObject:]: an item equal to the object (isEqual:)."""
    obj, wanted = m.objects[receiver], _python(m, m.arg(2))
    holds = getattr(obj, "holds_objects", False)
    return int(any((_python(m, item) if holds else item) == wanted for item in obj.items))


def _add_object(m, receiver):
    """-[NSMutableArray addObject:]: the object retained at the end; nil
    raises NSInvalidArgumentException."""
    if m.arg(2) == 0:
        raise EmulationError("-[NSMutableArray addObject:] given nil: NSInvalidArgumentException")
    m.objects[receiver].items.append(m.retain(m.arg(2)))


def _alloc(m, receiver):
    cls = m.classes[receiver]
    address = m.alloc(cls.instance_size)
    m.uc.mem_write(address, bytes(cls.instance_size))
    m.write_u64(address, cls.address)
    m.log.append(("alloc", cls.name, address))
    m.counts[address] = 1
    return address


def _init(m, receiver):
    m.log.append(("init", m.classes[m.read_u64(receiver)].name, receiver))
    return receiver


METHODS = {
    ("+NSObject", "alloc"): _alloc,
    ("NSObject", "init"): _init,
    ("NSObject", "release"): lambda m, r: m.release(r),
    ("NSObject", "retain"): lambda m, r: m.retain(r),
    ("NSObject", "autorelease"): lambda m, r: m.autorelease(r),
    ("NSObject", "valueForKey:"): lambda m, r: m.value(m.objects[r].values[m.text(m.arg(2))]),
    ("+UIDevice", "currentDevice"): lambda m, _: m.device,
    # The home screen itself in front: no app.
    ("+UIApplication", "sharedApplication"): lambda m, _: m.application,
    ("UIApplication", "_accessibilityFrontMostApplication"): lambda m, _: 0,
    ("UIDevice", "model"): lambda m, r: m.string(m.objects[r].model),
    ("+UINotificationFeedbackGenerator", "new"): lambda m, _: m.new_object(
        "UINotificationFeedbackGenerator"),
    ("UINotificationFeedbackGenerator", "prepare"): lambda m, _: None,
    ("UINotificationFeedbackGenerator", "notificationOccurred:"): lambda m, _: m.log.append(
        ("feedback", m.arg(2))),
    ("UIView", "setHidden:"): lambda m, r: m.log.append(("setHidden", r, m.arg(2) & 0xFF)),
    ("+NSNotificationCenter", "defaultCenter"): lambda m, _: m.default_center,
    ("NSNotificationCenter", "addObserver:selector:name:object:"): lambda m, _: m.log.append(
        ("observe", m.arg(2), m.selectors[m.arg(3)], m.text(m.arg(4)))),
    ("NSNotificationCenter", "postNotificationName:object:userInfo:"): lambda m, _: m.log.append(
        ("post", m.text(m.arg(2)), m.arg(3), m.arg(4))),
    ("+NSString", "stringWithUTF8String:"): lambda m, _: m.string(m.read_cstring(m.arg(2))),
    ("NSString", "UTF8String"): lambda m, r: m.cstring(m.text(r)),
    ("NSString", "isEqualToString:"): lambda m, r: int(m.text(r) == m.text(m.arg(2))),
    ("NSString", "stringByDeletingLastPathComponent"): lambda m, r: m.string(
        m.text(r).rsplit("/", 1)[0] or "/"),
    ("NSString", "respondsToSelector:"): _responds,
    ("+NSNumber", "numberWithBool:"): lambda m, _: m.value(bool(m.arg(2) & 0xFF)),
    ("NSNumber", "boolValue"): lambda m, r: int(_number(m, r) != 0),
    ("NSNumber", "integerValue"): lambda m, r: int(_number(m, r)),
    ("NSNumber", "doubleValue"): lambda m, r: float(_number(m, r)),
    ("+NSNumber", "numberWithInteger:"): lambda m, _: m.new_object("NSNumber", number=m.arg(2)),
    ("NSNumber", "intValue"): lambda m, r: int(_number(m, r)) & 0xFFFF_FFFF,
    ("NSNumber", "respondsToSelector:"): _responds,
    ("+NSMutableDictionary", "dictionaryWithContentsOfFile:"): _read_file,
    ("+NSMutableDictionary", "dictionary"): lambda m, _: m.value({}),
    ("NSMutableDictionary", "objectForKey:"): _object_for_key,
    ("NSMutableDictionary", "setObject:forKey:"): _set_object,
    ("NSMutableDictionary", "removeObjectForKey:"): lambda m, r: m.objects[r].items.pop(
        m.text(m.arg(2)), None) and None,
    ("NSMutableDictionary", "writeToFile:atomically:"): _write_file,
    ("NSMutableDictionary", "respondsToSelector:"): _responds,
    ("NSArray", "count"): lambda m, r: len(m.objects[r].items),
    ("NSArray", "objectAtIndex:"): _object_at,
    ("NSArray", "containsObject:"): _contains,
    # A mutable array holds objects, each retained while it is there.
    ("+NSMutableArray", "array"): lambda m, _: m.new_object("NSMutableArray", items=[],
                                                             holds_objects=True),
    ("NSMutableArray", "addObject:"): _add_object,
    ("NSMutableArray", "count"): lambda m, r: len(m.objects[r].items),
    ("NSMutableArray", "objectAtIndex:"): _object_at,
    ("NSMutableArray", "containsObject:"): _contains,
    ("NSString", "stringByAppendingString:"): lambda m, r: m.string(m.text(r) + m.text(m.arg(2))),
    ("+NSPropertyListSerialization", "dataWithPropertyList:format:options:error:"): _serialize,
    ("NSData", "writeToFile:options:error:"): _write_data,
    ("+NSError", "errorWithDomain:code:userInfo:"): lambda m, _: m.new_object(
        "NSError", description=f"{m.text(m.arg(2))} error {m.arg(3)}"),
    ("NSError", "localizedDescription"): lambda m, r: m.string(m.objects[r].description),
    ("+NSFileManager", "defaultManager"): lambda m, _: m.new_object("NSFileManager"),
    ("NSFileManager", "fileExistsAtPath:"): lambda m, _: int(m.text(m.arg(2)) in m.files),
    ("+NSBundle", "bundleWithPath:"): _bundle_with_path,
    ("+UIImage", "imageNamed:inBundle:compatibleWithTraitCollection:"): _image,
    ("+UIColor", "colorWithRed:green:blue:alpha:"): lambda m, _: m.new_object(
        "UIColor", rgba=(m.double(0), m.double(1), m.double(2), m.double(3))),
    ("+UIView", "animateWithDuration:delay:options:animations:completion:"): _animate,
    ("UIViewController", "view"): lambda m, r: m.objects[r].view,
    ("UIViewController", "navigationController"): lambda m, r: m.navigation,
    ("UIViewController", "presentViewController:animated:completion:"): lambda m, r: m.log.append(
        ("present", r, m.retain(m.arg(2)), m.arg(3) & 0xFF, m.arg(4))),
    ("UINavigationController", "pushViewController:animated:"): lambda m, r: m.log.append(
        ("push", r, m.retain(m.arg(2)), m.arg(3) & 0xFF)),
    ("+UIAlertController", "alertControllerWithTitle:message:preferredStyle:"):
        lambda m, _: m.new_object("UIAlertController", title=m.text(m.arg(2)) if m.arg(2) else None,
                                  message=m.text(m.arg(3)) if m.arg(3) else None,
                                  style=m.arg(4), actions=[]),
    ("UIAlertController", "addAction:"): lambda m, r: m.objects[r].actions.append(m.arg(2)),
    ("+UIAlertAction", "actionWithTitle:style:handler:"): lambda m, _: m.new_object(
        "UIAlertAction", title=m.text(m.arg(2)), style=m.arg(3), handler=m.arg(4)),
    ("UIView", "setAlpha:"): lambda m, r: m.log.append(("setAlpha", r, m.double(2))),
    ("UIView", "alpha"): lambda m, r: 1.0,
    ("CCUIToggleModule", "refreshState"): lambda m, r: m.log.append(("refreshState", r)),
}

# The classes of the fakes' own libraries (Foundation, UIKit, Control
# Center's and the root class), which objc_getClass finds beside the
# modeled home screen's while the image that defines each is loaded.
FOUNDATION_CLASSES = {name.lstrip("+") for name, _ in METHODS} | {"NSObject"}


def defining_image(name):
    """The install name of the image that defines fake class `name`."""
    if name == "NSObject":
        return LIBOBJC
    if name.startswith("CCUI"):
        return CCUIKIT
    return UIKIT if name.startswith("UI") else FOUNDATION
