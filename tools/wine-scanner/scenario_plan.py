"""How a simulator scenario is played under Wine.

A scenario file describes the simulated PC and scanner. Under Wine the same
world is built from real parts: the scanner driver's configuration values,
still-image devices of other makers, the Image-class registry instances, the
imaging service's state and start type, mutexes held (and let go of at a
given time) by a helper process and the user's language. This module only translates; it runs nothing.

Whatever a scenario asks for that the real platform cannot be made to do
(a refused platform call, a pending state that never ends, a missing
embedded image) is listed as unsupported, and the harness does not run such
a scenario.
"""
import struct

import os as _os
import sys as _sys

# The scenario reading and fact checking shared with the simulator's runner.
_sys.path.insert(0, _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), ".."))
from scenario_facts import load_scenario, strip_comments  # noqa: F401

# What the updater's world holds before a scenario changes it (the
# scenario runner's defaults).
DEFAULT_LANGUAGE = 0x0409
DEFAULT_SERVICE = {"installed": True, "state": "running", "start_type": "auto"}
DEFAULT_REGISTRY = [
    {"number": 0, "values": [
        {"name": "CreateFileName", "text": "\\\\.\\usbscan0"},
        {"name": "MatchingDeviceId", "text": "usb\\vid_7a3c&pid_41b2"},
        {"name": "FriendlyName", "text": "Orvane DS-1200"},
    ]},
]

# Wine derives the user's language from the POSIX locale.
LOCALES = {
    0x0409: "en_US.UTF-8",
    0x0809: "en_GB.UTF-8",
    0x0404: "zh_TW.UTF-8",
    0x0804: "zh_CN.UTF-8",
    0x0C04: "zh_HK.UTF-8",
    0x1004: "zh_SG.UTF-8",
    0x1404: "zh_MO.UTF-8",
    0x0407: "de_DE.UTF-8",
    0x040C: "fr_FR.UTF-8",
    0x0411: "ja_JP.UTF-8",
}
# The ANSI code page a program sees under each of those locales: registry
# text reaches the updater through the A functions in that code page.
ANSI_CODE_PAGES = {0x0404: "cp950", 0x0C04: "cp950", 0x1404: "cp950", 0x0804: "gbk", 0x1004: "gbk",
                   0x0411: "cp932"}

SERVICE_STATES = ("stopped", "running")
START_TYPES = ("auto", "manual", "disabled")
WINE_RUNNING_CONTROLS = 7

REGISTRY_TYPES = {"REG_NONE": 0, "REG_SZ": 1, "REG_EXPAND_SZ": 2, "REG_BINARY": 3, "REG_DWORD": 4,
                  "REG_DWORD_BIG_ENDIAN": 5, "REG_LINK": 6, "REG_MULTI_SZ": 7, "REG_QWORD": 11}
TEXT_TYPES = (1, 2, 7)

FAULT_DIRECTIONS = {"write": 0, "read": 1}
FAULT_KINDS = {"call_fails": 1, "short": 4, "partial": 5, "empty": 6, "stall": 7}

SCANNER_MUTEX_PREFIX = "Global\\ORVANE_SCAN_EXT_APP_MUTEX_"
UTILITY_MUTEX = "{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}"
# The updater's own: one copy at a time.
UPDATER_MUTEX = "Global\\fwupdate-update"

IMAGE_CLASS_KEY = ("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                   "{6bdd1fc6-810f-11d0-bec7-08002be2092f}")
DRIVER_NAME = "fwusim"
# Other makers' devices the driver can publish besides the scanner.
MAX_FOREIGN_DEVICES = 16
DRIVER_KEY = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + DRIVER_NAME


def id16(value):
    """A 16-bit id as scenarios write it: a number or "0x" and hex digits."""
    if isinstance(value, str):
        return int(value, 16)
    return int(value)


# ---- the scanner driver's configuration values ----

def _dword(value):
    return ("dword", value & 0xFFFFFFFF)


def _qword(value):
    return ("qword", value & 0xFFFFFFFFFFFFFFFF)


def _binary(data):
    return ("binary", bytes(data))


def silence_values(silent):
    """A scanner that falls silent once it has answered so many bulk
    requests, or from a time of the run on (the scanner's time, which starts
    at the updater's first device open), whichever comes first."""
    if not isinstance(silent, dict) or not ({"after_transfers", "from_ms"} & silent.keys()):
        raise ValueError("scanner.silent needs after_transfers or from_ms")
    values = {}
    if "after_transfers" in silent:
        values["silentByCount"] = _dword(1)
        values["silentAfterTransfers"] = _dword(int(silent["after_transfers"]))
    if "from_ms" in silent:
        values["silentByTime"] = _dword(1)
        values["silentFromMs"] = _qword(int(silent["from_ms"]))
    return values


def scanner_values(scanner, unsupported):
    """The driver's named configuration values for the scenario's scanner
    keys. Keys the scenario leaves out are not written: the driver starts
    from the scanner model's own defaults, as the simulator does."""
    values = {}
    plain = {"path": "path", "busy_state": "busyState", "busy_for_ms": "busyForMs", "burn_ms": "burnMs",
             "burn_end_state": "burnEndState", "clock_skew_seconds": "clockSkewSeconds"}
    flags = {"descriptor_fails": "descriptorFails", "recovery": "recovery"}
    for key, name in plain.items():
        if key in scanner:
            values[name] = _dword(int(scanner[key]))
    for key, name in flags.items():
        if key in scanner:
            values[name] = _dword(1 if scanner[key] else 0)
    for key, name in (("vendor_id", "vendorId"), ("product_id", "productId")):
        if key in scanner:
            values[name] = _dword(id16(scanner[key]))
    cycle = scanner.get("power_cycle", {})
    for key, name in (("leave_after_ms", "leaveAfterMs"), ("absent_ms", "absentMs"), ("return_path", "returnPath")):
        if key in cycle:
            values[name] = _dword(int(cycle[key]))
    if "return_in_recovery" in cycle:
        values["returnInRecovery"] = _dword(1 if cycle["return_in_recovery"] else 0)
    if "script" in scanner:
        values["script"] = _binary(b"".join(struct.pack("<H", int(s)) for s in scanner["script"]))
    if "clock_reply" in scanner:
        values["clockScripted"] = _dword(1)
        values["clockReply"] = _binary(b"".join(struct.pack("<i", int(f)) for f in scanner["clock_reply"]))
    if "absences" in scanner:
        values["absences"] = _binary(b"".join(
            struct.pack("<QQi", int(a["from_ms"]), int(a["to_ms"]), int(a["then_path"]))
            for a in scanner["absences"]))
    if "silent" in scanner:
        values.update(silence_values(scanner["silent"]))
    if "faults" in scanner:
        records = []
        for index, fault in enumerate(scanner["faults"]):
            kind = FAULT_KINDS[fault["kind"]]
            records.append(struct.pack("<5I", FAULT_DIRECTIONS[fault["direction"]], kind,
                                       int(fault.get("first", 1)), int(fault.get("count", 1)),
                                       int(fault.get("amount", 0))))
        values["faults"] = _binary(b"".join(records))
    return values


def foreign_devices_value(devices):
    """Other makers' still-image devices: 12-byte records the driver reads
    from its "foreignDevices" value."""
    return b"".join(
        struct.pack("<iHHI", int(d["path"]), id16(d.get("vendor_id", 0)), id16(d.get("product_id", 0)),
                    1 if d.get("descriptor_fails", False) else 0)
        for d in devices)


# ---- the registry file ----

def _reg_text(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _reg_hex(type_number, data):
    return "hex(%x):%s" % (type_number, ",".join("%02x" % b for b in data))


def registry_value_data(value, code_page, unsupported, where):
    """The type and the stored bytes of one registry value. The updater
    reads text through RegQueryValueExA, which hands out the stored UTF-16
    text in the ANSI code page; so the bytes a scenario gives for a text
    value are what the A function must return, and are stored as their
    UTF-16 form in that code page."""
    type_name = value.get("type", "REG_SZ")
    type_number = REGISTRY_TYPES[type_name] if isinstance(type_name, str) else int(type_name)
    if "text" in value:
        if not value["text"].isascii():
            # The simulator keeps the UTF-8 bytes; the A function would hand
            # out the ANSI code page's instead.
            unsupported.append(f"{where}: text beyond ASCII")
        raw = value["text"].encode("utf-8") + b"\0"
    else:
        raw = bytes.fromhex(value["hex"].replace(" ", "").replace(":", "").replace("-", ""))
    if type_number not in TEXT_TYPES:
        return type_number, raw
    try:
        text = raw.decode(code_page)
    except UnicodeDecodeError:
        unsupported.append(f"{where}: bytes that the ANSI code page {code_page} cannot carry")
        return type_number, raw
    # A value stored without its terminator stays without one.
    return type_number, text.encode("utf-16-le")


def registry_file(driver_values, foreign, instances, code_page, unsupported, driver_image):
    """The .reg file that sets up the driver's service key with its
    configuration and the Image-class instances, all in one import."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    lines.append("[-%s]" % DRIVER_KEY)
    lines.append("[%s]" % DRIVER_KEY)
    lines.append('"Type"=dword:00000001')
    lines.append('"Start"=dword:00000003')
    lines.append('"ErrorControl"=dword:00000001')
    lines.append('"ImagePath"=%s' % _reg_text(driver_image))
    for name, (kind, data) in sorted(driver_values.items()):
        if kind == "dword":
            lines.append('"%s"=dword:%08x' % (name, data))
        elif kind == "qword":
            lines.append('"%s"=%s' % (name, _reg_hex(11, struct.pack("<Q", data))))
        else:
            lines.append('"%s"=%s' % (name, _reg_hex(3, data)))
    if foreign:
        lines.append('"foreignDevices"=%s' % _reg_hex(3, foreign))
    lines.append("")
    for index, instance in enumerate(instances):
        where = f"registry[{index}]"
        if instance.get("open_refused", False):
            unsupported.append(f"{where}.open_refused: an instance key the updater may not open")
        key = "%s\\%04d" % (IMAGE_CLASS_KEY, int(instance["number"]))
        lines.append("[-%s]" % key)
        lines.append("[%s]" % key)
        for v_index, value in enumerate(instance.get("values", [])):
            type_number, data = registry_value_data(value, code_page, unsupported, f"{where}.values[{v_index}]")
            lines.append("%s=%s" % (_reg_text(value["name"]), _reg_hex(type_number, data)))
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


# ---- the whole plan ----

def friendly_names(instances, unsupported=None):
    """Every FriendlyName in the registry, as text: the per-scanner mutex the
    updater may create is named after one of them. A name given as bytes
    beyond ASCII reaches CreateMutexA through the ANSI code page, while the
    helper's watch and the report's facts take names as ASCII text."""
    names = []
    for instance in instances:
        for value in instance.get("values", []):
            if value["name"].lower() != "friendlyname":
                continue
            if "text" in value:
                names.append(value["text"])
                continue
            raw = bytes.fromhex(value["hex"].replace(" ", "").replace(":", "").replace("-", ""))
            text = raw.split(b"\0", 1)[0]
            if text.isascii():
                names.append(text.decode("ascii"))
            elif unsupported is not None:
                unsupported.append("FriendlyName as bytes beyond ASCII: the harness watches and reports mutex names as ASCII text only")
    return names


def make_plan(scenario, driver_image="C:\\windows\\system32\\drivers\\fwusim.sys"):
    """Everything the harness does for one scenario, as data."""
    unsupported = []
    approximations = []

    language = id16(scenario.get("language", DEFAULT_LANGUAGE))
    locale = LOCALES.get(language)
    if locale is None:
        unsupported.append("language 0x%04x: no locale known to give it" % language)
    code_page = ANSI_CODE_PAGES.get(language, "cp1252")

    time = scenario.get("time", {})
    environment = {"LC_ALL": locale or "C"}
    if "zone" in time:
        environment["TZ"] = time["zone"]
    if "local" in time:
        approximations.append("time.local: the PC's clock is the real one")
    if "tick_start" in time:
        approximations.append("time.tick_start: the tick count is the real one")

    scanner = scenario.get("scanner", {})
    driver_values = scanner_values(scanner, unsupported)
    foreign_list = scenario.get("foreign_devices", [])
    if len(foreign_list) > MAX_FOREIGN_DEVICES:
        unsupported.append("foreign_devices: the driver publishes at most %d" % MAX_FOREIGN_DEVICES)
    foreign = foreign_devices_value(foreign_list)

    service = dict(DEFAULT_SERVICE)
    given = scenario.get("service", {})
    for key in ("installed", "state", "start_type"):
        if key in given:
            service[key] = given[key]
    if service["state"] not in SERVICE_STATES:
        unsupported.append(f"service.state {service['state']}: the real service cannot be held there")
    if service["start_type"] not in START_TYPES:
        unsupported.append(f"service.start_type {service['start_type']}: not a start type for this service")
    if given.get("running_controls", WINE_RUNNING_CONTROLS) != WINE_RUNNING_CONTROLS:
        unsupported.append("service.running_controls: the real service accepts %d" % WINE_RUNNING_CONTROLS)
    if given.get("stuck_pending", False):
        unsupported.append("service.stuck_pending: the real service finishes its transitions")
    if given.get("start_trigger", False):
        unsupported.append("service.start_trigger: Wine's service manager starts no service on a device's arrival")
    if given.get("refusals"):
        unsupported.append("service.refusals: the real service manager does not refuse on request")
    for key in ("start_pending_ms", "stop_pending_ms", "start_wait_hint", "stop_wait_hint"):
        if key in given:
            approximations.append(f"service.{key}: the real service's own timing")
    for key in ("control_takes_ms", "start_takes_ms"):
        if key in given:
            # A control or start held past the manager's 30 s fails it: the
            # run would print otherwise.
            unsupported.append(f"service.{key}: the real service answers a control or a start in its own time")

    console = scenario.get("console", {})
    if console.get("selections"):
        unsupported.append("console.selections: the updater's output goes to a pipe, and Wine's console "
                           "takes no selection without a display")
    if "quick_edit" in console:
        approximations.append("console.quick_edit: no console input, so the updater has no QuickEdit to turn off")

    if scenario.get("image", "present") != "present":
        unsupported.append("image: the executable carries its image")
    for key in ("image_digest", "image_digest_hex", "image_flipped_byte"):
        if key in scenario:
            unsupported.append(f"{key}: the executable carries the image and its digest as built "
                               "(tests/exe/altered_image.sh alters a copy)")
    if scenario.get("refusals"):
        unsupported.append("refusals: real platform calls do not fail on request")
    if not scenario.get("elevated", True):
        unsupported.append("elevated: a Wine prefix runs every program elevated")
    if "system_parameters" in scenario:
        unsupported.append("system_parameters: played only with the console events, which Wine cannot raise")
    if "interruptions" in scenario or "then_run" in scenario:
        unsupported.append("interruptions, then_run: played against the real executable by tests/wine-e2e/interruptions.py")

    instances = scenario.get("registry", DEFAULT_REGISTRY)
    reg = registry_file(driver_values, foreign, instances, code_page, unsupported, driver_image)

    held = list(scenario.get("mutexes_held", []))
    # The helper lets go of these at the scanner's time, which starts where
    # the simulator's virtual time does: at the updater's first device open.
    released = [[r["name"], int(r["at_ms"])] for r in scenario.get("mutexes_released", [])]
    watched = []
    for name in [SCANNER_MUTEX_PREFIX + n for n in friendly_names(instances, unsupported)] + [UTILITY_MUTEX, UPDATER_MUTEX]:
        if name not in watched and name not in held:
            watched.append(name)

    return {
        "arguments": list(scenario.get("arguments", [])),
        "foreign_count": len(foreign_list),
        "environment": environment,
        "registry_file": reg,
        "service": service,
        "held_mutexes": held,
        "released_mutexes": released,
        "watched_mutexes": watched,
        "unsupported": unsupported,
        "approximations": approximations,
    }
