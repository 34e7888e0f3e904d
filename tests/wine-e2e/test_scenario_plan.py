"""How scenarios become a Wine setup: the driver's configuration bytes, the
registry file, the service, mutexes and language, and what is refused."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine-scanner"))

import scenario_plan as plan  # noqa: E402


def values_of(scanner):
    unsupported = []
    values = plan.scanner_values(scanner, unsupported)
    return values, unsupported


class ScannerValues(unittest.TestCase):
    # scanner keys -> the driver's named values, bytes written out by hand
    CASES = [
        ({}, {}),
        ({"path": 3}, {"path": ("dword", 3)}),
        ({"path": -1}, {"path": ("dword", 0xFFFFFFFF)}),
        ({"vendor_id": "0x04a9", "product_id": 16818}, {"vendorId": ("dword", 0x04A9), "productId": ("dword", 0x41B2)}),
        ({"recovery": True, "descriptor_fails": False}, {"recovery": ("dword", 1), "descriptorFails": ("dword", 0)}),
        ({"busy_state": 3, "busy_for_ms": 2500}, {"busyState": ("dword", 3), "busyForMs": ("dword", 2500)}),
        ({"burn_ms": 8500, "burn_end_state": 9}, {"burnMs": ("dword", 8500), "burnEndState": ("dword", 9)}),
        ({"clock_skew_seconds": -50}, {"clockSkewSeconds": ("dword", 0xFFFFFFCE)}),
        ({"power_cycle": {"leave_after_ms": 8500, "absent_ms": 2000, "return_path": 2, "return_in_recovery": True}},
         {"leaveAfterMs": ("dword", 8500), "absentMs": ("dword", 2000), "returnPath": ("dword", 2),
          "returnInRecovery": ("dword", 1)}),
        ({"script": [7, 7, 0]}, {"script": ("binary", bytes([7, 0, 7, 0, 0, 0]))}),
        ({"script": []}, {"script": ("binary", b"")}),
        ({"absences": [{"from_ms": 7300, "to_ms": 7700, "then_path": 5}]},
         {"absences": ("binary", bytes([0x84, 0x1C, 0, 0, 0, 0, 0, 0, 0x14, 0x1E, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0]))}),
        ({"absences": [{"from_ms": 0, "to_ms": 1, "then_path": -1}]},
         {"absences": ("binary", bytes([0] * 8 + [1] + [0] * 7 + [0xFF] * 4))}),
        # first and count default to 1, amount to 0, as the simulator reads them
        ({"faults": [{"direction": "read", "kind": "short", "amount": 3}]},
         {"faults": ("binary", bytes([1, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0]))}),
        ({"faults": [{"direction": "write", "kind": "call_fails", "first": 5, "count": 100000}]},
         {"faults": ("binary", bytes([0, 0, 0, 0, 1, 0, 0, 0, 5, 0, 0, 0, 0xA0, 0x86, 0x01, 0, 0, 0, 0, 0]))}),
        # the stall halts its pipe: no amount
        ({"faults": [{"direction": "read", "kind": "stall", "first": 3}]},
         {"faults": ("binary", bytes([1, 0, 0, 0, 7, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0]))}),
        ({"silent": {"after_transfers": 9}}, {"silentByCount": ("dword", 1), "silentAfterTransfers": ("dword", 9)}),
        # a time needs 64 bits: the driver reads it as a QWORD
        ({"silent": {"from_ms": 5000000000}}, {"silentByTime": ("dword", 1), "silentFromMs": ("qword", 5000000000)}),
        ({"silent": {"after_transfers": 15, "from_ms": 0}},
         {"silentByCount": ("dword", 1), "silentAfterTransfers": ("dword", 15), "silentByTime": ("dword", 1),
          "silentFromMs": ("qword", 0)}),
        # one record after the other, each kind by the scanner model's number
        ({"faults": [{"direction": "read", "kind": "partial", "first": 5, "amount": 20},
                     {"direction": "read", "kind": "empty", "first": 6}]},
         {"faults": ("binary", bytes([1, 0, 0, 0, 5, 0, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0, 20, 0, 0, 0,
                                      1, 0, 0, 0, 6, 0, 0, 0, 6, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0]))}),
        ({"clock_reply": [30, 20, 10, 6, 0, 127, 3, 5, -1]},
         {"clockScripted": ("dword", 1),
          "clockReply": ("binary", bytes([30, 0, 0, 0, 20, 0, 0, 0, 10, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0,
                                          127, 0, 0, 0, 3, 0, 0, 0, 5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF]))}),
    ]

    def test_each_key_becomes_its_named_value(self):
        for scanner, expected in self.CASES:
            with self.subTest(scanner=scanner):
                values, unsupported = values_of(scanner)
                self.assertEqual(values, expected)
                self.assertEqual(unsupported, [])

    def test_a_silence_needs_a_count_or_a_time(self):
        for silent in ({}, {"after": 3}, 9):
            with self.subTest(silent=silent):
                with self.assertRaises(ValueError):
                    values_of({"silent": silent})


class ForeignDevices(unittest.TestCase):
    def test_records_carry_path_ids_and_failure(self):
        data = plan.foreign_devices_value([
            {"path": 0, "vendor_id": "0x04a9", "product_id": "0x1234"},
            {"path": 255, "descriptor_fails": True},
        ])
        self.assertEqual(data, bytes([0, 0, 0, 0, 0xA9, 0x04, 0x34, 0x12, 0, 0, 0, 0,
                                      0xFF, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0]))


class RegistryValues(unittest.TestCase):
    # (value, language's code page) -> type, stored bytes
    CASES = [
        ({"name": "FriendlyName", "text": "AB"}, "cp1252", 1, "41 00 42 00 00 00"),
        ({"name": "CreateFileName", "text": "\\\\.\\usbscan3"}, "cp1252", 1,
         "5c 00 5c 00 2e 00 5c 00 75 00 73 00 62 00 73 00 63 00 61 00 6e 00 33 00 00 00"),
        # bytes without a terminator stay without one
        ({"name": "FriendlyName", "hex": "4142"}, "cp1252", 1, "41 00 42 00"),
        ({"name": "x", "type": "REG_EXPAND_SZ", "hex": "41 00"}, "cp1252", 2, "41 00 00 00"),
        # non-text types are stored as given
        ({"name": "x", "type": "REG_DWORD", "hex": "01000000"}, "cp1252", 4, "01 00 00 00"),
        ({"name": "x", "type": 3, "hex": "ff 00"}, "cp1252", 3, "ff 00"),
        # Big5 bytes of two characters under the Taiwan code page
        ({"name": "FriendlyName", "hex": "b1 bd b4 79 00"}, "cp950", 1, "83 63 cf 63 00 00"),
    ]

    def test_stored_as_the_a_functions_must_read_them(self):
        for value, code_page, type_number, stored in self.CASES:
            with self.subTest(value=value):
                unsupported = []
                got_type, data = plan.registry_value_data(value, code_page, unsupported, "v")
                self.assertEqual((got_type, data), (type_number, bytes.fromhex(stored)))
                self.assertEqual(unsupported, [])

    def test_text_that_would_reach_the_updater_in_other_bytes_is_refused(self):
        for value, code_page in [({"name": "n", "text": "Orvane \u00e9"}, "cp1252"),
                                 ({"name": "n", "hex": "81 00"}, "cp950")]:
            with self.subTest(value=value):
                unsupported = []
                plan.registry_value_data(value, code_page, unsupported, "where")
                self.assertEqual(len(unsupported), 1)
                self.assertTrue(unsupported[0].startswith("where"))


class WholePlan(unittest.TestCase):
    def test_the_default_world(self):
        p = plan.make_plan({})
        self.assertEqual(p["arguments"], [])
        self.assertEqual(p["environment"], {"LC_ALL": "en_US.UTF-8"})
        self.assertEqual(p["service"], {"installed": True, "state": "running", "start_type": "auto"})
        self.assertEqual(p["held_mutexes"], [])
        self.assertEqual(p["watched_mutexes"], ["Global\\ORVANE_SCAN_EXT_APP_MUTEX_Orvane DS-1200",
                                                "{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}", "Global\\fwupdate-update"])
        self.assertEqual(p["unsupported"], [])
        reg = p["registry_file"]
        self.assertTrue(reg.startswith("Windows Registry Editor Version 5.00\r\n"))
        self.assertIn('"ImagePath"="C:\\\\windows\\\\system32\\\\drivers\\\\fwusim.sys"\r\n', reg)
        # an instance left by an earlier import never mixes with this one
        key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" \
              "{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000"
        self.assertIn("[-%s]\r\n[%s]\r\n" % (key, key), reg)

    def test_a_silent_scanner_is_played_with_its_values_in_the_registry_file(self):
        p = plan.make_plan({"scanner": {"silent": {"after_transfers": 15, "from_ms": 70000}}})
        self.assertEqual(p["unsupported"], [])
        reg = p["registry_file"]
        self.assertIn('"silentAfterTransfers"=dword:0000000f\r\n', reg)
        # 70000 = 0x11170, a REG_QWORD of eight little-endian bytes
        self.assertIn('"silentFromMs"=hex(b):70,11,01,00,00,00,00,00\r\n', reg)

    def test_language_zone_arguments_and_held_mutexes(self):
        p = plan.make_plan({
            "language": "0x0404",
            "time": {"zone": "Asia/Taipei", "local": "2026-01-31T08:00:00"},
            "arguments": ["-b", "7"],
            "mutexes_held": ["Global\\ORVANE_SCAN_EXT_APP_MUTEX_Orvane DS-1200"],
            "registry": [{"number": 12, "values": [{"name": "friendlyname", "text": "Unit B"}]}],
        })
        self.assertEqual(p["environment"], {"LC_ALL": "zh_TW.UTF-8", "TZ": "Asia/Taipei"})
        self.assertEqual(p["arguments"], ["-b", "7"])
        self.assertEqual(p["held_mutexes"], ["Global\\ORVANE_SCAN_EXT_APP_MUTEX_Orvane DS-1200"])
        # a name held by another application is not the updater's creation
        self.assertEqual(p["watched_mutexes"], ["Global\\ORVANE_SCAN_EXT_APP_MUTEX_Unit B",
                                                "{3F9E21C4-7B0A-4d6e-8C5F-A1D2E3B4C5F6}", "Global\\fwupdate-update"])
        self.assertIn("\\0012]\r\n", p["registry_file"])
        self.assertEqual(len(p["approximations"]), 1)

    def test_a_held_mutex_is_let_go_of_at_its_time(self):
        name = "Global\\ORVANE_SCAN_EXT_APP_MUTEX_Orvane DS-1200"
        p = plan.make_plan({"mutexes_held": [name], "mutexes_released": [{"name": name, "at_ms": 1500}]})
        self.assertEqual(p["held_mutexes"], [name])
        self.assertEqual(p["released_mutexes"], [[name, 1500]])
        self.assertNotIn(name, p["watched_mutexes"])
        self.assertEqual(p["unsupported"], [])

    # a scenario key -> whether Wine can play it
    REFUSED = [
        {"language": "0x0419"},
        {"service": {"state": "start_pending"}},
        {"service": {"start_type": "boot"}},
        {"service": {"running_controls": 1}},
        {"service": {"stuck_pending": True}},
        {"service": {"refusals": {"start": {"first": 1}}}},
        {"image": "missing"},
        {"refusals": {"create_event": {"first": 3}}},
        {"registry": [{"number": 0, "open_refused": True}]},
        {"foreign_devices": [{"path": n} for n in range(1, 18)]},
        {"registry": [{"number": 0, "values": [{"name": "FriendlyName", "hex": "a4 a4 a4 e5 00"}]}]},
        {"service": {"control_takes_ms": 35000}},
        {"service": {"start_takes_ms": 4000}},
        {"refusals": {"set_timeouts": {"first": 1}}},
        {"console": {"selections": [{"at_ms": 9000, "length_ms": 60000, "by": "menu"}]}},
        {"elevated": False},
        {"system_parameters": {"hung_app_timeout_ms": 2000}},
    ]
    PLAYED = [
        {"service": {"installed": False}},
        {"service": {"state": "stopped", "start_type": "disabled", "running_controls": 7, "start_wait_hint": 0}},
        {"image": "present"},
        {"language": 3076},
        {"foreign_devices": [{"path": n} for n in range(1, 17)]},
        {"registry": [{"number": 0, "values": [{"name": "FriendlyName", "hex": "41 42 00"}]}]},
        # the driver holds what a silent scanner leaves unanswered, and a
        # stalled pipe stays halted in the model
        {"scanner": {"silent": {"from_ms": 4000}, "faults": [{"direction": "read", "kind": "stall"}]}},
        {"console": {"quick_edit": False, "selections": []}},
        {"elevated": True},
    ]

    def test_what_wine_cannot_be_made_to_do_is_refused(self):
        for scenario in self.REFUSED:
            with self.subTest(scenario=scenario):
                self.assertEqual(len(plan.make_plan(scenario)["unsupported"]), 1)
        for scenario in self.PLAYED:
            with self.subTest(scenario=scenario):
                self.assertEqual(plan.make_plan(scenario)["unsupported"], [])


class Comments(unittest.TestCase):
    def test_comments_go_and_strings_stay(self):
        text = '// head\n{"a": "x//y", /* b */ "c": "\\"/*"} // tail'
        self.assertEqual(plan.load_scenario(text), {"a": "x//y", "c": '"/*'})


if __name__ == "__main__":
    unittest.main()
