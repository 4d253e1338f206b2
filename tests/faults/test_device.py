"""Device control in the field: a panel that refuses a value, a camera core that fails or hangs
under a button press, numbers that are no place, and the button records of the running kernel."""
import fcntl
import os
import time
import unittest

from harness import Client, Daemon, wait_for
from media import MediaInfo, fragments, wait_for_log
from sight import (KEY_POL, KEY_ZOOM, PANEL, inject_mrvac_failure, key_records, mrvac_record,
                   open_buttons, overlay_record, panel_attribute, reticle_geometry)


def try_lock(file):
    try:
        fcntl.flock(file, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False


class DeviceFaults(unittest.TestCase):
    def setUp(self):
        self.d = Daemon({"record_max_len": 60, "origin_x": "nan", "origin_y": "-inf"})
        self.addCleanup(self.d.cleanup)
        self.d.start()
        self.assertTrue(wait_for(lambda: panel_attribute(self.d) != "", timeout=30))
        self.buttons = open_buttons(self.d)
        self.addCleanup(os.close, self.buttons)
        self.kbd_failures = lambda: self.d.log().count("[WARN]: failed to process kbd input")

    def press(self, key):
        os.write(self.buttons, key_records(key))

    def test_refused_luminance_is_not_kept_and_the_pol_button_keeps_the_sight_running(self):
        attribute = self.d.path(f"{PANEL}/attr_luminance")
        os.remove(attribute)
        os.symlink("/dev/full", attribute)
        self.assertEqual(self.d.request("c:set_lum:s:2"), "e:set_lum:n:")
        self.assertEqual(self.d.request("c:get_lum:n:"), "r:get_lum:s:0")
        self.press(KEY_POL)
        self.assertTrue(wait_for(lambda: self.kbd_failures() == 1))
        self.assertEqual(self.d.request("c:get_lum:n:"), "r:get_lum:s:0")
        self.assertNotIn("Config write takes", self.d.log())

    def test_failing_zoom_press_keeps_the_recording_going(self):
        folder = self.d.path("/media/video")
        self.assertEqual(self.d.request("c:enable_record:s:1"), "r:enable_record:n:")
        self.assertTrue(wait_for(lambda: fragments(folder, "")))
        inject_mrvac_failure(self.d, "3/1 zoom 2")
        self.press(KEY_ZOOM)
        self.assertTrue(wait_for(lambda: self.kbd_failures() == 1))
        self.assertEqual(self.d.request("c:enable_record:s:0"), "r:enable_record:n:")
        self.assertTrue(wait_for_log(self.d, r"Got EoS event on pipe 5", timeout=15))
        info = MediaInfo(fragments(folder, "")[0])
        self.assertTrue(info.ok and info.video, info.text)

    def delay_mrvac(self, rule):
        with open(self.d.path("/var/lib/mrvac/delay"), "a") as delay:
            delay.write(rule + "\n")

    def test_hung_core_is_killed_and_a_press_queues_behind_a_pending_zoom(self):
        mrvac = mrvac_record(self.d)
        self.assertTrue(wait_for(lambda: mrvac.lines() == ["mrvac shutter-movement 1"]))
        self.delay_mrvac("600/1 origin *")
        with Client(self.d.socket_path, timeout=30) as pending:
            start = time.monotonic()
            pending.sock.sendall(b"c:kbd_zoom:n:")
            self.assertTrue(wait_for(lambda: len(mrvac.lines()) == 2))
            slowest = 0
            while time.monotonic() - start < 2:
                asked = time.monotonic()
                self.assertEqual(self.d.request("c:get_lum:n:"), "r:get_lum:s:0")
                slowest = max(slowest, time.monotonic() - asked)
            self.assertLess(slowest, 0.5)
            self.assertEqual(pending.sock.recv(100), b"e:kbd_zoom:n:")
            self.assertGreater(time.monotonic() - start, 2.5)
        self.assertIn("[WARN]: System cmd timed out after 3000 ms, killed: mrvac origin 435 355",
                      self.d.log())

        # The hung command's whole group is gone (its sleep held the tool's lock), and a press
        # during a pending zoom steps on from the zoom that one leaves.
        self.delay_mrvac("1/1 zoom 2")
        with Client(self.d.socket_path, timeout=30) as first:
            first.sock.sendall(b"c:kbd_zoom:n:")
            self.assertTrue(wait_for(lambda: "mrvac zoom 2" in mrvac.lines()))
            self.press(KEY_ZOOM)
            self.assertEqual(first.sock.recv(100), b"r:kbd_zoom:n:")
        self.assertTrue(wait_for(lambda: self.d.request("c:get_zoom:n:") == "r:get_zoom:s:2"))
        self.assertEqual(mrvac.lines()[1:], ["mrvac origin 435 355"] +
                         ["mrvac origin 435 355", "mrvac zoom 2"] +
                         ["mrvac origin 435 355", "mrvac zoom 4"])
        self.assertEqual(self.kbd_failures(), 0)

        # A stop answers what still waits for the core, and leaves no command holding its lock.
        self.delay_mrvac("600/1 fast-nuc")
        with Client(self.d.socket_path, timeout=30) as pending:
            pending.sock.sendall(b"c:kbd_nuc:n:")
            self.assertTrue(wait_for(lambda: mrvac.lines()[-1] == "mrvac fast-nuc"))
            self.assertEqual(self.d.stop(), 0)
            self.assertEqual(pending.sock.recv(100), b"e:kbd_nuc:n:")
        with open(self.d.path("/var/lib/mrvac/lock")) as lock:
            self.assertTrue(wait_for(lambda: try_lock(lock)))

    def test_buttons_speak_the_running_kernel_s_record(self):
        self.press(KEY_ZOOM)
        self.assertTrue(wait_for(lambda: "mrvac zoom 2" in mrvac_record(self.d).lines()))

    def test_non_finite_origins_are_refused(self):
        # The file's nan and -inf fell back to the defaults at start.
        self.assertEqual(overlay_record(self.d).lines()[0],
                         reticle_geometry(512, 384, 697, 569, 370, 370))
        for bad in ("nan,inf", "1,-inf", "1e999,3"):
            self.assertEqual(self.d.request(f"c:set_origin:l:{bad}"), "e:set_origin:n:", bad)
        self.assertNotIn("Config write takes", self.d.log())
        self.assertEqual(self.d.request("c:kbd_zoom:n:"), "r:kbd_zoom:n:")
        self.assertIn("mrvac origin 435 355", mrvac_record(self.d).lines())


if __name__ == "__main__":
    unittest.main()
