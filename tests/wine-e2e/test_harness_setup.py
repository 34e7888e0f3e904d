"""The harness's set-up: a driver start that fails now and then is tried
again, as making the prefix is; one that never succeeds ends the run as a
set-up failure."""
import os
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine-scanner"))

import wine_harness  # noqa: E402


class FakeSession:
    """Answers the harness's Wine commands from a script: each `net start`
    takes the next status of `starts`; `sc query` says RUNNING when
    `running_after_failure`."""

    def __init__(self, prefix, starts=(), running_after_failure=False, env=None):
        self.prefix = prefix
        self.env = env or {}
        self.starts = list(starts)
        self.running_after_failure = running_after_failure
        self.commands = []

    def wine(self, *args, check=True, timeout=None):
        self.commands.append(args)
        code, out = 0, b""
        if args[:2] == ("net", "start"):
            code = self.starts.pop(0)
        elif args[:2] == ("sc", "query"):
            out = b"STATE : 4 RUNNING" if self.running_after_failure else b"STATE : 1 STOPPED"
        if check and code != 0:
            raise RuntimeError("failed")
        return subprocess.CompletedProcess(args, code, out, b"")

    def server(self, *flags):
        pass


class DriverStart(unittest.TestCase):
    CASES = [
        # net start statuses, sc query after a failure, starts tried, set-up succeeds
        ([0], False, 1, True),
        ([1, 0], False, 2, True),
        ([1, 1, 0], False, 3, True),
        ([1, 1, 1], False, 3, False),
        # a start that reports failure yet left the driver running
        ([1], True, 1, True),
    ]

    def test_failed_starts_are_tried_again(self):
        plan = {"registry_file": "Windows Registry Editor Version 5.00\r\n"}
        for starts, running, tried, succeeds in self.CASES:
            with self.subTest(starts=starts, running=running), tempfile.TemporaryDirectory() as work:
                prefix = os.path.join(work, "prefix")
                os.makedirs(os.path.join(prefix, "drive_c", "windows", "system32", "drivers"))
                driver = os.path.join(work, "fwusim.sys")
                with open(driver, "wb") as f:
                    f.write(b"MZ")
                session = FakeSession(prefix, starts, running)
                with mock.patch.object(wine_harness.time, "sleep"):
                    if succeeds:
                        wine_harness.set_up(session, plan, driver, work)
                    else:
                        with self.assertRaises(RuntimeError):
                            wine_harness.set_up(session, plan, driver, work)
                self.assertEqual(sum(1 for c in session.commands if c[:2] == ("net", "start")), tried)


class PrefixTemplate(unittest.TestCase):
    """A prefix made once and copied for every run."""

    def run_faking_wineboot(self, status):
        """subprocess.run, with wineboot and wineserver played: wineboot
        makes the prefix it is pointed at and returns `status`."""
        real_run = subprocess.run
        boots = []

        def fake(command, **kwargs):
            if command[0] == "wineboot":
                boots.append(kwargs["env"]["WINEPREFIX"])
                os.makedirs(os.path.join(kwargs["env"]["WINEPREFIX"], "drive_c"), exist_ok=True)
                return subprocess.CompletedProcess(command, status)
            if command[0] == "wineserver":
                return subprocess.CompletedProcess(command, 0)
            return real_run(command, **kwargs)
        return fake, boots

    def test_made_once_then_copied_for_each_session(self):
        with tempfile.TemporaryDirectory() as work:
            template = os.path.join(work, "template")
            fake, boots = self.run_faking_wineboot(0)
            with mock.patch.object(wine_harness.subprocess, "run", side_effect=fake):
                for name in ("a", "b"):
                    session = FakeSession(os.path.join(work, name, "prefix"),
                                          env={wine_harness.PREFIX_TEMPLATE: template})
                    os.makedirs(os.path.dirname(session.prefix))
                    wine_harness.copy_template(session)
                    # the copy carries the mark, so wine-run never makes it again
                    self.assertTrue(os.path.isdir(os.path.join(session.prefix, "drive_c")))
                    self.assertTrue(os.path.exists(os.path.join(session.prefix, wine_harness.READY_MARK)))
            self.assertEqual(boots, [template])

    def test_a_template_that_cannot_be_made_leaves_the_prefix_to_wine(self):
        with tempfile.TemporaryDirectory() as work:
            template = os.path.join(work, "template")
            fake, boots = self.run_faking_wineboot(1)
            session = FakeSession(os.path.join(work, "prefix"), env={wine_harness.PREFIX_TEMPLATE: template})
            with mock.patch.object(wine_harness.subprocess, "run", side_effect=fake):
                wine_harness.copy_template(session)
            self.assertEqual(len(boots), wine_harness.PREFIX_TRIES)
            self.assertFalse(os.path.exists(session.prefix))

    def test_without_a_template_nothing_is_made(self):
        with tempfile.TemporaryDirectory() as work:
            session = FakeSession(os.path.join(work, "prefix"))
            with mock.patch.object(wine_harness.subprocess, "run") as run:
                wine_harness.copy_template(session)
            run.assert_not_called()
            self.assertFalse(os.path.exists(session.prefix))


if __name__ == "__main__":
    unittest.main()
